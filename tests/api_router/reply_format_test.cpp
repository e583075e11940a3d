// The JSON reply envelope, the heap-string formatter and the allocating
// Base64 wrappers.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "api/router.h"

namespace {

struct Conn {
  Conn() {
    nc = {};
    nc.sock = -1;
  }
  ~Conn() { mbuf_free(&nc.send_mbuf); }
  std::string Sent() const { return std::string(nc.send_mbuf.buf, nc.send_mbuf.len); }
  ns_conn nc;
};

TEST(JsonReply, BodyIsExactlyTheCountedText) {
  struct Case {
    std::string json;
  } cases[] = {{"{ \"ErrorCode\": 0 }"}, {""}, {std::string(600, 'x')}, {std::string(70000, 'j')}};
  for (const Case& c : cases) {
    Conn conn;
    SendJsonReply(&conn.nc, c.json.c_str());
    std::string expected = "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\nContent-Length: " +
                           std::to_string(c.json.size()) + "\r\n\r\n" + c.json;
    EXPECT_EQ(conn.Sent(), expected) << c.json.size();
  }
}

TEST(JsonReply, ErrorCodeReplyCarriesOnlyTheCode) {
  struct Case {
    int code;
    const char* json;
  } cases[] = {{0, "{ \"ErrorCode\": 0 }"},
               {55, "{ \"ErrorCode\": 55 }"},
               {-2147483647 - 1, "{ \"ErrorCode\": -2147483648 }"}};
  for (const Case& c : cases) {
    Conn conn;
    SendErrorCodeReply(c.code, &conn.nc);
    std::string json = c.json;
    EXPECT_EQ(conn.Sent(), "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\nContent-Length: " +
                               std::to_string(json.size()) + "\r\n\r\n" + json);
  }
}

TEST(JsonReply, TwoRepliesOnOneConnectionFrameCleanly) {
  Conn conn;
  SendErrorCodeReply(100, &conn.nc);
  SendErrorCodeReply(1, &conn.nc);
  std::string sent = conn.Sent();
  std::string first = "{ \"ErrorCode\": 100 }";
  size_t body = sent.find("\r\n\r\n") + 4;
  EXPECT_EQ(sent.substr(body, first.size()), first);
  // The second status line starts right after the counted bytes.
  EXPECT_EQ(sent.substr(body + first.size(), 17), "HTTP/1.1 200 OK\r\n");
}

TEST(AppendFormat, BuildsTheTextPieceByPiece) {
  char* text = nullptr;
  EXPECT_EQ(AppendFormat(&text, "{ \"ErrorCode\": %d,", 0), 17);
  EXPECT_EQ(AppendFormat(&text, "%s", ""), 17);
  EXPECT_EQ(AppendFormat(&text, " \"Name\": \"%s\" }", "NX51"), 34);
  EXPECT_STREQ(text, "{ \"ErrorCode\": 0, \"Name\": \"NX51\" }");
  free(text);
}

TEST(AppendFormat, PiecesLargerThanAMegabyteAreAccepted) {
  std::string big(3 * 1024 * 1024 + 7, 'B');
  char* text = nullptr;
  ASSERT_EQ(AppendFormat(&text, "%s", "x"), 1);
  ASSERT_EQ(AppendFormat(&text, "\"%s\"", big.c_str()), static_cast<int>(big.size() + 3));
  EXPECT_EQ(std::string(text), "x\"" + big + "\"");
  free(text);
}

TEST(AppendFormat, ArgumentMayPointIntoTheText) {
  char* text = nullptr;
  ASSERT_EQ(AppendFormat(&text, "%s", "abc"), 3);
  for (int i = 0; i < 12; i++) ASSERT_GT(AppendFormat(&text, "%s", text), 0);
  EXPECT_EQ(strlen(text), 3u << 12);
  EXPECT_EQ(std::string(text, 6), "abcabc");
  free(text);
}

TEST(Base64Alloc, EncodeThenDecodeGivesTheBytesBack) {
  struct Case {
    std::string bytes;
    const char* text;
  } cases[] = {
      {"", ""},
      {"a", "YQ=="},
      {"ab", "YWI="},
      {"abc", "YWJj"},
      {"\xFB\xFF", "+/8="},
      {std::string("\0\1\2", 3), "AAEC"},
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
