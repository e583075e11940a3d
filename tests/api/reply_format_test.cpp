// The JSON reply envelope and the JSON builder every endpoint writes with.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <functional>
#include <span>
#include <string>

#include "api/json_reply.h"
#include "api/reply_writer.h"
#include "codec/base64.h"

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
    SendErrorCodeReply(&conn.nc, c.code);
    std::string json = c.json;
    EXPECT_EQ(conn.Sent(), "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\nContent-Length: " +
                               std::to_string(json.size()) + "\r\n\r\n" + json);
  }
}

TEST(JsonReply, TwoRepliesOnOneConnectionFrameCleanly) {
  Conn conn;
  SendErrorCodeReply(&conn.nc, 100);
  SendErrorCodeReply(&conn.nc, 1);
  std::string sent = conn.Sent();
  std::string first = "{ \"ErrorCode\": 100 }";
  size_t body = sent.find("\r\n\r\n") + 4;
  EXPECT_EQ(sent.substr(body, first.size()), first);
  // The second status line starts right after the counted bytes.
  EXPECT_EQ(sent.substr(body + first.size(), 17), "HTTP/1.1 200 OK\r\n");
}

// The builder reproduces the bytes each reply has always had, separators
// included.
TEST(JsonReply, MembersJoinAsEveryReplyReads) {
  const unsigned char bytes[] = {0xFB, 0xFF};
  struct Case {
    std::function<void(JsonReply*)> build;
    const char* json;
    const char* why;
  } cases[] = {
      {[](JsonReply* r) { JsonBegin(r, 55, JsonCodeComma::kSpaced); }, "{ \"ErrorCode\": 55 }",
       "error code alone"},
      {[](JsonReply* r) {
         JsonBegin(r, 0, JsonCodeComma::kSpaced);
         JsonNumber(r, "MatchingScore", 37);
       },
       "{ \"ErrorCode\": 0 , \"MatchingScore\": 37 }", "match: space before the first comma"},
      {[](JsonReply* r) {
         JsonBegin(r, 100, JsonCodeComma::kSpaced);
         JsonNull(r, "MatchingScore");
       },
       "{ \"ErrorCode\": 100 , \"MatchingScore\": null }", "null member"},
      {[](JsonReply* r) {
         JsonBegin(r, 0, JsonCodeComma::kTight);
         JsonString(r, "PublicKey", "-----BEGIN\nAB\n");
       },
       "{ \"ErrorCode\": 0, \"PublicKey\": \"-----BEGIN\\nAB\\n\" }",
       "public key: PEM line breaks as \\n"},
      {[&bytes](JsonReply* r) {
         JsonBegin(r, 0, JsonCodeComma::kSpaced);
         JsonString(r, "Manufacturer", "Kestrav");
         JsonNumber(r, "NFIQ", -1);
         JsonBase64(r, "B", bytes);
         JsonBase64(r, "E", {});
       },
       "{ \"ErrorCode\": 0 , \"Manufacturer\": \"Kestrav\", \"NFIQ\": -1, \"B\": \"+/8=\", \"E\": "
       "\"\" }",
       "later members joined by a bare comma; Base64 and empty Base64"},
  };
  for (const Case& c : cases) {
    JsonReply reply;
    c.build(&reply);
    JsonEnd(&reply);
    EXPECT_FALSE(reply.failed) << c.why;
    EXPECT_EQ(JsonText(&reply), c.json) << c.why;
  }
}

// Arrays and objects inside a reply: elements and members each with one
// leading space, an empty one closed at once.
TEST(JsonReply, ArraysAndObjectsNest) {
  JsonReply reply;
  JsonBegin(&reply, 0, JsonCodeComma::kTight);
  JsonOpenArray(&reply, "Empty");
  JsonCloseArray(&reply);
  JsonOpenArray(&reply, "List");
  JsonOpenObject(&reply, nullptr);
  JsonString(&reply, "A", "x");
  JsonBool(&reply, "B", true);
  JsonCloseObject(&reply);
  JsonOpenObject(&reply, nullptr);
  JsonCloseObject(&reply);
  JsonNumber(&reply, nullptr, 7);
  JsonCloseArray(&reply);
  JsonOpenObject(&reply, "O");
  JsonBool(&reply, "F", false);
  JsonCloseObject(&reply);
  JsonNull(&reply, "After");
  JsonEnd(&reply);
  EXPECT_FALSE(reply.failed);
  EXPECT_EQ(JsonText(&reply),
            "{ \"ErrorCode\": 0, \"Empty\": [], \"List\": [ { \"A\": \"x\", \"B\": true }, {}, 7 ],"
            " \"O\": { \"F\": false }, \"After\": null }");
}

