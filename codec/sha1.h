// SHA-1 (FIPS 180-4) through OpenSSL's EVP interface, used by the WebSocket
// handshake. No state of its own; any thread may hash.
#pragma once

#include <cstddef>
#include <string_view>

inline constexpr size_t kSha1DigestBytes = 20;

// Writes the SHA-1 digest of data to digest. Returns 0, or -1 (digest
// zeroed) when OpenSSL cannot hash (out of memory).
[[nodiscard]] int Sha1Digest(std::string_view data, unsigned char (&digest)[kSha1DigestBytes]);
