// AES-256 block encryption (FIPS-197, 14 rounds) and the ECB + PKCS#7 payload
// encryption the API applies to templates. Table-free: the S-box and the key
// schedule are recomputed as needed. A context belongs to one caller and one
// thread; EncryptAES256 keeps its own on the stack and wipes it before return.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr size_t kAesKeyBytes = 32;    // AES-256 key
inline constexpr size_t kAesBlockBytes = 16;  // one cipher block

// Key state of one encryption run. `key` never changes after aes_init_key;
// `schedule` is scratch that each block rebuilds from `key`.
struct aes_context {
  unsigned char schedule[kAesKeyBytes];  // round keys in use during one block
  unsigned char key[kAesKeyBytes];       // the 256-bit key as given
};

// Copies the first 32 bytes of key into ctx.
void aes_init_key(aes_context* ctx, const unsigned char* key);

// Encrypts the 16 bytes at block in place.
void aes_encrypt_block(aes_context* ctx, unsigned char* block);

// Sets every byte of ctx to 0 in a way the optimiser keeps.
void aes_clear(aes_context* ctx);

// Encrypts len bytes of in under the first 32 bytes of key in ECB mode with
// PKCS#7 padding (1 to 16 bytes of value p, so a multiple of 16 gains a whole
// block). Returns a malloc'd buffer of *out_len = len + p bytes that the caller
// frees with free(), or null when it cannot be allocated (*out_len is still
// set). A negative len, a len whose padded size does not fit in int32, or a
// null in (with len > 0), key or out_len is a caller error: null is returned
// and *out_len (when out_len is not null) is set to 0.
[[nodiscard]] unsigned char* EncryptAES256(const unsigned char* in, int32_t len,
                                           const unsigned char* key, int* out_len);