TEST(JsonReply, StringsAreEscaped) {
  struct Case {
    std::string in;
    std::string out;
    const char* why;
  } cases[] = {
      {"NX51", "NX51", "plain"},
      {"a\"b\\c", "a\\\"b\\\\c", "quote and backslash"},
      {"x\ny\x01\x7f", "x\\ny\\u0001\\u007f", "line feed short, other controls as \\u"},
      {std::string("a\0b", 3), "a\\u0000b", "a NUL inside the value"},
      {std::string(300, 'm'), std::string(300, 'm'), "long text is kept whole"},
      {"\xc3\xa9", "\xc3\xa9", "bytes above 0x7F pass unchanged"},
  };
  for (const Case& c : cases) {
    JsonReply reply;
    JsonString(&reply, "M", c.in);
    EXPECT_EQ(JsonText(&reply), " \"M\": \"" + c.out + "\"") << c.why;
  }
}

TEST(JsonReply, MembersLargerThanAMegabyteAreAccepted) {
  std::string big(3 * 1024 * 1024 + 7, 'B');
  JsonReply reply;
  JsonBegin(&reply, 0, JsonCodeComma::kTight);
  JsonString(&reply, "Big", big);
  JsonEnd(&reply);
  EXPECT_EQ(JsonText(&reply), "{ \"ErrorCode\": 0, \"Big\": \"" + big + "\" }");
}

// Growing the text may move it; a value taken from the reply itself must
// still be read whole (the leak and use-after-free checker watches).
TEST(JsonReply, ValueMayPointIntoTheReply) {
  JsonReply reply;
  JsonBegin(&reply, 0, JsonCodeComma::kTight);
  for (int i = 0; i < 10; i++) {
    const std::string before(JsonText(&reply));
    const auto* own = reinterpret_cast<const unsigned char*>(reply.text.buf);
    JsonBase64(&reply, "B", std::span<const unsigned char>(own, reply.text.len));
    std::string b64(b64_encoded_size(before.size()), '\0');
    b64.resize(b64_encode(b64.data(), reinterpret_cast<const unsigned char*>(before.data()),
                          before.size()) -
               1);
    ASSERT_EQ(JsonText(&reply), before + ", \"B\": \"" + b64 + "\"") << i;
  }
  const std::string before(JsonText(&reply));
  JsonReply expected;
  JsonString(&expected, "S", before);
  JsonString(&reply, "S", JsonText(&reply));
  EXPECT_FALSE(reply.failed);
  EXPECT_EQ(JsonText(&reply), before + "," + std::string(JsonText(&expected)));
}

// Once an append has failed, nothing more is added: an endpoint checks the
// flag once, at the end, and never sends a text with a hole in it.
TEST(JsonReply, FailureStaysSet) {
  JsonReply reply;
  JsonBegin(&reply, 0, JsonCodeComma::kSpaced);
  const std::string before(JsonText(&reply));
  reply.failed = true;
  const unsigned char bytes[] = {1, 2, 3};
  JsonString(&reply, "A", "x");
  JsonNumber(&reply, "B", 1);
  JsonNull(&reply, "C");
  JsonBase64(&reply, "D", bytes);
  JsonBool(&reply, "E", true);
  JsonOpenArray(&reply, "F");
  JsonOpenObject(&reply, nullptr);
  JsonCloseObject(&reply);
  JsonCloseArray(&reply);
  JsonEnd(&reply);
  EXPECT_TRUE(reply.failed);
  EXPECT_EQ(JsonText(&reply), before);
}

}  // namespace
