#include "codec/aes256.h"

#include <stdlib.h>
#include <string.h>

namespace {

constexpr int kAesRounds = 14;

// Multiplication by x in GF(2^8) modulo x^8 + x^4 + x^3 + x + 1.
unsigned char XTime(unsigned char b) {
  return static_cast<unsigned char>((b << 1) ^ ((b & 0x80) ? 0x1B : 0));
}

// Multiplication by the generator 3 (x + 1).
unsigned char MulBy3(unsigned char b) {
  return static_cast<unsigned char>(b ^ XTime(b));
}

// 3^e; e is taken modulo 255.
unsigned char GfExp(int e) {
  unsigned char y = 1;
  for (int i = 0; i < e % 255; ++i) y = MulBy3(y);
  return y;
}

// The e with 3^e == b, for b != 0.
int GfLog(unsigned char b) {
  unsigned char y = 1;
  int e = 0;
  while (y != b) {
    y = MulBy3(y);
    ++e;
  }
  return e;
}

unsigned char GfInverse(unsigned char b) {
  return b == 0 ? 0 : GfExp(255 - GfLog(b));
}

unsigned char RotL(unsigned char b, int n) {
  return static_cast<unsigned char>((b << n) | (b >> (8 - n)));
}

unsigned char SBox(unsigned char b) {
  unsigned char s = GfInverse(b);
  return static_cast<unsigned char>(s ^ RotL(s, 1) ^ RotL(s, 2) ^ RotL(s, 3) ^ RotL(s, 4) ^ 0x63);
}

void SubBytes(unsigned char* state) {
  for (int i = 0; i < 16; ++i) state[i] = SBox(state[i]);
}

// Row r (bytes r, r+4, r+8, r+12 in column-major order) rotates left by r.
void ShiftRows(unsigned char* state) {
  unsigned char t = state[1];
  state[1] = state[5];
  state[5] = state[9];
  state[9] = state[13];
  state[13] = t;

  t = state[2];
  state[2] = state[10];
  state[10] = t;
  t = state[6];
  state[6] = state[14];
  state[14] = t;

  t = state[15];
  state[15] = state[11];
  state[11] = state[7];
  state[7] = state[3];
  state[3] = t;
}

void MixColumns(unsigned char* state) {
  for (int c = 0; c < 16; c += 4) {
    unsigned char a0 = state[c], a1 = state[c + 1], a2 = state[c + 2], a3 = state[c + 3];
    unsigned char all = a0 ^ a1 ^ a2 ^ a3;
    state[c] ^= all ^ XTime(a0 ^ a1);
    state[c + 1] ^= all ^ XTime(a1 ^ a2);
    state[c + 2] ^= all ^ XTime(a2 ^ a3);
    state[c + 3] ^= all ^ XTime(a3 ^ a0);
  }
}

void AddRoundKey(unsigned char* state, const unsigned char* round_key) {
  for (int i = 0; i < 16; ++i) state[i] ^= round_key[i];
}

// Advances the 8-word schedule by one 256-bit step of the key expansion:
// words 8..15 from words 0..7. *rcon is used once and then multiplied by x.
void ExpandStep(unsigned char* k, unsigned char* rcon) {
  k[0] ^= static_cast<unsigned char>(SBox(k[29]) ^ *rcon);
  k[1] ^= SBox(k[30]);
  k[2] ^= SBox(k[31]);
  k[3] ^= SBox(k[28]);
  *rcon = XTime(*rcon);
  for (int i = 4; i < 16; ++i) k[i] ^= k[i - 4];
  for (int i = 16; i < 20; ++i) k[i] ^= SBox(k[i - 4]);
  for (int i = 20; i < 32; ++i) k[i] ^= k[i - 4];
}

}  // namespace

void aes_init_key(aes_context* ctx, const unsigned char* key) {
  memcpy(ctx->key, key, kAesKeyBytes);
  memset(ctx->schedule, 0, kAesKeyBytes);
}

void aes_encrypt_block(aes_context* ctx, unsigned char* block) {
  unsigned char rcon = 1;
  memcpy(ctx->schedule, ctx->key, kAesKeyBytes);
  AddRoundKey(block, ctx->schedule);
  for (int round = 1; round < kAesRounds; ++round) {
    SubBytes(block);
    ShiftRows(block);
    MixColumns(block);
    if (round & 1) {
      AddRoundKey(block, ctx->schedule + 16);
    } else {
      ExpandStep(ctx->schedule, &rcon);
      AddRoundKey(block, ctx->schedule);
    }
  }
  SubBytes(block);
  ShiftRows(block);
  ExpandStep(ctx->schedule, &rcon);
  AddRoundKey(block, ctx->schedule);
}

void aes_clear(aes_context* ctx) {
  // Volatile stores so that clearing a context about to go out of scope is
  // not dropped as a dead store.
  volatile unsigned char* p = reinterpret_cast<volatile unsigned char*>(ctx);
  for (size_t i = 0; i < sizeof *ctx; ++i) p[i] = 0;
}

unsigned char* EncryptAES256(const unsigned char* in, int32_t len, const unsigned char* key,
                             int* out_len) {
  if (out_len != nullptr) *out_len = 0;
  if (len < 0 || (in == nullptr && len > 0) || key == nullptr || out_len == nullptr) {
    return nullptr;
  }
  const int64_t pad = static_cast<int64_t>(kAesBlockBytes) - len % 16;
  const int64_t total = len + pad;
  if (total > INT32_MAX) return nullptr;  // *out_len could not hold it
  *out_len = static_cast<int>(total);

  unsigned char* out = static_cast<unsigned char*>(malloc(static_cast<size_t>(total)));
  if (out == nullptr) return nullptr;
  if (len > 0) memcpy(out, in, static_cast<size_t>(len));
  memset(out + len, static_cast<int>(pad), static_cast<size_t>(pad));

  aes_context ctx;
  aes_init_key(&ctx, key);
  for (int64_t off = 0; off < total; off += kAesBlockBytes) aes_encrypt_block(&ctx, out + off);
  aes_clear(&ctx);
  return out;
}
