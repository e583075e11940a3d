#include "codec/sha1.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

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
  unsigned char digest[kSha1DigestBytes];
  EXPECT_EQ(Sha1Digest(data, digest), 0);
  return Hex(digest, sizeof digest);
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

// The accept value a WebSocket client expects for the RFC 6455 sample key:
// SHA-1 of key + GUID, Base64-encoded by the handshake's encoder.
TEST(Sha1, WebSocketAcceptForSampleKey) {
  const std::string text =
      std::string("dGhlIHNhbXBsZSBub25jZQ==") + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
  unsigned char digest[kSha1DigestBytes];
  ASSERT_EQ(Sha1Digest(text, digest), 0);
  char accept[29];
  static_assert(sizeof accept == 4 * ((kSha1DigestBytes + 2) / 3) + 1);
  ws_base64_encode(digest, sizeof digest, accept);
  EXPECT_STREQ(accept, "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

}  // namespace
