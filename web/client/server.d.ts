// Types of the back-end helper (server.js), for Node.js.

/** A session key made on the page's server: keep `key`, give the page only `wrapped`. */
export interface ServerSessionKey {
  /** The 32-byte AES-256 key; never send it to the page. */
  key: Uint8Array;
  /** The key wrapped with RSA-OAEP (SHA-1) under the service's public key, 256 bytes. */
  wrapped: Uint8Array;
  wrappedBase64: string;
}

/** A fresh session key wrapped under the service's PKCS #1 public key PEM; throws TypeError for anything else. */
export declare function newServerSessionKey(publicKeyPem: string): ServerSessionKey;

/** AES-256-ECB decryption with PKCS #7 padding removed; throws TypeError on a bad key, length or padding. */
export declare function decryptTemplate(ciphertext: Uint8Array | string, key: Uint8Array | string): Uint8Array;

export interface TemplateHeader {
  format: 'ISO' | 'ANSI';
  /** e.g. "20". */
  version: string;
  /** Length the record declares, bytes. */
  recordLength: number;
  /** The capture device type id. */
  deviceType: number;
  width: number;
  height: number;
  /** Pixels per centimetre. */
  xResolution: number;
  yResolution: number;
  /** Number of finger views. */
  views: number;
  fingerPosition: number;
  viewNumber: number;
  impressionType: number;
  fingerQuality: number;
  /** Minutiae in the first view. */
  minutiae: number;
}

/** Reads the record header and first view; throws TypeError for anything not a whole record. */
export declare function readTemplateHeader(record: Uint8Array | string, format?: 'ISO' | 'ANSI'): TemplateHeader;
