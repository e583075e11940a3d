#include "codec/base64.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdlib>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr unsigned char kCanary = 0xA5;
constexpr size_t kSlackBytes = 8;  // canary bytes past the size the codec asks for

std::string Encode(std::string_view bytes) {
  const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
  std::string out(b64_encoded_size(bytes.size()), '\x7f');
  size_t written = b64_encode(out.data(), in, bytes.size());
  EXPECT_EQ(written, out.size()) << "return value counts the NUL";
  EXPECT_EQ(out.back(), '\0');
  out.pop_back();
  return out;
}

struct Decoded {
  std::string bytes;
  size_t returned;
  size_t bound;
};

// Decodes into a buffer of exactly b64_decoded_size bytes followed by canary
// bytes, and checks that nothing past the data and its NUL was touched.
Decoded Decode(const std::string& text) {
  Decoded d{};
  d.bound = b64_decoded_size(text.c_str());
  std::vector<unsigned char> buf(d.bound + kSlackBytes, kCanary);
  d.returned = b64_decode(buf.data(), text.c_str());
  EXPECT_LT(d.returned, d.bound) << text;
  if (d.returned >= d.bound) return d;
  EXPECT_EQ(buf[d.returned], 0) << "NUL after the data: " << text;
  for (size_t i = d.returned + 1; i < buf.size(); ++i) {
    EXPECT_EQ(buf[i], kCanary) << "byte " << i << " written for " << text;
  }
  d.bytes.assign(reinterpret_cast<const char*>(buf.data()), d.returned);
  return d;
}

TEST(Base64Sizes, FollowTheirFormulas) {
  struct Row {
    size_t n;
    size_t encoded;
  };
  for (const Row& r :
       {Row{0, 1}, Row{1, 5}, Row{2, 5}, Row{3, 5}, Row{4, 9}, Row{20, 29}, Row{120000, 160001}}) {
    EXPECT_EQ(b64_encoded_size(r.n), r.encoded) << r.n;
  }
  struct TextRow {
    const char* text;
    size_t bound;
  };
  for (const TextRow& r : {TextRow{"", 1}, TextRow{"Y", 4}, TextRow{"YWJj", 4}, TextRow{"YWJjZ", 7},
                           TextRow{"YQ==", 4}, TextRow{"YWJj\r\nYWJj", 4}}) {
    EXPECT_EQ(b64_decoded_size(r.text), r.bound) << r.text;
  }
}

// RFC 4648 section 10, plus the two top alphabet characters.
TEST(Base64Encode, KnownVectorsBothEncodersAndBack) {
  struct Row {
    std::string_view bytes;
    std::string_view text;
  };
  const Row rows[] = {{"", ""},
                      {"f", "Zg=="},
                      {"fo", "Zm8="},
                      {"foo", "Zm9v"},
                      {"foob", "Zm9vYg=="},
                      {"fooba", "Zm9vYmE="},
                      {"foobar", "Zm9vYmFy"},
                      {"abc", "YWJj"},
                      {"\xFB\xFF", "+/8="},
                      {std::string_view("\0\0\0", 3), "AAAA"}};
  for (const Row& r : rows) {
    EXPECT_EQ(Encode(r.bytes), r.text);

    std::string ws(b64_encoded_size(r.bytes.size()), '\x7f');
    ws_base64_encode(reinterpret_cast<const unsigned char*>(r.bytes.data()), r.bytes.size(),
                     ws.data());
    EXPECT_EQ(ws.back(), '\0');
    EXPECT_STREQ(ws.c_str(), std::string(r.text).c_str());

    Decoded d = Decode(std::string(r.text));
    EXPECT_EQ(d.bytes, r.bytes) << r.text;
  }
}

TEST(Base64Encode, MatchesOpenSslAndRoundTripsOnRandomInput) {
  std::mt19937 rng(0xC0DEC);
  std::uniform_int_distribution<int> byte(0, 255);
  for (size_t n = 0; n <= 600; ++n) {
    std::string bytes(n, '\0');
    for (char& c : bytes) c = static_cast<char>(byte(rng));

    std::string expected(4 * ((n + 2) / 3) + 1, '\0');
    int len =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(expected.data()),
                        reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(n));
    expected.resize(static_cast<size_t>(len));

    ASSERT_EQ(Encode(bytes), expected) << "length " << n;
    Decoded d = Decode(expected);
    ASSERT_EQ(d.bytes, bytes) << "length " << n;
  }
}

