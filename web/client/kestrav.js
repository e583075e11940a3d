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

  /** Scores at or above this are the same finger: a false match rate of about 0.1 %. */
  const MATCH_THRESHOLD = 14;

  /**
   * The calibration of the service's scores: a score s means a false match
   * rate of about 10^(-(s-2)/4). Each row is the threshold for that rate.
   */
  const MATCH_THRESHOLDS = Object.freeze([
    Object.freeze({ fmr: 0.01, score: 10 }),
    Object.freeze({ fmr: 0.001, score: 14 }),
    Object.freeze({ fmr: 0.0001, score: 18 }),
    Object.freeze({ fmr: 0.00001, score: 22 }),
  ]);

  /**
   * The lowest threshold whose nominal false match rate is at most `fmr` (0 < fmr < 1):
   * ceil(2 + 4 * log10(1 / fmr)). 0.001 gives 14.
   */
  function thresholdForFmr(fmr) {
    if (typeof fmr !== 'number' || !(fmr > 0 && fmr < 1)) throw new RangeError('fmr must be a number between 0 and 1, e.g. 0.001');
    // The rounding guard keeps the table's own rates on their rows (log10 of
    // 1000 may come out a hair above 3).
    return Math.ceil(2 + 4 * Math.log10(1 / fmr) - 1e-9);
  }

  /** The oldest service version this client is written for (/health's Version). */
  const SERVICE_VERSION_NEEDED = '1.1.0.15';

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
    READER_NOT_ATTACHED: 104,
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
    [104, ['reader-not-attached', 'no attached reader has that serial number; nothing was captured']],
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
      // See effectivePermission(): "prompt" only where the browser asks.
      this.permission = options.permission ?? 'unsupported';
    }
  }

  /** The browser's local-network permission is denied for this page. */
  class LocalNetworkDeniedError extends KestravError {
    constructor(message, options = {}) {
      super('local-network-denied', message, options);
      // A plain-HTTP page from another machine: Chrome never asks, it blocks.
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

  /**
   * The service is older than this client needs (its /health Version, or a
   * capture reply that shows it ignored a parameter it does not know).
   */
  class ServiceOutdatedError extends KestravError {
    constructor(message, options = {}) {
      super('service-outdated', message, options);
      this.version = options.version ?? null;
      this.needed = SERVICE_VERSION_NEEDED;
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
  /** 104: the reader named by capture({ reader }) is not attached; nothing was captured. */
  class ReaderNotAttachedError extends ServiceError {}

  const SERVICE_ERROR_CLASSES = new Map([
    [55, NoReaderError], [1006, NoReaderError], [1009, CaptureTimeoutError], [1010, FakeFingerError],
    [101, SessionKeyRefusedError], [100, BadTemplateError], [1014, BadTemplateError],
    [103, ReaderBusyError], [104, ReaderNotAttachedError],
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
   * machine, as the Permissions API reports it: "granted", "denied", "prompt",
   * or "unsupported" where it does not know it (Node.js, other browsers).
   * Chrome reports "denied" for every page that is not a secure context, and
   * "prompt" for pages on this machine, which it never asks; see
   * effectivePermission() for what the state means for a failed call.
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

  const LOCAL_HOST_NAMES = new Set(['localhost', '127.0.0.1', '[::1]']);

  /**
   * What kind of page this code runs in: "local" (a file, or served from this
   * machine: the browser never asks about it), "secure" (HTTPS from elsewhere:
   * the browser asks once and keeps the answer), "insecure" (plain HTTP from
   * elsewhere), or "none" outside a page (Node.js).
   */
  function pageKind() {
    const location = globalThis.location;
    if (!location || typeof location.hostname !== 'string' || !globalThis.document) return 'none';
    const host = location.hostname.toLowerCase();
    if (location.protocol === 'file:' || LOCAL_HOST_NAMES.has(host) || host.endsWith('.localhost') ||
        /^127\.\d+\.\d+\.\d+$/.test(host)) return 'local';
    return globalThis.isSecureContext ? 'secure' : 'insecure';
  }

  const WITNESS_TIMEOUT_MS = 1000;

  /**
   * Whether a plain-HTTP page may reach this machine at all. Chrome reports
   * "denied" for every such page, but blocks only those served from elsewhere:
   * one served from this machine under any name (an /etc/hosts entry, a
   * development server) calls the service freely. Its own server answers on
   * the loopback at the page's port; from elsewhere that request is blocked
   * like any other, or finds nothing.
   */
  async function loopbackReachable() {
    const location = globalThis.location;
    const port = location.port || (location.protocol === 'https:' ? '443' : '80');
    try {
      await globalThis.fetch(`http://127.0.0.1:${port}/`, {
        mode: 'no-cors', credentials: 'omit', cache: 'no-store', signal: AbortSignal.timeout(WITNESS_TIMEOUT_MS),
      });
      return true;
    } catch {
      return false;
    }
  }

  /**
   * The permission as it bears on this page's calls: "not-needed" on a page
   * on this machine, which the browser never asks about (also a plain-HTTP
   * one under another name); "denied" on a plain-HTTP page from elsewhere,
   * which is blocked; else the browser's own state, "unsupported" outside a
   * browser page.
   */
  async function effectivePermission() {
    switch (pageKind()) {
      case 'none': return 'unsupported';
      case 'local': return 'not-needed';
      case 'insecure': return (await loopbackReachable()) ? 'not-needed' : 'denied';
      default: return localNetworkPermission();
    }
  }

  const HTTPS_HELP = 'docs/https.md';

  // Why a fetch failed without a reply, as the most specific error we can tell.
  async function networkFailure(error, url) {
    const permission = await effectivePermission();
    if (permission === 'denied') {
      const insecure = pageKind() === 'insecure';
      return new LocalNetworkDeniedError(`this page may not reach ${url}: ` + (insecure
        ? 'it is plain HTTP from another machine, and the browser lets only HTTPS pages reach this one'
        : "the browser's local-network permission is denied for this site (the user can allow it in the site settings)"),
      { url, cause: error, insecurePage: insecure });
    }
    const code = causeCode(error);
    const https = url.startsWith('https:');
    if (code !== null && (TLS_TRUST_CODES.has(code) || /CERT/.test(code))) {
      return new CertificateNotTrustedError(`the certificate of ${url} is not trusted (${code}; see ${HTTPS_HELP})`,
        { url, cause: error, reason: code });
    }
    const suspected = https && code === null;
    return new NotReachableError(
      `nothing answered at ${url}${code ? ` (${code})` : ''}` +
      (suspected ? ': the service is not running there, or this browser does not trust its certificate' +
        ` (open ${new URL('/health', url)} once to check; see ${HTTPS_HELP})` : ': is the service running?'),
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

  // -1, 0 or 1 as dotted version a is older, the same or newer than b.
  function compareVersions(a, b) {
    const pa = String(a).split('.').map((n) => parseInt(n, 10) || 0);
    const pb = String(b).split('.').map((n) => parseInt(n, 10) || 0);
    for (let i = 0; i < Math.max(pa.length, pb.length); i++) {
      const d = (pa[i] ?? 0) - (pb[i] ?? 0);
      if (d !== 0) return d < 0 ? -1 : 1;
    }
    return 0;
  }

  // Resolves after ms, or rejects with the signal's reason once it fires.
  function pause(ms, signal) {
    return new Promise((resolve, reject) => {
      if (signal?.aborted) {
        reject(signal.reason);
        return;
      }
      const onAbort = () => {
        clearTimeout(timer);
        reject(signal.reason);
      };
      const timer = setTimeout(() => {
        signal?.removeEventListener('abort', onAbort);
        resolve();
      }, ms);
      signal?.addEventListener('abort', onAbort, { once: true });
    });
  }

  // The serial number that capture({ reader }) names: text, or a reader as
  // health() lists it.
  function readerSerial(reader) {
    if (reader === undefined || reader === null) return undefined;
    const serial = typeof reader === 'string' ? reader : reader?.serialNumber;
    if (typeof serial !== 'string' || serial === '') {
      throw new TypeError('reader must be a serial number or a reader from health().readers');
    }
    return serial;
  }

  // The wrapped key of a session key as capture sends it: from the page's own
  // newSessionKey(), or only { wrapped } (bytes or Base64) from its server.
  function wrappedKeyText(sessionKey) {
    if (sessionKey === undefined || sessionKey === null) return undefined;
    if (typeof sessionKey.wrappedBase64 === 'string') return sessionKey.wrappedBase64;
    if (typeof sessionKey.wrapped === 'string') return sessionKey.wrapped;
    if (sessionKey.wrapped instanceof Uint8Array) return toBase64(sessionKey.wrapped);
    throw new TypeError('sessionKey must have `wrapped` (bytes or Base64 text)');
  }

  function templateFormatOf(template) {
    return isObject(template) && typeof template.templateFormat === 'string' ? template.templateFormat : undefined;
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
      const version = member(r, 'Version', 'string', url);
      this.serviceVersion = version;
      return {
        service: member(r, 'Service', 'string', url),
        version,
        /** The service is older than this client needs. */
        outdated: compareVersions(version, SERVICE_VERSION_NEEDED) < 0,
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

    /**
     * Captures one fingerprint. Rejects with a ServiceError subclass on a
     * non-zero ErrorCode; with `retryWhileBusy` (ms) a busy reader (103) is
     * asked again, less and less often, until that time has passed.
     */
    async capture(options = {}) {
      const retryMs = options.retryWhileBusy ?? 0;
      if (!(Number.isFinite(retryMs) && retryMs >= 0)) throw new RangeError('retryWhileBusy must be a number of milliseconds, 0 or more');
      const giveUp = Date.now() + retryMs;
      for (let wait = 100; ; wait = Math.min(wait * 2, 1000)) {
        try {
          return await this.#captureOnce(options);
        } catch (error) {
          const left = giveUp - Date.now();
          if (!(error instanceof ReaderBusyError) || left <= 0) throw error;
          await pause(Math.min(wait, left), options.signal);
        }
      }
    }

    async #captureOnce(options) {
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
      const reader = readerSerial(options.reader);
      if (reader !== undefined && this.serviceVersion && compareVersions(this.serviceVersion, SERVICE_VERSION_NEEDED) < 0) {
        throw new ServiceOutdatedError(`the service at ${this.baseUrl} is version ${this.serviceVersion}; ` +
          `choosing a reader needs ${SERVICE_VERSION_NEEDED} or later`, { url, version: this.serviceVersion });
      }
      const fields = {
        timeout,
        quality: options.quality,
        templateFormat,
        imageWSQRate: options.wsqRate,
        fakeDetection: options.fakeDetection,
        rawimagedata: options.rawImage ? 'Y' : undefined,
        sessionkey: wrappedKeyText(options.sessionKey),
        readerSerial: reader,
      };
      const r = await this.#call('/VRNFPCapture', 'POST', fields, options,
        (timeout ?? DEFAULT_TIMEOUT_MS) + CAPTURE_MARGIN_MS);
      if (r.ErrorCode !== 0) throw serviceError(r.ErrorCode, { url });
      const bmp = decodeMember(r, 'BMPBase64', url);
      const templateBase64 = member(r, 'TemplateBase64', 'string', url);
      const nfiq = member(r, 'NFIQ', 'integer', url);
      const wsq = decodeMember(r, 'WSQImage', url, { optional: true });
      const serialNumber = member(r, 'SerialNumber', 'string', url);
      if (reader !== undefined && serialNumber !== reader) {
        // A service that does not know the parameter captures with its first reader.
        throw new ServiceOutdatedError(`the service at ${this.baseUrl} captured with reader ${serialNumber}, ` +
          `not ${reader}: it does not support choosing a reader (needs ${SERVICE_VERSION_NEEDED} or later)`,
        { url, version: this.serviceVersion ?? null });
      }
      return {
        manufacturer: member(r, 'Manufacturer', 'string', url),
        model: member(r, 'Model', 'string', url),
        serialNumber,
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
     * A capture whose template comes back encrypted under a session key:
     * - `sessionKey: { wrapped }` from the page's server (newServerSessionKey
     *   in "./server"), so that the key itself never reaches the page;
     * - `sessionKey: async (publicKeyPem) => ({ wrapped })`, which asks the
     *   server for one and is asked again once if the service's key pair has
     *   changed meanwhile (101);
     * - none: a fresh key made here (newSessionKey), replaced once on 101.
     */
    async captureEncrypted(options = {}) {
      const given = options.sessionKey;
      if (given !== undefined && typeof given !== 'function') {
        return Object.assign(await this.capture(options), { sessionKey: given });
      }
      const call = { signal: options.signal, timeoutMs: options.timeoutMs };
      const make = typeof given === 'function'
        ? async () => given((await this.publicKey(call)).pem)
        : () => this.newSessionKey(call);
      let sessionKey = await make();
      try {
        return Object.assign(await this.capture({ ...options, sessionKey }), { sessionKey });
      } catch (error) {
        if (!(error instanceof SessionKeyRefusedError)) throw error;
        sessionKey = await make();
        return Object.assign(await this.capture({ ...options, sessionKey }), { sessionKey });
      }
    }

    /**
     * Compares two templates. `sameFinger` is score >= threshold: `threshold`
     * when given, else the one for `fmr` (thresholdForFmr), else MATCH_THRESHOLD.
     */
    async match(template1, template2, options = {}) {
      const url = this.baseUrl + '/VRNMatchScore';
      const [f1, f2] = [templateFormatOf(template1), templateFormatOf(template2)];
      if (f1 !== undefined && f2 !== undefined && f1 !== f2) {
        throw new TypeError(`template1 is ${f1} and template2 is ${f2}: capture both in one format to match them`);
      }
      const templateFormat = options.templateFormat ?? f1 ?? f2 ?? 'ISO';
      if (templateFormat !== 'ISO' && templateFormat !== 'ANSI') throw new RangeError('templateFormat must be "ISO" or "ANSI"');
      if (options.threshold !== undefined && options.fmr !== undefined) throw new TypeError('give threshold or fmr, not both');
      const threshold = options.threshold ?? (options.fmr !== undefined ? thresholdForFmr(options.fmr) : MATCH_THRESHOLD);
      if (!Number.isInteger(threshold) || threshold < 0) throw new RangeError('threshold must be a whole number, 0 or more');
      const fields = {
        template1: templateText(template1, 'template1'),
        template2: templateText(template2, 'template2'),
        templateFormat,
      };
      const r = await this.#call('/VRNMatchScore', 'POST', fields, options);
      if (r.ErrorCode !== 0) throw serviceError(r.ErrorCode, { url });
      const score = member(r, 'MatchingScore', 'integer', url);
      return { score, sameFinger: score >= threshold, threshold };
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

  // The URLs to probe, the likely ones first (http on 8000, https on 8443
  // as the service documents them), so that a service found on the first
  // try leaves no failed request in the browser's console.
  function probeOrder(host, ports, schemes) {
    const usual = (scheme, port) => (scheme === 'https') === (port === 8443 || port === 443);
    const pairs = ports.flatMap((port) => schemes.map((scheme) => ({ scheme, port })));
    const ordered = [...pairs.filter((p) => usual(p.scheme, p.port)), ...pairs.filter((p) => !usual(p.scheme, p.port))];
    const name = host.includes(':') && !host.startsWith('[') ? `[${host}]` : host;
    return ordered.map(({ scheme, port }) => `${scheme}://${name}:${port}`);
  }

  /**
   * Finds the service: GET /health on http and https on each port, one at a
   * time, likely ones first, and returns a client for the first that answers,
   * with `found` telling where. Rejects with the most telling error otherwise.
   */
  async function discover(options = {}) {
    const host = options.host ?? DEFAULT_HOST;
    const ports = options.ports ?? DEFAULT_PORTS;
    const schemes = options.schemes ?? ['http', 'https'];
    const candidates = probeOrder(host, ports, schemes);
    const errors = [];
    for (const baseUrl of candidates) {
      const client = new KestravClient({ baseUrl, fetch: options.fetch, timeoutMs: options.timeoutMs });
      try {
        const health = await client.health({ signal: options.signal, timeoutMs: options.probeTimeoutMs ?? PROBE_TIMEOUT_MS });
        client.found = { url: client.baseUrl, scheme: client.scheme, port: client.port, health };
        return client;
      } catch (error) {
        if (options.signal?.aborted) throw options.signal.reason;
        // A denied page reaches no port: the other probes would only add errors.
        if (error instanceof LocalNetworkDeniedError) throw error;
        errors.push(error);
      }
    }
    // A refusal says more than "nothing answered" elsewhere.
    for (const Kind of [HostRefusedError, CertificateNotTrustedError, BadReplyError, ServiceError]) {
      const found = errors.find((e) => e instanceof Kind);
      if (found) throw found;
    }
    const unreachable = errors.filter((e) => e instanceof NotReachableError);
    const suspects = unreachable.filter((e) => e.certificateSuspected).map((e) => e.url);
    throw new NotReachableError(`the service answered at none of ${candidates.join(', ')}` +
      (suspects.length ? `; if it runs with HTTPS, this browser may not trust its certificate (open ${suspects[0]}/health once to check; see ${HTTPS_HELP})` : ''),
    {
      tried: candidates,
      certificateSuspected: suspects.length > 0,
      permission: unreachable[0]?.permission ?? 'unsupported',
      cause: errors[0],
    });
  }

  /** A client for `baseUrl` when given, else the one `discover` finds. */
  async function connect(options = {}) {
    if (options.baseUrl) return new KestravClient(options);
    return discover(options);
  }

  root.Kestrav = Object.freeze({
    MATCH_THRESHOLD,
    MATCH_THRESHOLDS,
    SERVICE_VERSION_NEEDED,
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
    ReaderNotAttachedError,
    ServiceOutdatedError,
    serviceError,
    thresholdForFmr,
    toBase64,
    fromBase64,
    formEncode,
    pkcs1PemToSpki,
    localNetworkPermission,
    effectivePermission,
    KestravClient,
    discover,
    connect,
  });
})(globalThis);
