// For the page's back end (Node.js): makes session keys that never touch the
// page, decrypts a template the service encrypted under one, and reads the
// header of an ISO/IEC 19794-2 or ANSI INCITS 378 finger minutiae record.
// WebCrypto has no AES-ECB, so decryption runs on the server, never in the page.
import { constants, createDecipheriv, createPublicKey, publicEncrypt, randomBytes } from 'node:crypto';

const AES_BLOCK_BYTES = 16;
const AES_KEY_BYTES = 32;
const ISO_HEADER_BYTES = 24;
const ANSI_HEADER_BYTES = 26;
const ANSI_LONG_HEADER_BYTES = 30;
const VIEW_HEADER_BYTES = 4;

function bytesOf(value, what) {
  if (typeof value === 'string') return Buffer.from(value, 'base64');
  if (value instanceof Uint8Array) return Buffer.from(value.buffer, value.byteOffset, value.byteLength);
  throw new TypeError(`${what} must be a Uint8Array or Base64 text`);
}

/**
 * A fresh AES-256 session key for the service whose public key (the PKCS #1
 * PEM of /VRNGetPublicKey, which the page forwards) is given: `key` stays
 * on this server to decrypt the template, `wrapped` (and its Base64 text)
 * goes to the page, which passes it to captureEncrypted({ sessionKey: { wrapped } }).
 * Wrapped with RSA-OAEP, SHA-1, as the service unwraps it. Throws a
 * TypeError for text that is not an RSA public key.
 */
export function newServerSessionKey(publicKeyPem) {
  let rsa;
  try {
    rsa = createPublicKey(publicKeyPem);
  } catch (error) {
    throw new TypeError('not an RSA public key PEM block', { cause: error });
  }
  if (rsa.asymmetricKeyType !== 'rsa') throw new TypeError('not an RSA public key PEM block');
  const key = new Uint8Array(randomBytes(AES_KEY_BYTES));
  const wrapped = new Uint8Array(publicEncrypt(
    { key: rsa, padding: constants.RSA_PKCS1_OAEP_PADDING, oaepHash: 'sha1' }, key));
  return { key, wrapped, wrappedBase64: Buffer.from(wrapped).toString('base64') };
}

/**
 * Decrypts TemplateBase64 of an encrypted capture: AES-256-ECB under the
 * 32-byte session key, PKCS #7 padding removed. Throws a TypeError for a
 * key of the wrong length, a ciphertext that is not whole blocks, or
 * padding that does not check (wrong key).
 */
export function decryptTemplate(ciphertext, key) {
  const data = bytesOf(ciphertext, 'ciphertext');
  const keyBytes = bytesOf(key, 'key');
  if (keyBytes.length !== AES_KEY_BYTES) throw new TypeError(`the key must be ${AES_KEY_BYTES} bytes, not ${keyBytes.length}`);
  if (data.length === 0 || data.length % AES_BLOCK_BYTES !== 0) {
    throw new TypeError(`the ciphertext must be whole ${AES_BLOCK_BYTES}-byte blocks, not ${data.length} bytes`);
  }
  const decipher = createDecipheriv('aes-256-ecb', keyBytes, null);
  try {
    return new Uint8Array(Buffer.concat([decipher.update(data), decipher.final()]));
  } catch (error) {
    throw new TypeError('the padding does not check: wrong key, or not a template encrypted by the service', { cause: error });
  }
}

/**
 * Reads a minutiae record's header and its first finger view. `format` is
 * "ISO", "ANSI" or omitted: then a 2-byte length of 26 or more at offset 8
 * marks ANSI, anything else ISO (an ANSI record in the long form, with 0000
 * there, needs format "ANSI"). Throws a TypeError for anything that is not a
 * whole record.
 */
export function readTemplateHeader(record, format) {
  const r = bytesOf(record, 'record');
  if (r.length < ISO_HEADER_BYTES || r.toString('latin1', 0, 4) !== 'FMR\0') {
    throw new TypeError('not a finger minutiae record (no "FMR" identifier)');
  }
  const version = r.toString('latin1', 4, 8).replace(/\0/g, '').trim();
  const ansi = format === undefined ? r.readUInt16BE(8) >= ANSI_HEADER_BYTES : format === 'ANSI';
  if (format !== undefined && format !== 'ISO' && format !== 'ANSI') throw new TypeError('format must be "ISO" or "ANSI"');
  let recordLength;
  let header;  // offset of the equipment field
  let headerBytes;
  if (!ansi) {
    recordLength = r.readUInt32BE(8);
    header = 12;
    headerBytes = ISO_HEADER_BYTES;
  } else if (r.readUInt16BE(8) !== 0) {
    recordLength = r.readUInt16BE(8);
    header = 14;
    headerBytes = ANSI_HEADER_BYTES;
  } else {
    if (r.length < ANSI_LONG_HEADER_BYTES) throw new TypeError('the record is shorter than its header');
    recordLength = r.readUInt32BE(10);
    header = 18;
    headerBytes = ANSI_LONG_HEADER_BYTES;
  }
  if (r.length < headerBytes + VIEW_HEADER_BYTES) throw new TypeError('the record is shorter than its header and first view');
  if (recordLength < headerBytes + VIEW_HEADER_BYTES || recordLength > r.length) {
    throw new TypeError(`the record declares ${recordLength} bytes but ${r.length} are here`);
  }
  const view = headerBytes;
  return {
    format: ansi ? 'ANSI' : 'ISO',
    version,
    recordLength,
    deviceType: r.readUInt16BE(header) & 0x0fff,
    width: r.readUInt16BE(header + 2),
    height: r.readUInt16BE(header + 4),
    xResolution: r.readUInt16BE(header + 6),
    yResolution: r.readUInt16BE(header + 8),
    views: r[header + 10],
    fingerPosition: r[view],
    viewNumber: r[view + 1] >> 4,
    impressionType: r[view + 1] & 0x0f,
    fingerQuality: r[view + 2],
    minutiae: r[view + 3],
  };
}
