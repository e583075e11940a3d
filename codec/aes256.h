// AES-256 payload encryption of templates: ECB mode with PKCS #7 padding,
// through OpenSSL's EVP interface (AES-NI where the processor has it, constant
// time). No state of its own; any thread may encrypt.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr size_t kAesKeyBytes = 32;    // AES-256 key
inline constexpr size_t kAesBlockBytes = 16;  // one cipher block

// Encrypts len bytes of in under the first 32 bytes of key in ECB mode with
// PKCS#7 padding (1 to 16 bytes of value p, so a multiple of 16 gains a whole
// block). Returns a malloc'd buffer of *out_len = len + p bytes that the caller
// frees with free(), or null when it cannot be allocated or OpenSSL fails
// (*out_len is still set). A negative len, a len whose padded size does not
// fit in int32, or a null in (with len > 0), key or out_len is a caller error:
// null is returned and *out_len (when out_len is not null) is set to 0.
[[nodiscard]] unsigned char* EncryptAES256(const unsigned char* in, int32_t len,
                                           const unsigned char* key, int* out_len);