TEST(Base64Decode, StopsQuietlyAtFirstNonAlphabetByte) {
  struct Row {
    std::string text;
    std::string bytes;
    const char* why;
  };
  const Row rows[] = {
      {"", "", "empty text"},
      {"YWJj", "abc", "one full group"},
      {"YWI=", "ab", "one pad character"},
      {"YQ==", "a", "two pad characters"},
      {"YWJjZA", "abcd", "unpadded final group"},
      {"YWJjZGU", "abcde", "unpadded three-character group"},
      {"Y", "", "lone character gives nothing"},
      {"YWJjZ", "abc", "lone trailing character dropped"},
      {"YWJj\nZGVm", "abc", "line feed ends the input"},
      {"YWJj\r\nZGVm", "abc", "CRLF ends the input"},
      {"YWJj ZGVm", "abc", "space ends the input"},
      {"YQ==YWJj", "a", "text after padding ignored"},
      {"YW-j", "a", "URL-safe minus ends the input"},
      {"YW_j", "a", "URL-safe underscore ends the input"},
      {"-_-_", "", "URL-safe text decodes to nothing"},
      {"\xC0YWJj", "", "high byte ends the input"},
      {"+/8=", "\xFB\xFF", "top two alphabet characters"},
      {"YR==", "a", "stray low bits of the last character ignored"},
  };
  for (const Row& r : rows) {
    Decoded d = Decode(r.text);
    EXPECT_EQ(d.bytes, r.bytes) << r.why;
    EXPECT_EQ(d.returned, r.bytes.size()) << r.why;
  }
}

// Every one of the 256 byte values either continues the text or ends it,
// exactly as its membership in the alphabet says.
TEST(Base64Decode, EveryByteValueClassified) {
  for (int b = 1; b < 256; ++b) {
    std::string text = "QUJD";
    text += static_cast<char>(b);
    text += "QUJD";
    const bool in_alphabet = kAlphabet.find(static_cast<char>(b)) != std::string_view::npos;
    Decoded d = Decode(text);
    if (in_alphabet) {
      EXPECT_EQ(d.returned, 6u) << "byte " << b << " should be decoded";  // 9 characters
    } else {
      EXPECT_EQ(d.bytes, "ABC") << "byte " << b << " should end the input";
    }
  }
}

// A decode buffer of exactly the advertised size holds every prefix length,
// for texts made only of alphabet characters.
TEST(Base64Decode, AdvertisedSizeHoldsEveryPrefixLength) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<size_t> pick(0, kAlphabet.size() - 1);
  for (size_t c = 0; c <= 70; ++c) {
    std::string text;
    for (size_t i = 0; i < c; ++i) text += kAlphabet[pick(rng)];
    Decoded d = Decode(text);
    EXPECT_EQ(d.returned, (c / 4) * 3 + (c % 4 == 0 ? 0 : c % 4 - 1)) << c;
  }
}

TEST(Base64Alloc, EncodeThenDecodeGivesTheBytesBack) {
  struct Case {
    std::string bytes;
    const char* text;
  } cases[] = {
      {"", ""},        {"a", "YQ=="},        {"ab", "YWI="},
      {"abc", "YWJj"}, {"\xFB\xFF", "+/8="}, {std::string("\0\1\2", 3), "AAEC"},
  };
  for (const Case& c : cases) {
    char* text = Base64EncodeAlloc(reinterpret_cast<const unsigned char*>(c.bytes.data()),
                                   static_cast<int>(c.bytes.size()));
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, c.text);
    int count = -1;
    unsigned char* back = Base64DecodeAlloc(text, &count);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(count, static_cast<int>(c.bytes.size()));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(back), count), c.bytes);
    EXPECT_EQ(back[count], 0);
    free(back);
    free(text);
  }
}

TEST(Base64Alloc, EdgesOfTheInput) {
  EXPECT_EQ(Base64EncodeAlloc(nullptr, -1), nullptr);
  EXPECT_EQ(Base64EncodeAlloc(nullptr, 5), nullptr);
  char* empty = Base64EncodeAlloc(nullptr, 0);
  ASSERT_NE(empty, nullptr);
  EXPECT_STREQ(empty, "");
  free(empty);

  int count = 7;
  EXPECT_EQ(Base64DecodeAlloc(nullptr, &count), nullptr);
  EXPECT_EQ(count, 0);
  // Decoding stops at the first character outside the alphabet.
  unsigned char* part = Base64DecodeAlloc("YWJj\nZGVm", &count);
  ASSERT_NE(part, nullptr);
  EXPECT_EQ(count, 3);
  free(part);
  unsigned char* url_safe = Base64DecodeAlloc("YW-J", &count);
  ASSERT_NE(url_safe, nullptr);
  EXPECT_EQ(count, 1);
  free(url_safe);
}

}  // namespace
