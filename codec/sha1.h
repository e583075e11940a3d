// SHA-1 (FIPS 180-4), used by the WebSocket handshake. A context belongs to
// one caller; no shared state, so any thread may hash.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr size_t kSha1DigestBytes = 20;
inline constexpr size_t kSha1BlockBytes = 64;

// Running hash: `state` holds H0..H4, `block` the `block_len` bytes not yet
// compressed, `total_bytes` everything fed so far.
struct sha1_ctx {
  uint32_t state[5];
  uint64_t total_bytes;
  unsigned char block[kSha1BlockBytes];
  size_t block_len;  // 0..63
};

void sha1_init(sha1_ctx* ctx);

// Feeds len bytes; may be called any number of times, len 0 included.
void sha1_update(sha1_ctx* ctx, const void* data, size_t len);

// Pads, writes the 20-byte digest and wipes the context; sha1_init it before
// reuse.
void sha1_final(sha1_ctx* ctx, unsigned char digest[20]);
