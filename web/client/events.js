// Live events of the Kestrav service over its WebSocket "/events": the
// reader list as readers come and go (kv.watch()), and captures that report
// their progress, the wait for a finger and preview frames with guidance
// (kv.capture({ onProgress })). A plain script like kestrav.js, loaded after
// it: it adds both methods to KestravClient and defines
// globalThis.KestravEvents. docs/events.md describes the messages.
//
// Pages on https that call the service on the loopback: Chrome asks the
// user for the Local Network Access permission for WebSockets too (from
// Chrome 147), as for fetch; the socket fails until it is granted, and
// capture() then falls back to the HTTP capture, which asks the same way.
(function (root) {
  'use strict';

  const { KestravClient, fromBase64 } = root.Kestrav;
  const OPEN_TIMEOUT_MS = 3000;
  // The service ends a cancelled capture within 50 ms; this bounds the wait.
  const CANCEL_WAIT_MS = 2000;

  /** What to show the user for each "Guidance" value. */
  const GUIDANCE_TEXT = Object.freeze({
    NoFinger: 'Place your finger on the reader',
    TooLight: 'Press a little harder',
    TooDark: 'Press more lightly',
    MoveUp: 'Move your finger up',
    MoveDown: 'Move your finger down',
    MoveLeft: 'Move your finger left',
    MoveRight: 'Move your finger right',
    Hold: 'Hold still',
    Good: 'Good, hold still',
  });

  /** ws(s)://host:port/events for a client's base URL. */
  function eventsUrl(baseUrl) {
    const url = new URL('/events', baseUrl);
    url.protocol = url.protocol === 'https:' ? 'wss:' : 'ws:';
    return url.href;
  }

  function webSocketClass(impl) {
    const ws = impl ?? root.WebSocket;
    if (typeof ws !== 'function') throw new TypeError('no WebSocket in this runtime: pass one as options.WebSocket');
    return ws;
  }

  // A socket that has opened, or null when it could not within the time.
  function openSocket(WebSocketImpl, url, timeoutMs = OPEN_TIMEOUT_MS) {
    return new Promise((resolve) => {
      let socket;
      try {
        socket = new WebSocketImpl(url);
      } catch {
        resolve(null);
        return;
      }
      const timer = setTimeout(() => { socket.close(); resolve(null); }, timeoutMs);
      socket.onopen = () => { clearTimeout(timer); resolve(socket); };
      socket.onerror = () => { clearTimeout(timer); resolve(null); };
      socket.onclose = () => { clearTimeout(timer); resolve(null); };
    });
  }

  function readers(message) {
    return {
      readerError: message.ReaderError,
      readers: message.Readers.map((r) => ({ model: r.Model, serialNumber: r.SerialNumber })),
    };
  }

  /** A service message as the callbacks see it. */
  function progress(message) {
    switch (message.Event) {
      case 'Frame':
        return {
          event: 'Frame',
          quality: message.Quality,
          guidance: message.Guidance,
          guidanceText: GUIDANCE_TEXT[message.Guidance] ?? message.Guidance,
          previewWidth: message.PreviewWidth,
          previewHeight: message.PreviewHeight,
          previewBmp: fromBase64(message.PreviewBMPBase64),
        };
      case 'Finger':
        return { event: 'Finger', present: message.Present };
      case 'Readers':
        return { event: 'Readers', ...readers(message) };
      case 'Error':
        return { event: 'Error', errorCode: message.ErrorCode, message: message.Message };
      default:
        return { event: message.Event };
    }
  }

  function parse(data) {
    try {
      const message = JSON.parse(data);
      return message !== null && typeof message === 'object' && typeof message.Event === 'string' ? message : null;
    } catch {
      return null;
    }
  }

  /**
   * Watches the service: onReaders({ readers, readerError }) with the list on
   * connect and on every change, onEvent(event) with every message. Returns
   * { opened, close() }; opened rejects when the socket cannot open.
   */
  KestravClient.prototype.watch = function watch({ onReaders, onEvent, WebSocket: impl, onClose } = {}) {
    const socket = new (webSocketClass(impl))(eventsUrl(this.baseUrl));
    const opened = new Promise((resolve, reject) => {
      socket.onopen = () => resolve();
      socket.onerror = () => reject(new Error(`the events socket ${eventsUrl(this.baseUrl)} did not open`));
    });
    opened.catch(() => {});
    socket.onmessage = (e) => {
      const message = parse(e.data);
      if (message === null) return;
      if (message.Event === 'Readers') onReaders?.(readers(message));
      onEvent?.(progress(message));
    };
    socket.onclose = () => onClose?.();
    return { opened, close: () => socket.close() };
  };

  const httpCapture = KestravClient.prototype.capture;

  /**
   * With options.onProgress the capture runs over /events and reports
   * "CaptureStarted", "FingerNeeded", "Finger" and "Frame" events while it
   * runs; without it, or when the socket cannot open, it is the HTTP
   * capture. Either way the result, the checks of the options and the
   * errors are the HTTP capture's own: the socket's "Captured" message goes
   * through the very same reading. An abort or the client time-out sends
   * "Cancel" and rejects once the capture has ended, with the reader free.
   */
  KestravClient.prototype.capture = async function capture(options = {}) {
    const { onProgress, WebSocket: impl, ...rest } = options;
    if (typeof onProgress !== 'function') return httpCapture.call(this, rest);
    const socket = await openSocket(webSocketClass(impl), eventsUrl(this.baseUrl));
    if (socket === null) return httpCapture.call(this, rest);
    let settle;
    const captured = new Promise((resolve, reject) => { settle = { resolve, reject }; });
    captured.catch(() => {});  // read only once the command is sent
    socket.onmessage = (e) => {
      const message = parse(e.data);
      if (message === null) return;
      if (message.Event === 'Captured') {
        const { Event, ...reply } = message;
        settle.resolve(JSON.stringify(reply));
      } else if (message.Event !== 'Readers') {
        onProgress(progress(message));
      }
    };
    socket.onclose = () => settle.reject(new TypeError('the events socket closed before the capture ended'));
    // The HTTP capture checks the options and encodes them as its form; that
    // form, sent over the socket instead, becomes the command's members.
    const overSocket = async (url, init) => {
      const command = { Command: 'Capture', ...Object.fromEntries(new URLSearchParams(init.body ?? '')) };
      socket.send(JSON.stringify(command));
      // An abort sends Cancel and waits (briefly) for the capture's end, so
      // that the reader is free when the promise rejects.
      let aborted = false;
      const cancelled = new Promise((resolve) => {
        const onAbort = () => {
          aborted = true;
          if (socket.readyState === 1) socket.send(JSON.stringify({ Command: 'Cancel' }));
          setTimeout(resolve, CANCEL_WAIT_MS);
        };
        if (init.signal?.aborted) onAbort();
        else init.signal?.addEventListener('abort', onAbort, { once: true });
      });
      const text = await Promise.race([captured.catch(() => null), cancelled]);
      if (aborted) throw init.signal.reason;
      if (text === null) await captured;  // the socket closed: its error
      return { status: 200, text: async () => text };
    };
    const viaSocket = new KestravClient({ baseUrl: this.baseUrl, fetch: overSocket, timeoutMs: this.timeoutMs });
    try {
      return await httpCapture.call(viaSocket, rest);
    } finally {
      socket.onclose = null;
      socket.close();
    }
  };

  root.KestravEvents = Object.freeze({ GUIDANCE_TEXT, eventsUrl });
})(typeof globalThis !== 'undefined' ? globalThis : this);
