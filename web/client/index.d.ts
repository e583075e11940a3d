// Types of the Kestrav web client (index.js).

import type { ProgressOptions, Watch, WatchOptions } from './events.js';
export * from './events.js';

/** Scores at or above this are the same finger: a false match rate of about 0.1 %. */
export declare const MATCH_THRESHOLD: 14;

/** Score s means a false match rate of about 10^(-(s-2)/4): one row per rate. */
export declare const MATCH_THRESHOLDS: readonly [
  { readonly fmr: 0.01; readonly score: 10 },
  { readonly fmr: 0.001; readonly score: 14 },
  { readonly fmr: 0.0001; readonly score: 18 },
  { readonly fmr: 0.00001; readonly score: 22 },
];
/** The lowest threshold whose nominal false match rate is at most fmr (0 < fmr < 1): ceil(2 + 4 log10(1/fmr)). */
export declare function thresholdForFmr(fmr: number): number;

/** The oldest service version (/health Version) this client is written for. */
export declare const SERVICE_VERSION_NEEDED: string;
export declare const DEFAULT_PORTS: readonly number[];
export declare const DEFAULT_HOST: string;

export declare const ErrorCode: Readonly<{
  SUCCESS: 0;
  NO_PUBLIC_KEY: 1;
  NO_COM_PORT: 55;
  FAKE_DETECTION_UNAVAILABLE: 63;
  TEMPLATE_MISSING: 100;
  SESSION_KEY_REFUSED: 101;
  OUT_OF_MEMORY: 102;
  READER_BUSY: 103;
  READER_NOT_ATTACHED: 104;
  INVALID_ARGUMENT: 1001;
  INVALID_HANDLE: 1002;
  SDK_OUT_OF_MEMORY: 1003;
  UNKNOWN_DEVICE: 1004;
  SEQUENCE: 1005;
  NO_DEVICE: 1006;
  OPEN_FAILED: 1007;
  DEVICE_FAILURE: 1008;
  TIMEOUT: 1009;
  FAKE_FINGER: 1010;
  IMAGE_TOO_LARGE: 1011;
  TEMPLATE_FAILED: 1012;
  TEMPLATE_TOO_LARGE: 1013;
  BAD_TEMPLATE: 1014;
  NOT_SUPPORTED: 1015;
  QUALITY: 1016;
  IMAGE_TOO_SMALL: 1017;
}>;

export type ErrorKind =
  | 'not-reachable'
  | 'local-network-denied'
  | 'certificate-not-trusted'
  | 'host-refused'
  | 'bad-reply'
  | 'client-timeout'
  | 'service-outdated'
  | 'service';

export type ServiceErrorReason =
  | 'no-public-key' | 'no-reader' | 'fake-detection-unavailable' | 'template-missing'
  | 'session-key-refused' | 'out-of-memory' | 'reader-busy' | 'reader-not-attached' | 'invalid-argument' | 'internal' | 'unknown-device'
  | 'reader-failure' | 'timeout' | 'fake-finger' | 'image-too-large' | 'template-failed'
  | 'template-too-large' | 'bad-template' | 'not-supported' | 'quality' | 'image-too-small' | 'unknown';

/** Base of every error the client throws (an abort rejects with the signal's own reason). */
export declare class KestravError extends Error {
  readonly kind: ErrorKind;
  /** The URL the failing request went to, when there was one. */
  readonly url: string | null;
}
/** Nothing answered: the service is not running, or not at that address. */
export declare class NotReachableError extends KestravError {
  readonly kind: 'not-reachable';
  readonly tried: string[];
  /** An https URL failed in a browser, which cannot tell a refused connection from an untrusted certificate. */
  readonly certificateSuspected: boolean;
  /**
   * The local-network permission as it bears on this page when the call failed:
   * "not-needed" (a page on this machine, under any name: the browser asks
   * nothing, the service is simply not answering), "granted" (allowed; not
   * answering), "prompt" (a public HTTPS page whose user has not allowed it
   * yet: closed the browser's question), "unsupported" (Node.js, or a browser
   * without the state).
   */
  readonly permission: EffectivePermissionState;
}
/**
 * This page may not reach the service: the user blocked the local-network
 * permission for this HTTPS site, or (insecurePage) the page is plain HTTP
 * from another machine, which Chrome blocks without asking.
 */
