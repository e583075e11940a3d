#include "codec/sha1.h"

#include <string.h>

namespace {

uint32_t RotL(uint32_t x, int n) {
  return (x << n) | (x >> (32 - n));
}

void Compress(uint32_t* h, const unsigned char* block) {
  uint32_t w[80];
  for (int t = 0; t < 16; ++t) {
    w[t] = (uint32_t{block[4 * t]} << 24) | (uint32_t{block[4 * t + 1]} << 16) |
           (uint32_t{block[4 * t + 2]} << 8) | block[4 * t + 3];
  }
  for (int t = 16; t < 80; ++t) w[t] = RotL(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);

  uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
  for (int t = 0; t < 80; ++t) {
    uint32_t f, k;
    if (t < 20) {
      f = (b & c) | (~b & d);
      k = 0x5A827999;
    } else if (t < 40) {
      f = b ^ c ^ d;
      k = 0x6ED9EBA1;
    } else if (t < 60) {
      f = (b & c) | (b & d) | (c & d);
      k = 0x8F1BBCDC;
    } else {
      f = b ^ c ^ d;
      k = 0xCA62C1D6;
    }
    uint32_t temp = RotL(a, 5) + f + e + k + w[t];
    e = d;
    d = c;
    c = RotL(b, 30);
    b = a;
    a = temp;
  }
  h[0] += a;
  h[1] += b;
  h[2] += c;
  h[3] += d;
  h[4] += e;
}

}  // namespace

void sha1_init(sha1_ctx* ctx) {
  ctx->state[0] = 0x67452301;
  ctx->state[1] = 0xEFCDAB89;
  ctx->state[2] = 0x98BADCFE;
  ctx->state[3] = 0x10325476;
  ctx->state[4] = 0xC3D2E1F0;
  ctx->total_bytes = 0;
  ctx->block_len = 0;
}

void sha1_update(sha1_ctx* ctx, const void* data, size_t len) {
  if (len == 0) return;  // data may then be null
  const unsigned char* p = static_cast<const unsigned char*>(data);
  ctx->total_bytes += len;
  if (ctx->block_len > 0) {
    size_t take = kSha1BlockBytes - ctx->block_len;
    if (take > len) take = len;
    memcpy(ctx->block + ctx->block_len, p, take);
    ctx->block_len += take;
    p += take;
    len -= take;
    if (ctx->block_len < kSha1BlockBytes) return;
    Compress(ctx->state, ctx->block);
    ctx->block_len = 0;
  }
  for (; len >= kSha1BlockBytes; p += kSha1BlockBytes, len -= kSha1BlockBytes) {
    Compress(ctx->state, p);
  }
  if (len > 0) {
    memcpy(ctx->block, p, len);
    ctx->block_len = len;
  }
}

void sha1_final(sha1_ctx* ctx, unsigned char digest[20]) {
  const uint64_t bit_len = ctx->total_bytes * 8;
  ctx->block[ctx->block_len++] = 0x80;
  if (ctx->block_len > kSha1BlockBytes - 8) {
    memset(ctx->block + ctx->block_len, 0, kSha1BlockBytes - ctx->block_len);
    Compress(ctx->state, ctx->block);
    ctx->block_len = 0;
  }
  memset(ctx->block + ctx->block_len, 0, kSha1BlockBytes - 8 - ctx->block_len);
  for (int i = 0; i < 8; ++i) {
    ctx->block[kSha1BlockBytes - 1 - i] = static_cast<unsigned char>(bit_len >> (8 * i));
  }
  Compress(ctx->state, ctx->block);
  for (int i = 0; i < 5; ++i) {
    digest[4 * i] = static_cast<unsigned char>(ctx->state[i] >> 24);
    digest[4 * i + 1] = static_cast<unsigned char>(ctx->state[i] >> 16);
    digest[4 * i + 2] = static_cast<unsigned char>(ctx->state[i] >> 8);
    digest[4 * i + 3] = static_cast<unsigned char>(ctx->state[i]);
  }
  memset(ctx, 0, sizeof *ctx);
}
