// Client of the Kestrav fingerprint service for web pages (and Node.js 20+):
// finds the service on this machine, calls its routes with form-encoded
// bodies, turns replies into typed results and every failure into a typed
// error. No dependencies, no build step.
//
// This file is a plain script so that it also loads where modules cannot,
// e.g. a page opened from file://, which Chrome does not let import modules:
// <script src="kestrav.js"> defines globalThis.Kestrav. Modules import
// index.js, which re-exports the same names; index.d.ts declares them.
(function (root) {
  'use strict';

  /** Scores at or above this are the same finger (false match rate <= 0.1 % on the virtual reader's prints). */
  const MATCH_THRESHOLD = 14;

  /** Ports the service documents: 8000 by default, 8443 in the HTTPS examples. */
  const DEFAULT_PORTS = Object.freeze([8000, 8443]);
  const DEFAULT_HOST = '127.0.0.1';

  const DEFAULT_TIMEOUT_MS = 10000;
  // The service itself gives up after the capture's own time-out; this margin
  // covers grading, WSQ and template work after the finger arrives.
  const CAPTURE_MARGIN_MS = 15000;
  const PROBE_TIMEOUT_MS = 3000;

  /** The service's reply codes (member "ErrorCode"). */
  const ErrorCode = Object.freeze({
    SUCCESS: 0,
    NO_PUBLIC_KEY: 1,
    NO_COM_PORT: 55,
    FAKE_DETECTION_UNAVAILABLE: 63,
    TEMPLATE_MISSING: 100,
    SESSION_KEY_REFUSED: 101,
    OUT_OF_MEMORY: 102,
    READER_BUSY: 103,
    INVALID_ARGUMENT: 1001,
    INVALID_HANDLE: 1002,
    SDK_OUT_OF_MEMORY: 1003,
    UNKNOWN_DEVICE: 1004,
    SEQUENCE: 1005,
    NO_DEVICE: 1006,
    OPEN_FAILED: 1007,
    DEVICE_FAILURE: 1008,
    TIMEOUT: 1009,
    FAKE_FINGER: 1010,
    IMAGE_TOO_LARGE: 1011,
    TEMPLATE_FAILED: 1012,
    TEMPLATE_TOO_LARGE: 1013,
    BAD_TEMPLATE: 1014,
    NOT_SUPPORTED: 1015,
    QUALITY: 1016,
    IMAGE_TOO_SMALL: 1017,
  });

  const SERVICE_ERRORS = new Map([
    [1, ['no-public-key', 'the service has no key pair']],
    [55, ['no-reader', 'no USB reader, and no COM port is configured for a serial reader']],
    [63, ['fake-detection-unavailable', 'the reader cannot do fake-finger detection at that level']],
    [100, ['template-missing', 'a template is missing, empty, too long or badly escaped']],
    [101, ['session-key-refused', 'the session key cannot be used; fetch the public key again and wrap a new key']],
    [102, ['out-of-memory', 'the service ran out of memory building the reply']],
    [103, ['reader-busy', 'the reader is busy with another request; nothing was done, try again shortly']],
    [1001, ['invalid-argument', 'invalid argument']],
    [1002, ['internal', 'invalid SDK handle']],
    [1003, ['out-of-memory', 'the reader SDK ran out of memory']],
    [1004, ['unknown-device', 'unknown reader model']],
    [1005, ['internal', 'reader calls out of order']],
    [1006, ['no-reader', 'no reader attached']],
    [1007, ['reader-failure', 'the reader did not open']],
    [1008, ['reader-failure', 'the reader stopped answering']],
    [1009, ['timeout', 'no finger of sufficient quality within the time-out']],
    [1010, ['fake-finger', 'fake finger detected']],
    [1011, ['image-too-large', "the reader's image is larger than the service can hold"]],
    [1012, ['template-failed', 'no template could be made from the image']],
    [1013, ['template-too-large', 'the template is larger than the service can hold']],
    [1014, ['bad-template', 'a template record is malformed, truncated or of the other format']],
    [1015, ['not-supported', 'a feature the reader does not have']],
    [1016, ['quality', 'the image cannot be graded']],
    [1017, ['image-too-small', 'the image is too small for WSQ']],
  ]);

  // ---------------------------------------------------------------- errors

  /** Base of every error this client throws (besides the caller's own abort reason). */
  class KestravError extends Error {
    constructor(kind, message, options = {}) {
      super(message, options.cause === undefined ? undefined : { cause: options.cause });
      this.name = new.target.name;
      this.kind = kind;
      this.url = options.url ?? null;
    }
  }

  /** Nothing answered: the service is not running, or not on that port. */
  class NotReachableError extends KestravError {
    constructor(message, options = {}) {
      super('not-reachable', message, options);
      this.tried = options.tried ?? (options.url ? [options.url] : []);
      // A browser reports a refused connection and an untrusted certificate
      // alike; for https URLs the certificate stays a suspect.
      this.certificateSuspected = options.certificateSuspected ?? false;
      // "prompt" on a public page: the user closed the browser's question
      // without an answer (or the page is local and the service is down).
      this.permission = options.permission ?? 'unsupported';
    }
  }

  /** The browser's local-network permission is denied for this page. */
  class LocalNetworkDeniedError extends KestravError {
    constructor(message, options = {}) {
      super('local-network-denied', message, options);
      this.insecurePage = options.insecurePage ?? false;
    }
  }

  /** The service answers over https with a certificate this runtime does not trust. */
  class CertificateNotTrustedError extends KestravError {
    constructor(message, options = {}) {
      super('certificate-not-trusted', message, options);
      this.reason = options.reason ?? null;
    }
  }

  /** The service refused the request's Host header (403). */
  class HostRefusedError extends KestravError {
    constructor(message, options = {}) {
      super('host-refused', message, options);
    }
  }

  /** The reply is not the documented JSON. */
  class BadReplyError extends KestravError {
    constructor(message, options = {}) {
      super('bad-reply', message, options);
      this.status = options.status ?? null;
      this.body = options.body ?? null;
    }
  }

  /** The client's own time-out ran out before the reply came. */
  class ClientTimeoutError extends KestravError {
    constructor(message, options = {}) {
      super('client-timeout', message, options);
      this.timeoutMs = options.timeoutMs ?? null;
    }
  }

  /** The service answered with a non-zero ErrorCode. */
  class ServiceError extends KestravError {
    constructor(errorCode, options = {}) {
      const [reason, text] = SERVICE_ERRORS.get(errorCode) ?? ['unknown', 'unknown error'];
      super('service', `${text} (ErrorCode ${errorCode})`, options);
      this.errorCode = errorCode;
      this.reason = reason;
    }
  }
  /** 55 or 1006: no reader to capture with. */
  class NoReaderError extends ServiceError {}
  /** 1009: no finger of sufficient quality in time. */
  class CaptureTimeoutError extends ServiceError {}
  /** 1010: the finger was judged fake. */
  class FakeFingerError extends ServiceError {}
  /** 101: the session key cannot be unwrapped; nothing was captured. */
  class SessionKeyRefusedError extends ServiceError {}
  /** 100 or 1014: a template to match is missing or not a valid record. */
  class BadTemplateError extends ServiceError {}
  /**
   * 103: another capture or match (another page, tab or connection) has the
   * reader; nothing was done. Try again once it has ended. A capture that was
   * aborted is cancelled, even while it waits for a finger, and frees the
   * reader within a fraction of a second.
   */
  class ReaderBusyError extends ServiceError {}

  const SERVICE_ERROR_CLASSES = new Map([
    [55, NoReaderError], [1006, NoReaderError], [1009, CaptureTimeoutError], [1010, FakeFingerError],
    [101, SessionKeyRefusedError], [100, BadTemplateError], [1014, BadTemplateError],
    [103, ReaderBusyError],
  ]);

  /** The typed error for a reply's ErrorCode. */
  function serviceError(errorCode, options) {
    const Class = SERVICE_ERROR_CLASSES.get(errorCode) ?? ServiceError;
    return new Class(errorCode, options);
  }

  // ---------------------------------------------------------------- bytes

  /** Base64 text of bytes. */
  function toBase64(bytes) {
    let text = '';
    const chunk = 0x8000;  // apply() has an argument limit
    for (let i = 0; i < bytes.length; i += chunk) {
      text += String.fromCharCode.apply(null, bytes.subarray(i, i + chunk));
    }
    return btoa(text);
  }

  /** Bytes of Base64 text. */
  function fromBase64(text) {
    const binary = atob(text);
    const bytes = new Uint8Array(binary.length);
    for (let i = 0; i < binary.length; i++) bytes[i] = binary.charCodeAt(i);
    return bytes;
  }

  /**
   * Form-encodes fields. Every byte outside A-Z a-z 0-9 - _ . ~ is
   * percent-escaped; above all "+", "/" and "=" of Base64 values, which the
   * service would otherwise read as a space and as separators.
   */
  function formEncode(fields) {
    const pairs = [];
    for (const [name, value] of Object.entries(fields)) {
      if (value === undefined || value === null) continue;
      pairs.push(`${escapeFormText(name)}=${escapeFormText(String(value))}`);
    }
    return pairs.join('&');
  }

  function escapeFormText(text) {
    return encodeURIComponent(text).replace(/[!'()*]/g, (c) => `%${c.charCodeAt(0).toString(16).toUpperCase()}`);
  }

  function derLength(n) {
    if (n < 128) return [n];
    const bytes = [];
    for (; n > 0; n >>= 8) bytes.unshift(n & 255);
    return [0x80 | bytes.length, ...bytes];
  }

  function der(tag, content) {
    return [tag, ...derLength(content.length), ...content];
  }

  const RSA_ENCRYPTION = [0x06, 0x09, 0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x01, 0x01, 0x05, 0x00];

  /**
   * The service hands out a PKCS #1 "RSA PUBLIC KEY"; WebCrypto imports SPKI.
   * Wraps the key in an SPKI structure (algorithm rsaEncryption).
   */
  function pkcs1PemToSpki(pem) {
    if (typeof pem !== 'string' || !pem.includes('-----BEGIN RSA PUBLIC KEY-----')) {
      throw new TypeError('not a PKCS #1 RSA PUBLIC KEY PEM block');
    }
    const pkcs1 = fromBase64(pem.replace(/-----[^-]+-----/g, '').replace(/\s+/g, ''));
    return new Uint8Array(der(0x30, [...der(0x30, RSA_ENCRYPTION), ...der(0x03, [0, ...pkcs1])]));
  }

  // ---------------------------------------------------------------- transport

  const TLS_TRUST_CODES = new Set([
    'DEPTH_ZERO_SELF_SIGNED_CERT', 'SELF_SIGNED_CERT_IN_CHAIN', 'UNABLE_TO_VERIFY_LEAF_SIGNATURE',
    'UNABLE_TO_GET_ISSUER_CERT', 'UNABLE_TO_GET_ISSUER_CERT_LOCALLY', 'CERT_HAS_EXPIRED', 'CERT_NOT_YET_VALID',
    'CERT_UNTRUSTED', 'CERT_REJECTED', 'ERR_TLS_CERT_ALTNAME_INVALID', 'CERT_SIGNATURE_FAILURE',
  ]);

  // The code of the first error in a cause chain that has one (Node.js puts
  // the socket's or TLS's reason there; browsers give none).
  function causeCode(error) {
    for (let e = error, depth = 0; e && depth < 5; e = e.cause, depth++) {
      if (typeof e.code === 'string') return e.code;
    }
    return null;
  }

  const PERMISSION_NAMES = ['loopback-network', 'local-network-access', 'local-network'];

  /**
   * State of the browser's permission for this page to reach services on this
   * machine: "granted", "denied", "prompt", or "unsupported" where the
   * Permissions API does not know it (Node.js, other browsers).
   */
  async function localNetworkPermission() {
    const permissions = globalThis.navigator?.permissions;
    if (!permissions?.query) return 'unsupported';
    for (const name of PERMISSION_NAMES) {
      try {
        return (await permissions.query({ name })).state;
      } catch {
        // This browser names the permission differently; try the next name.
      }
    }
    return 'unsupported';
  }

  // Why a fetch failed without a reply, as the most specific error we can tell.
  async function networkFailure(error, url) {
    const permission = await localNetworkPermission();
    if (permission === 'denied') {
      // Chrome also reads "denied" for pages it will never ask: those that
      // are not a secure context.
      const insecure = globalThis.isSecureContext === false;
      return new LocalNetworkDeniedError(
        `this page may not reach ${url}: ` + (insecure
          ? 'it is not a secure context, and the browser lets only HTTPS pages reach this machine'
          : "the browser's local-network permission is denied (the user can allow it in the site settings)"),
        { url, cause: error, insecurePage: insecure });
    }
    const code = causeCode(error);
    const https = url.startsWith('https:');
    if (code !== null && (TLS_TRUST_CODES.has(code) || /CERT/.test(code))) {
      return new CertificateNotTrustedError(`the certificate of ${url} is not trusted (${code})`,
        { url, cause: error, reason: code });
    }
    const suspected = https && code === null;
    return new NotReachableError(
      `nothing answered at ${url}${code ? ` (${code})` : ''}` +
      (suspected ? ': the service is not running there, or this browser does not trust its certificate' +
        ` (open ${new URL('/health', url)} once to check)` : ': is the service running?'),
      { url, cause: error, certificateSuspected: suspected, permission });
  }

  // A signal that fires on the caller's abort or at the time-out, whichever
  // comes first; done() must be called to drop the timer and the listener.
  function deadline(callerSignal, timeoutMs, url) {
    const controller = new AbortController();
    let timedOut = false;
    const forward = () => controller.abort(callerSignal.reason);
    if (callerSignal) {
      if (callerSignal.aborted) forward();
      else callerSignal.addEventListener('abort', forward, { once: true });
    }
    let timer;
    if (Number.isFinite(timeoutMs) && timeoutMs > 0) {
      timer = setTimeout(() => {
        timedOut = true;
        controller.abort(new ClientTimeoutError(`no reply from ${url} within ${timeoutMs} ms`, { url, timeoutMs }));
      }, timeoutMs);
    }
    return {
      signal: controller.signal,
      timedOut: () => timedOut,
      done: () => {
        clearTimeout(timer);
        callerSignal?.removeEventListener('abort', forward);
      },
    };
  }

  function isObject(value) {
    return typeof value === 'object' && value !== null && !Array.isArray(value);
  }

  // One request; the parsed JSON object whose ErrorCode is a number, or a typed error.
  async function send(fetchImpl, url, { method, fields, signal, timeoutMs }) {
    const body = method === 'GET' ? undefined : formEncode(fields ?? {});
    const limit = deadline(signal, timeoutMs, url);
    let status;
    let text;
    try {
      const init = { method, signal: limit.signal, credentials: 'omit' };
      if (body !== undefined) {
        init.body = body;
        // A safelisted type: the request stays "simple" and needs no pre-flight.
        init.headers = { 'Content-Type': 'application/x-www-form-urlencoded' };
      }
      const response = await fetchImpl(url, init);
      status = response.status;
      text = await response.text();
    } catch (error) {
      if (signal?.aborted) throw signal.reason;
      if (limit.timedOut()) throw limit.signal.reason;
      throw await networkFailure(error, url);
    } finally {
      limit.done();
    }
    if (status === 403) {
      throw new HostRefusedError(`the service refused the request's Host header (403) at ${url}: ` +
        'call it as http(s)://127.0.0.1 or localhost', { url });
    }
    if (status !== 200) throw new BadReplyError(`HTTP status ${status} from ${url}`, { url, status, body: text });
    let reply;
    try {
      reply = JSON.parse(text);
    } catch (error) {
      throw new BadReplyError(`the reply of ${url} is not JSON`, { url, status, body: text, cause: error });
    }
    if (!isObject(reply) || !Number.isInteger(reply.ErrorCode)) {
      throw new BadReplyError(`the reply of ${url} has no numeric ErrorCode`, { url, status, body: text });
    }
    return reply;
  }

  // Member checks: a wrong type is a bad reply, never a silently wrong value.
  function member(reply, name, type, url, { nullable = false, optional = false } = {}) {
    const value = reply[name];
    if (value === undefined && optional) return undefined;
    if (value === null && nullable) return null;
    const ok = type === 'integer' ? Number.isInteger(value) : typeof value === type;
    if (!ok) throw new BadReplyError(`member ${name} of the reply of ${url} is not a ${type}`, { url, body: JSON.stringify(reply) });
    return value;
  }

  function decodeMember(reply, name, url, options) {
    const text = member(reply, name, 'string', url, options);
    if (typeof text !== 'string') return text ?? null;
    try {
      return fromBase64(text);
    } catch (error) {
      throw new BadReplyError(`member ${name} of the reply of ${url} is not Base64`, { url, cause: error });
    }
  }

  function templateText(template, what) {
    if (typeof template === 'string') return template;
    if (template instanceof Uint8Array) return toBase64(template);
    if (isObject(template) && typeof template.templateBase64 === 'string') {
      if (template.encrypted) throw new TypeError(`${what} is encrypted; match needs the plain template`);
      return template.templateBase64;
    }
    throw new TypeError(`${what} must be Base64 text, a Uint8Array or a capture result`);
  }

  // ---------------------------------------------------------------- client

  /** A client bound to one service address. */
  class KestravClient {
    #fetch;

    constructor({ baseUrl = `http://${DEFAULT_HOST}:${DEFAULT_PORTS[0]}`, fetch: fetchImpl, timeoutMs = DEFAULT_TIMEOUT_MS } = {}) {
      const url = new URL(baseUrl);
      if (url.protocol !== 'http:' && url.protocol !== 'https:') throw new TypeError(`not an http(s) URL: ${baseUrl}`);
      this.baseUrl = url.origin;
      this.scheme = url.protocol.slice(0, -1);
      this.port = Number(url.port || (this.scheme === 'https' ? 443 : 80));
      this.timeoutMs = timeoutMs;
      this.#fetch = fetchImpl ?? globalThis.fetch.bind(globalThis);
    }

    #call(path, method, fields, options = {}, defaultTimeout = this.timeoutMs) {
      return send(this.#fetch, this.baseUrl + path, {
        method, fields, signal: options.signal, timeoutMs: options.timeoutMs ?? defaultTimeout,
      });
    }

    /** Version, scheme, port, readers and certificate state; never waits for a finger. */
    async health(options = {}) {
      const url = this.baseUrl + '/health';
      const r = await this.#call('/health', 'GET', undefined, options);
      if (r.ErrorCode !== 0) throw serviceError(r.ErrorCode, { url });
      const readers = member(r, 'Readers', 'object', url);
      if (!Array.isArray(readers)) throw new BadReplyError(`member Readers of the reply of ${url} is not an array`, { url });
      const cert = member(r, 'Certificate', 'object', url, { nullable: true });
      return {
        service: member(r, 'Service', 'string', url),
        version: member(r, 'Version', 'string', url),
        scheme: member(r, 'Scheme', 'string', url),
        port: member(r, 'Port', 'integer', url),
        readerError: member(r, 'ReaderError', 'integer', url),
        readers: readers.map((reader) => ({
          model: member(reader, 'Model', 'string', url),
          serialNumber: member(reader, 'SerialNumber', 'string', url),
        })),
        certificate: cert === null ? null : {
          state: member(cert, 'State', 'string', url),
          message: member(cert, 'Message', 'string', url),
          notAfter: cert.NotAfter === null ? null : new Date(member(cert, 'NotAfter', 'string', url)),
          expired: member(cert, 'Expired', 'boolean', url, { nullable: true }),
        },
      };
    }

    /** Captures one fingerprint. Rejects with a ServiceError subclass on a non-zero ErrorCode. */
    async capture(options = {}) {
      const url = this.baseUrl + '/VRNFPCapture';
      const timeout = options.timeout;
      if (timeout !== undefined && !(Number.isInteger(timeout) && timeout >= 0)) {
        throw new RangeError('timeout must be a whole number of milliseconds, 0 or more');
      }
      if (options.quality !== undefined && !(Number.isInteger(options.quality) && options.quality >= 0 && options.quality <= 100)) {
        throw new RangeError('quality must be a whole number from 0 to 100');
      }
      if (options.wsqRate !== undefined && options.wsqRate !== 0.75 && options.wsqRate !== 2.25) {
        throw new RangeError('wsqRate must be 0.75 or 2.25');
      }
      const templateFormat = options.templateFormat ?? 'ISO';
      if (templateFormat !== 'ISO' && templateFormat !== 'ANSI') throw new RangeError('templateFormat must be "ISO" or "ANSI"');
      const fields = {
        timeout,
        quality: options.quality,
        templateFormat,
        imageWSQRate: options.wsqRate,
        fakeDetection: options.fakeDetection,
        rawimagedata: options.rawImage ? 'Y' : undefined,
        sessionkey: options.sessionKey?.wrappedBase64,
      };
      const r = await this.#call('/VRNFPCapture', 'POST', fields, options,
        (timeout ?? DEFAULT_TIMEOUT_MS) + CAPTURE_MARGIN_MS);
      if (r.ErrorCode !== 0) throw serviceError(r.ErrorCode, { url });
      const bmp = decodeMember(r, 'BMPBase64', url);
      const templateBase64 = member(r, 'TemplateBase64', 'string', url);
      const nfiq = member(r, 'NFIQ', 'integer', url);
      const wsq = decodeMember(r, 'WSQImage', url, { optional: true });
      return {
        manufacturer: member(r, 'Manufacturer', 'string', url),
        model: member(r, 'Model', 'string', url),
        serialNumber: member(r, 'SerialNumber', 'string', url),
        width: member(r, 'ImageWidth', 'integer', url),
        height: member(r, 'ImageHeight', 'integer', url),
        dpi: member(r, 'ImageDPI', 'integer', url),
        quality: member(r, 'ImageQuality', 'integer', url),
        nfiq: nfiq === -1 ? null : nfiq,
        rawImage: decodeMember(r, 'ImageDataBase64', url, { nullable: true }),
        bmp,
        bmpBlob: () => new Blob([bmp], { type: 'image/bmp' }),
        bmpObjectUrl: () => URL.createObjectURL(new Blob([bmp], { type: 'image/bmp' })),
        wsq: wsq ?? null,
        wsqSize: member(r, 'WSQImageSize', 'integer', url, { optional: true }) ?? null,
        templateFormat,
        templateBase64,
        template: decodeMember(r, 'TemplateBase64', url),
        encrypted: options.sessionKey !== undefined,
        reply: r,
      };
    }

    /**
     * A fresh session key wrapped under the service's public key, and a
     * capture whose template comes back encrypted under it. A key refused
     * because the service's key pair changed meanwhile is replaced once.
     */
    async captureEncrypted(options = {}) {
      let sessionKey = await this.newSessionKey(options);
      try {
        return Object.assign(await this.capture({ ...options, sessionKey }), { sessionKey });
      } catch (error) {
        if (!(error instanceof SessionKeyRefusedError)) throw error;
        sessionKey = await this.newSessionKey(options);
        return Object.assign(await this.capture({ ...options, sessionKey }), { sessionKey });
      }
    }

    /** Compares two templates; `sameFinger` applies the documented threshold. */
    async match(template1, template2, options = {}) {
      const url = this.baseUrl + '/VRNMatchScore';
      const templateFormat = options.templateFormat ??
        (isObject(template1) && template1.templateFormat) ?? 'ISO';
      const fields = {
        template1: templateText(template1, 'template1'),
        template2: templateText(template2, 'template2'),
        templateFormat,
      };
      const r = await this.#call('/VRNMatchScore', 'POST', fields, options);
      if (r.ErrorCode !== 0) throw serviceError(r.ErrorCode, { url });
      const score = member(r, 'MatchingScore', 'integer', url);
      return { score, sameFinger: score >= MATCH_THRESHOLD, threshold: MATCH_THRESHOLD };
    }

    /** The service's RSA public key (PKCS #1 PEM); `generate` makes a new pair first. */
    async publicKey(options = {}) {
      const url = this.baseUrl + '/VRNGetPublicKey';
      const r = await this.#call('/VRNGetPublicKey', 'POST', { generate: options.generate ? 'Y' : undefined }, options);
      if (r.ErrorCode !== 0) throw serviceError(r.ErrorCode, { url });
      return { pem: member(r, 'PublicKey', 'string', url) };
    }

    /**
     * A random AES-256 key wrapped with RSA-OAEP (SHA-1) under the service's
     * public key. Keep `key` to decrypt the template (on your server: see
     * the "./server" export); send nothing but `wrappedBase64` to the service.
     */
    async newSessionKey(options = {}) {
      const { pem } = await this.publicKey({ signal: options.signal, timeoutMs: options.timeoutMs });
      const subtle = globalThis.crypto?.subtle;
      if (!subtle) throw new TypeError('WebCrypto is not available (a page must be served over https or from localhost)');
      const rsa = await subtle.importKey('spki', pkcs1PemToSpki(pem), { name: 'RSA-OAEP', hash: 'SHA-1' }, false, ['encrypt']);
      const key = globalThis.crypto.getRandomValues(new Uint8Array(32));
      const wrapped = new Uint8Array(await subtle.encrypt({ name: 'RSA-OAEP' }, rsa, key));
      return { key, wrapped, wrappedBase64: toBase64(wrapped), publicKeyPem: pem };
    }
  }

  /**
   * Finds the service: tries http and https on each port (in parallel, GET
   * /health) and returns a client for the first in order that answers, with
   * `found` telling which. Rejects with the most telling error otherwise.
   */
  async function discover(options = {}) {
    const host = options.host ?? DEFAULT_HOST;
    const ports = options.ports ?? DEFAULT_PORTS;
    const schemes = options.schemes ?? ['http', 'https'];
    const candidates = ports.flatMap((port) => schemes.map((scheme) => `${scheme}://${host}:${port}`));
    const attempts = await Promise.allSettled(candidates.map(async (baseUrl) => {
      const client = new KestravClient({ baseUrl, fetch: options.fetch, timeoutMs: options.timeoutMs });
      const health = await client.health({ signal: options.signal, timeoutMs: options.probeTimeoutMs ?? PROBE_TIMEOUT_MS });
      return { client, health };
    }));
    if (options.signal?.aborted) throw options.signal.reason;
    const index = attempts.findIndex((a) => a.status === 'fulfilled');
    if (index >= 0) {
      const { client, health } = attempts[index].value;
      client.found = { url: client.baseUrl, scheme: client.scheme, port: client.port, health };
      return client;
    }
    const errors = attempts.map((a) => a.reason);
    // A refusal or a denial says more than "nothing answered" elsewhere.
    for (const Kind of [LocalNetworkDeniedError, HostRefusedError, CertificateNotTrustedError, BadReplyError, ServiceError]) {
      const found = errors.find((e) => e instanceof Kind);
      if (found) throw found;
    }
    const suspected = errors.some((e) => e instanceof NotReachableError && e.certificateSuspected);
    throw new NotReachableError(`the service answered at none of ${candidates.join(', ')}` +
      (suspected ? ' (if it runs with HTTPS, this browser may not trust its certificate)' : ''),
    { tried: candidates, certificateSuspected: suspected, cause: errors[0] });
  }

  /** A client for `baseUrl` when given, else the one `discover` finds. */
  async function connect(options = {}) {
    if (options.baseUrl) return new KestravClient(options);
    return discover(options);
  }

  root.Kestrav = Object.freeze({
    MATCH_THRESHOLD,
    DEFAULT_PORTS,
    DEFAULT_HOST,
    ErrorCode,
    KestravError,
    NotReachableError,
    LocalNetworkDeniedError,
    CertificateNotTrustedError,
    HostRefusedError,
    BadReplyError,
    ClientTimeoutError,
    ServiceError,
    NoReaderError,
    CaptureTimeoutError,
    FakeFingerError,
    SessionKeyRefusedError,
    BadTemplateError,
    ReaderBusyError,
    serviceError,
    toBase64,
    fromBase64,
    formEncode,
    pkcs1PemToSpki,
    localNetworkPermission,
    KestravClient,
    discover,
    connect,
  });
})(globalThis);