export declare class LocalNetworkDeniedError extends KestravError {
  readonly kind: 'local-network-denied';
  /** A plain-HTTP page from another machine: serve it over HTTPS. */
  readonly insecurePage: boolean;
}
/** The service is older than this client needs, or ignored a parameter it does not know. */
export declare class ServiceOutdatedError extends KestravError {
  readonly kind: 'service-outdated';
  /** The service's version, when known. */
  readonly version: string | null;
  readonly needed: string;
}
/** The service's certificate is not trusted (known for certain only where the runtime says so, as Node.js does). */
export declare class CertificateNotTrustedError extends KestravError {
  readonly kind: 'certificate-not-trusted';
  /** The runtime's reason, e.g. "DEPTH_ZERO_SELF_SIGNED_CERT". */
  readonly reason: string | null;
}
/** 403: the Host header does not name this machine. */
export declare class HostRefusedError extends KestravError {
  readonly kind: 'host-refused';
}
/** The reply is not the documented JSON (wrong status, not JSON, wrong member types). */
export declare class BadReplyError extends KestravError {
  readonly kind: 'bad-reply';
  readonly status: number | null;
  readonly body: string | null;
}
/** The client-side time-out ran out. */
export declare class ClientTimeoutError extends KestravError {
  readonly kind: 'client-timeout';
  readonly timeoutMs: number | null;
}
/** A non-zero ErrorCode from the service. */
export declare class ServiceError extends KestravError {
  readonly kind: 'service';
  readonly errorCode: number;
  readonly reason: ServiceErrorReason;
}
/** 55 or 1006. */
export declare class NoReaderError extends ServiceError {}
/** 1009. */
export declare class CaptureTimeoutError extends ServiceError {}
/** 1010. */
export declare class FakeFingerError extends ServiceError {}
/** 101: nothing was captured; wrap a new key. */
export declare class SessionKeyRefusedError extends ServiceError {}
/** 100 or 1014. */
export declare class BadTemplateError extends ServiceError {}
/**
 * 103: the reader is busy with another capture or match; nothing was done. Try again once it has
 * ended (or use retryWhileBusy). A capture that was aborted is cancelled, even while it waits for a
 * finger, and frees the reader within a fraction of a second.
 */
export declare class ReaderBusyError extends ServiceError {}
/** 104: no attached reader has the serial given as capture({ reader }); nothing was captured. */
export declare class ReaderNotAttachedError extends ServiceError {}

export declare function serviceError(errorCode: number, options?: { url?: string }): ServiceError;

export type TemplateFormat = 'ISO' | 'ANSI';

/** Per-call options every method takes. */
export interface CallOptions {
  /** Cancels the request (the promise rejects with the signal's reason). */
  signal?: AbortSignal;
  /** Client-side time-out in ms; for capture it defaults to the capture time-out plus 15 s. */
  timeoutMs?: number;
}

export interface CaptureOptions extends CallOptions, ProgressOptions {
  /** Capture time in ms (service default 10000). */
  timeout?: number;
  /** Quality threshold 0-100 (service default 50). */
  quality?: number;
  templateFormat?: TemplateFormat;
  /** Also return the image as WSQ at this bit rate. */
  wsqRate?: 0.75 | 2.25;
  /** Fake-finger detection level 0-10. */
  fakeDetection?: number;
  /** Also return the raw pixels. */
  rawImage?: boolean;
  /** Encrypt the template under this key: newSessionKey()'s, or only `wrapped` from the page's server. */
  sessionKey?: SessionKey | WrappedSessionKey;
  /** The reader to capture with: its serial number, or a reader as health() lists it. Default: the first. */
  reader?: string | ReaderInfo;
  /** Ask again while the reader is busy (103), less and less often, for up to this many ms. */
  retryWhileBusy?: number;
}

export interface CaptureResult {
  manufacturer: string;
  model: string;
  serialNumber: string;
  width: number;
  height: number;
  dpi: number;
  /** Quality of the final image, 0-100. */
  quality: number;
  /** NFIQ 1 (best) to 5; null when it could not be computed. */
  nfiq: number | null;
  /** width x height grey bytes, top row first; null unless rawImage was asked for. */
  rawImage: Uint8Array | null;
  /** The image as an 8-bit greyscale BMP file. */
  bmp: Uint8Array;
  bmpBlob(): Blob;
  /** A blob: URL of the BMP for an <img>; release it with URL.revokeObjectURL. */
  bmpObjectUrl(): string;
  /** The WSQ file when wsqRate was given, else null. */
  wsq: Uint8Array | null;
  wsqSize: number | null;
  templateFormat: TemplateFormat;
  /** The template record, or its ciphertext when encrypted. */
  template: Uint8Array;
  templateBase64: string;
  encrypted: boolean;
  /** The reply as the service sent it. */
  reply: Record<string, unknown>;
}

/** A session key the page's server made (newServerSessionKey): the page holds only the wrapped key. */
export interface WrappedSessionKey {
  /** The wrapped key, as bytes or Base64 text. */
  wrapped: Uint8Array | string;
  key?: never;
}

/** Asked with the service's public key; returns a key wrapped on the page's server. */
export type SessionKeySource = (publicKeyPem: string) => Promise<WrappedSessionKey>;

export interface EncryptOptions extends Omit<CaptureOptions, 'sessionKey'> {
  /** A key from the page's server (recommended), or a function that fetches one; default: a key made in the page. */
  sessionKey?: WrappedSessionKey | SessionKeySource;
}

export interface SessionKey {
  /** The 32-byte AES-256 key; decrypt the template with it (server side). */
  key: Uint8Array;
  /** The key wrapped with RSA-OAEP (SHA-1) under the service's public key, 256 bytes. */
  wrapped: Uint8Array;
  wrappedBase64: string;
  publicKeyPem: string;
}

