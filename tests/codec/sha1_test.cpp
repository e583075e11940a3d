#include "codec/sha1.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "codec/base64.h"

namespace {

std::string Hex(const unsigned char* d, size_t n) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += kDigits[d[i] >> 4];
    s += kDigits[d[i] & 15];
  }
  return s;
}

std::string Sha1Hex(std::string_view data) {
  sha1_ctx ctx;
  sha1_init(&ctx);
  sha1_update(&ctx, data.data(), data.size());
  unsigned char digest[kSha1DigestBytes];
  sha1_final(&ctx, digest);
  return Hex(digest, sizeof digest);
}

std::string OpenSslSha1Hex(std::string_view data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EXPECT_EQ(EVP_Digest(data.data(), data.size(), digest, &len, EVP_sha1(), nullptr), 1);
  return Hex(digest, len);
}

TEST(Sha1, PublishedVectors) {
  struct Row {
    std::string data;
    const char* digest;
  };
  const Row rows[] = {
      {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
  };
  for (const Row& r : rows) EXPECT_EQ(Sha1Hex(r.data), r.digest) << r.data.size() << " bytes";
}

// Lengths around the 55/56 and 64 byte padding boundaries, fed whole and in
// random-size pieces (zero-length pieces included).
TEST(Sha1, MatchesOpenSslFedInPieces) {
  std::mt19937 rng(1805);
  std::uniform_int_distribution<int> byte(0, 255);
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 200; ++n) lengths.push_back(n);
  for (size_t n : {1000u, 4095u, 4096u, 65537u}) lengths.push_back(n);

  for (size_t n : lengths) {
    std::string data(n, '\0');
    for (char& c : data) c = static_cast<char>(byte(rng));
    const std::string expected = OpenSslSha1Hex(data);
    ASSERT_EQ(Sha1Hex(data), expected) << n;

    sha1_ctx ctx;
    sha1_init(&ctx);
    std::uniform_int_distribution<size_t> piece(0, 150);
    for (size_t off = 0; off < n;) {
      size_t take = std::min(piece(rng), n - off);
      sha1_update(&ctx, data.data() + off, take);
      off += take;
    }
    sha1_update(&ctx, nullptr, 0);
    unsigned char digest[kSha1DigestBytes];
    sha1_final(&ctx, digest);
    ASSERT_EQ(Hex(digest, sizeof digest), expected) << n << " bytes in pieces";
  }
}

// The accept value a WebSocket client expects for the RFC 6455 sample key:
// SHA-1 of key + GUID, Base64-encoded by the handshake's encoder.
TEST(Sha1, WebSocketAcceptForSampleKey) {
  const std::string text =
      std::string("dGhlIHNhbXBsZSBub25jZQ==") + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
  sha1_ctx ctx;
  sha1_init(&ctx);
  sha1_update(&ctx, text.data(), text.size());
  unsigned char digest[kSha1DigestBytes];
  sha1_final(&ctx, digest);
  char accept[29];
  static_assert(sizeof accept == 4 * ((kSha1DigestBytes + 2) / 3) + 1);
  ws_base64_encode(digest, sizeof digest, accept);
  EXPECT_STREQ(accept, "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

}  // namespace
