// The demo's live section: the reader list as readers come and go, and a
// capture over /events with its preview and the advice for the user
// (../client/events.js). Independent of demo.js: it finds the service
// itself (?service=URL, else the default ports).
'use strict';

(function () {
  const K = globalThis.Kestrav;
  const $ = (id) => document.getElementById(id);
  let client = null;
  let previewUrl = null;

  async function connect() {
    if (client) return client;
    const param = new URLSearchParams(location.search).get('service');
    client = param ? new K.KestravClient({ baseUrl: param }) : await K.discover();
    return client;
  }

  function showReaders({ readers, readerError }) {
    const list = $('live-readers');
    list.replaceChildren(...readers.map((r) => {
      const li = document.createElement('li');
      li.textContent = `${r.model} (${r.serialNumber})`;
      return li;
    }));
    if (readers.length === 0) {
      const li = document.createElement('li');
      li.textContent = readerError ? `listing failed (ErrorCode ${readerError})` : 'none connected';
      list.append(li);
    }
    list.dataset.count = String(readers.length);
  }

  function showFrame(e) {
    if (previewUrl) URL.revokeObjectURL(previewUrl);
    previewUrl = URL.createObjectURL(new Blob([e.previewBmp], { type: 'image/bmp' }));
    const img = $('live-preview');
    img.src = previewUrl;
    img.hidden = false;
    $('live-guidance').textContent = e.guidanceText;
    $('live-guidance').dataset.guidance = e.guidance;
    $('live-quality').textContent = `Quality ${e.quality} / 100`;
    const frames = $('live-section');
    frames.dataset.frames = String(Number(frames.dataset.frames || 0) + 1);
  }

  function onProgress(e) {
    if (e.event === 'Frame') showFrame(e);
    else if (e.event === 'FingerNeeded') $('live-guidance').textContent = 'Place your finger on the reader';
    else if (e.event === 'Finger') $('live-guidance').textContent = e.present ? 'Finger on the reader' : 'Finger lifted';
  }

  async function liveCapture() {
    const button = $('live-capture');
    button.disabled = true;
    $('live-section').dataset.frames = '0';
    $('live-section').dataset.state = 'capturing';
    $('live-result').textContent = '';
    try {
      const kv = await connect();
      const result = await kv.capture({ timeout: 10000, onProgress });
      $('live-guidance').textContent = 'Captured';
      $('live-result').textContent = `Quality ${result.quality} / 100, template ${result.template.length} bytes`;
      $('live-section').dataset.state = 'done';
    } catch (error) {
      $('live-guidance').textContent = `Capture failed: ${error.message}`;
      $('live-section').dataset.state = 'failed';
    } finally {
      button.disabled = false;
    }
  }

  // Nothing goes to the service before the user acts: a page from the
  // internet would otherwise face the local-network question at load.
  let watching = false;
  function watchReaders() {
    if (watching) return;
    watching = true;
    connect().then((kv) => {
      kv.watch({ onReaders: showReaders }).opened.catch(() => {
        $('live-readers').textContent = 'live list unavailable';
      });
    }).catch(() => { watching = false; });
  }

  $('live-capture').addEventListener('click', () => { watchReaders(); liveCapture(); });
  $('connect').addEventListener('click', watchReaders);
})();