export interface EncryptedCapture<K extends SessionKey | WrappedSessionKey = SessionKey> extends CaptureResult {
  encrypted: true;
  /** The key used: the page's own (with `key`), or the wrapped-only one its server made. */
  sessionKey: K;
}

export type MatchOptions = CallOptions & {
  /** Default: the first template's format when it is a capture, else ISO. */
  templateFormat?: TemplateFormat;
} & (
  | { threshold?: undefined; fmr?: undefined }
  /** sameFinger at this score or above. */
  | { threshold: number; fmr?: undefined }
  /** sameFinger at thresholdForFmr(fmr), e.g. 0.0001 gives 18. */
  | { fmr: number; threshold?: undefined }
);

export interface MatchResult {
  score: number;
  /** score >= threshold. */
  sameFinger: boolean;
  threshold: number;
}

/** Base64 text, record bytes, or an unencrypted capture result. */
export type TemplateInput = string | Uint8Array | CaptureResult;

export interface PublicKeyOptions extends CallOptions {
  /** Make a new key pair first; keys wrapped under the old one are refused from then on. */
  generate?: boolean;
}

export interface ReaderInfo {
  model: string;
  serialNumber: string;
}

export type CertificateState = 'ok' | 'unreadable' | 'expires-within-90-days' | 'expires-within-30-days';

export interface Health {
  service: string;
  version: string;
  /** version is older than SERVICE_VERSION_NEEDED. */
  outdated: boolean;
  scheme: 'http' | 'https';
  port: number;
  /** 0, or the SDK's code when listing readers failed. */
  readerError: number;
  readers: ReaderInfo[];
  /** null under HTTP. */
  certificate: null | {
    state: CertificateState;
    message: string;
    notAfter: Date | null;
    expired: boolean | null;
  };
}

export interface ClientOptions {
  /** e.g. "http://127.0.0.1:8000" (the default). */
  baseUrl?: string;
  /** A fetch to use instead of the global one. */
  fetch?: typeof fetch;
  /** Default client-side time-out of non-capture calls, ms (10000). */
  timeoutMs?: number;
}

export interface Found {
  url: string;
  scheme: 'http' | 'https';
  port: number;
  health: Health;
}

export declare class KestravClient {
  constructor(options?: ClientOptions);
  readonly baseUrl: string;
  readonly scheme: 'http' | 'https';
  readonly port: number;
  timeoutMs: number;
  /** Set by discover(): where the service was found. */
  found?: Found;
  /** The version the last health() reported. */
  serviceVersion?: string;
  health(options?: CallOptions): Promise<Health>;
  /** With onProgress: over /events, falling back to HTTP when the socket cannot open. */
  capture(options?: CaptureOptions): Promise<CaptureResult>;
  /** The reader list as readers come and go, and every /events message. */
  watch(options?: WatchOptions): Watch;
  /** With a key made here: the result's sessionKey has `key`. */
  captureEncrypted(options?: EncryptOptions & { sessionKey?: undefined }): Promise<EncryptedCapture<SessionKey>>;
  /** With a key from the page's server: the page never holds `key`. */
  captureEncrypted(options: EncryptOptions): Promise<EncryptedCapture<WrappedSessionKey>>;
  match(template1: TemplateInput, template2: TemplateInput, options?: MatchOptions): Promise<MatchResult>;
  publicKey(options?: PublicKeyOptions): Promise<{ pem: string }>;
  newSessionKey(options?: CallOptions): Promise<SessionKey>;
}

export interface DiscoverOptions {
  host?: string;
  ports?: readonly number[];
  schemes?: ReadonlyArray<'http' | 'https'>;
  fetch?: typeof fetch;
  signal?: AbortSignal;
  /** Time-out of each probe, ms (3000). */
  probeTimeoutMs?: number;
  /** Default time-out of the returned client's calls. */
  timeoutMs?: number;
}

/** Probes http and https on each port, one at a time, likely ones first; a client for the first that answers. */
export declare function discover(options?: DiscoverOptions): Promise<KestravClient & { found: Found }>;
/** A client for options.baseUrl, or discover(options) without one. */
export declare function connect(options?: ClientOptions & DiscoverOptions): Promise<KestravClient>;

/** The browser's own state (Chrome says "denied" for every plain-HTTP page and "prompt" for local ones). */
export type LocalNetworkPermissionState = 'granted' | 'denied' | 'prompt' | 'unsupported';
export declare function localNetworkPermission(): Promise<LocalNetworkPermissionState>;
/** The state as it bears on this page: "not-needed" on pages on this machine, "denied" on plain-HTTP pages from elsewhere. */
export type EffectivePermissionState = LocalNetworkPermissionState | 'not-needed';
export declare function effectivePermission(): Promise<EffectivePermissionState>;

export declare function formEncode(fields: Record<string, string | number | boolean | null | undefined>): string;
export declare function toBase64(bytes: Uint8Array): string;
export declare function fromBase64(text: string): Uint8Array;
/** SPKI DER of a PKCS #1 "RSA PUBLIC KEY" PEM block, for crypto.subtle.importKey("spki", ...). */
export declare function pkcs1PemToSpki(pem: string): Uint8Array;
