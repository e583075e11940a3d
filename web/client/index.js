// The client as an ES module: the implementation is kestrav.js, a plain
// script that pages without modules can load too; see there.
import './kestrav.js';
import './events.js';

export const {
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
} = globalThis.Kestrav;

export const { GUIDANCE_TEXT, eventsUrl } = globalThis.KestravEvents;
