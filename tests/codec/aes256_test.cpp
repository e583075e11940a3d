#include "codec/aes256.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

struct FreeDeleter {
  void operator()(unsigned char* p) const { free(p); }
};
using HeapBytes = std::unique_ptr<unsigned char, FreeDeleter>;

struct CipherCtxDeleter {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxDeleter>;

Bytes FromHex(const char* hex) {
  Bytes out;
  for (size_t i = 0; hex[i] && hex[i + 1]; i += 2) {
    out.push_back(static_cast<unsigned char>(std::stoi(std::string(hex + i, 2), nullptr, 16)));
  }
  return out;
}

// OpenSSL's aes-256-ecb; padding selects PKCS#7 or none.
Bytes OpenSslEcb(const Bytes& in, const unsigned char* key, bool encrypt, bool padding) {
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  EXPECT_TRUE(ctx);
  EXPECT_EQ(EVP_CipherInit_ex(ctx.get(), EVP_aes_256_ecb(), nullptr, key, nullptr, encrypt), 1);
  EVP_CIPHER_CTX_set_padding(ctx.get(), padding ? 1 : 0);
  Bytes out(in.size() + 32);
  int n1 = 0, n2 = 0;
  EXPECT_EQ(EVP_CipherUpdate(ctx.get(), out.data(), &n1, in.data(), static_cast<int>(in.size())),
            1);
  EXPECT_EQ(EVP_CipherFinal_ex(ctx.get(), out.data() + n1, &n2), 1);
  out.resize(static_cast<size_t>(n1 + n2));
  return out;
}

Bytes Encrypt(const Bytes& in, const unsigned char* key) {
  int out_len = -1;
  HeapBytes out(EncryptAES256(in.data(), static_cast<int32_t>(in.size()), key, &out_len));
  EXPECT_TRUE(out);
  if (!out) return {};
  return Bytes(out.get(), out.get() + out_len);
}

Bytes Key(unsigned char first) {
  Bytes key(kAesKeyBytes);
  for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<unsigned char>(first + 7 * i);
  return key;
}

// ECB encrypts each block alone: the first block of the output is the
// published AES-256 example block.
TEST(EncryptAes256, FirstBlockReproducesFips197AppendixC3) {
  Bytes key = FromHex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
  Bytes out = Encrypt(FromHex("00112233445566778899aabbccddeeff"), key.data());
  ASSERT_EQ(out.size(), 32u);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 16), FromHex("8ea2b7ca516745bfeafc49904b496089"));
}

TEST(EncryptAes256, MatchesOpenSslEcbPkcs7OnRandomInput) {
  std::mt19937 rng(20240518);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<int> length(0, 1000);
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 48; ++n) lengths.push_back(n);  // every padding amount, three times
  for (int i = 0; i < 200; ++i) lengths.push_back(static_cast<size_t>(length(rng)));
  lengths.push_back(1000);

  for (size_t n : lengths) {
    Bytes key(kAesKeyBytes), in(n);
    for (auto& b : key) b = static_cast<unsigned char>(byte(rng));
    for (auto& b : in) b = static_cast<unsigned char>(byte(rng));
    Bytes ours = Encrypt(in, key.data());
    ASSERT_EQ(ours.size(), (n / 16 + 1) * 16) << n;
    ASSERT_EQ(ours, OpenSslEcb(in, key.data(), true, true)) << "length " << n;
  }
}

TEST(EncryptAes256, PaddingEdges) {
  const Bytes key = Key(0x42);
  struct Row {
    size_t in_len;
    size_t out_len;
    unsigned char pad;
  };
  for (const Row& r : {Row{0, 16, 0x10}, Row{5, 16, 0x0B}, Row{15, 16, 0x01}, Row{16, 32, 0x10},
                       Row{17, 32, 0x0F}, Row{400, 416, 0x10}}) {
    Bytes in(r.in_len);
    for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<unsigned char>(i);
    Bytes ours = Encrypt(in, key.data());
    ASSERT_EQ(ours.size(), r.out_len) << r.in_len;

    // Decrypting without padding removal shows the padding bytes themselves.
    Bytes plain = OpenSslEcb(ours, key.data(), false, false);
    Bytes expected = in;
    expected.insert(expected.end(), r.out_len - r.in_len, r.pad);
    EXPECT_EQ(plain, expected) << r.in_len;
  }

  // A block-aligned input gains a block that is the encryption of 16 x 0x10,
  // the same block an empty input encrypts to.
  Bytes empty = Encrypt({}, key.data());
  Bytes sixteen = Encrypt(Bytes(16, 0x33), key.data());
  EXPECT_TRUE(std::equal(empty.begin(), empty.end(), sixteen.begin() + 16));
  EXPECT_EQ(empty, OpenSslEcb(Bytes(16, 0x10), key.data(), true, false));
}

TEST(EncryptAes256, EqualBlocksGiveEqualCiphertext) {
  const Bytes key = Key(9);
  Bytes in(32);
  for (size_t i = 0; i < 16; ++i) in[i] = in[i + 16] = static_cast<unsigned char>(0xF0 ^ i);
  Bytes ours = Encrypt(in, key.data());
  ASSERT_EQ(ours.size(), 48u);
  EXPECT_TRUE(std::equal(ours.begin(), ours.begin() + 16, ours.begin() + 16));
  EXPECT_FALSE(std::equal(ours.begin(), ours.begin() + 16, ours.begin() + 32));
}

TEST(EncryptAes256, UsesOnlyFirst32KeyBytes) {
  Bytes long_key = Key(1);
  long_key.resize(48, 0xEE);
  Bytes other = long_key;
  other[40] = 0x00;
  Bytes in(100, 0x5A);
  EXPECT_EQ(Encrypt(in, long_key.data()), Encrypt(in, other.data()));
}

TEST(EncryptAes256, CallerErrorsReturnNullAndZeroLength) {
  const Bytes key = Key(3);
  unsigned char in[16] = {};
  struct Row {
    const unsigned char* in;
    int32_t len;
    const unsigned char* key;
    const char* why;
  };
  const Row rows[] = {
      {in, -1, key.data(), "negative length"},
      {in, INT32_MIN, key.data(), "most negative length"},
      {in, INT32_MAX, key.data(), "padded length overflows int32"},
      {in, INT32_MAX - 15, key.data(), "first length whose padding overflows"},
      {nullptr, 5, key.data(), "null input with a length"},
      {in, 5, nullptr, "null key"},
  };
  for (const Row& r : rows) {
    int out_len = 12345;
    HeapBytes out(EncryptAES256(r.in, r.len, r.key, &out_len));
    EXPECT_FALSE(out) << r.why;
    EXPECT_EQ(out_len, 0) << r.why;
  }
  EXPECT_EQ(EncryptAES256(in, 5, key.data(), nullptr), nullptr);

  // Null input with length 0 is an empty payload, not an error.
  int out_len = 0;
  HeapBytes out(EncryptAES256(nullptr, 0, key.data(), &out_len));
  EXPECT_TRUE(out);
  EXPECT_EQ(out_len, 16);
}

}  // namespace
