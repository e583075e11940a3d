// Types of the back-end helper (server.js), for Node.js.

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
