// The service's RSA key pair and the unwrapping of the AES-256 session keys
// that pages wrap under its public key (RSA-OAEP, SHA-1, MGF1-SHA-1, empty
// label). The pair is process-wide, lives in memory only and is used only on
// the service thread; every other block returned here belongs to the caller.
#pragma once

#include <openssl/types.h>

#include <cstddef>

#include "codec/aes256.h"

struct http_message;

inline constexpr int kServiceKeyBits = 2048;
inline constexpr unsigned kServiceKeyExponent = 3;     // deliberately not 65537
inline constexpr int kSessionKeyBytes = kAesKeyBytes;  // AES-256 key at the front of the plaintext

// The current key pair. All three members are null until the first successful
// generation; afterwards they are set together and replaced together. Owned by
// this module: callers read them and never free them.
struct ServiceKeyPair {
  EVP_PKEY* rsa;         // 2048-bit RSA key, public exponent 3
  char* public_pem;      // "RSA PUBLIC KEY" (PKCS #1) PEM, LF line breaks, NUL-terminated
  char* private_pem;     // "RSA PRIVATE KEY" (PKCS #1) PEM, unencrypted, NUL-terminated
  unsigned long serial;  // counts the pairs installed; replies built from a pair name it
};

extern ServiceKeyPair g_service_key_pair;

// Makes a new pair and, only when every step succeeded, releases the previous
// one (its private PEM wiped) and installs the new one; session keys wrapped
// under the old public key then no longer unwrap. Returns 0, or -1 when
// generation or PEM writing failed, in which case the previous pair (if any)
// stays in force.
[[nodiscard]] int GenerateRSAKeyPair();

// Releases the pair and sets every member to null (tests, process end).
void ReleaseServiceKeyPair();

// Generation off the service thread: a pair takes 100-400 ms to make, during
// which the loop must go on serving. At most one is made at a time, on a
// worker thread of its own; the service thread installs it, so that the pair
// is still used by that thread alone.
//
// StartKeyGeneration starts one unless one is already being made or waits to
// be installed (then the caller shares it); when it is ready, the worker
// calls ready(ready_arg) on its own thread (to wake the loop). Returns 0, or
// -1 when no thread could be started.
[[nodiscard]] int StartKeyGeneration(void (*ready)(void* arg), void* ready_arg);
// Service thread: installs the pair the worker finished, as
// GenerateRSAKeyPair does. Returns 1 when a generation ended (installed, or
// failed and the previous pair stays), 0 when none has ended since the last
// call.
[[nodiscard]] int InstallGeneratedKeyPair();
// True from StartKeyGeneration until InstallGeneratedKeyPair took its result.
bool KeyGenerationPending();

// Decrypts len bytes of cipher with the service's private key under OAEP
// (SHA-1, MGF1-SHA-1, empty label). On success returns 0, *plain is a new
// malloc'd block of the key's size (256 bytes) whose first *plain_len bytes are
// the plaintext; the caller releases it with FreeSessionKey. On failure returns
// -1, *plain is null and *plain_len is -1.
[[nodiscard]] int RSADecrypt(const unsigned char* cipher, unsigned int len, unsigned char** plain,
                             int* plain_len);

// Why an unwrap failed, for the trace; a constant text.
const char* SessionKeyFailureText(int reason);

// Decoding stages after the form reader: FixPercentEscapes over text (in
// place), Base64 decoding, RSADecrypt, and a plaintext of at least 32 bytes.
// Returns the plaintext block (free it with FreeSessionKey) with *plain_len, or
// null with *plain_len = -1 and *reason set to one of the kUnwrap* codes.
inline constexpr int kUnwrapOk = 0;
inline constexpr int kUnwrapNoKeyPair = 1;
inline constexpr int kUnwrapBadBase64 = 2;
inline constexpr int kUnwrapDecryptFailed = 3;
inline constexpr int kUnwrapTooShort = 4;
inline constexpr int kUnwrapUnreadable = 5;  // too long for its buffer or a bad escape
inline constexpr int kUnwrapOutOfMemory = 6;
[[nodiscard]] unsigned char* UnwrapSessionKey(char* text, int* plain_len, int* reason);

// Reads "sessionkey" from the request body (512-byte buffer) and unwraps it.
// Three outcomes, told apart by *plain_len:
//   absent or empty value:  returns null, *plain_len = 0 (no encryption asked);
//   unwrapped:              returns the block, *plain_len >= 32;
//   sent but unusable:      returns null, *plain_len = -1 (a value too long or
//                           badly escaped, bad Base64, wrong length, wrong key,
//                           plaintext under 32 bytes); the trace says why.
// The caller frees the block with FreeSessionKey.
[[nodiscard]] unsigned char* GetSessionKey(const http_message* hm, int* plain_len);

// Wipes and frees a block from RSADecrypt, UnwrapSessionKey or GetSessionKey.
void FreeSessionKey(unsigned char* key);
