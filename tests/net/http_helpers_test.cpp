// Form variables, URL decoding, address text and the hex dump layout.
#include "net/http_helpers.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "net/event_manager.h"
#include "platform/socket.h"

namespace {

struct FormCase {
  const char* form;
  const char* name;
  size_t out_size;
  int expected;
  const char* text;  // expected output text
};

TEST(HttpFormVar, Lookups) {
  const FormCase cases[] = {
      {"name=a%2Bb+c&x=1", "name", 64, 5, "a+b c"},
      {"name=a%2Bb+c&x=1", "NAME", 64, 5, "a+b c"},
      {"name=a%2Bb+c&x=1", "x", 64, 1, "1"},
      {"name=a%2Bb+c&x=1", "y", 64, -1, ""},
      {"xa=1&a=2", "a", 64, 1, "2"},
      {"xa=1", "a", 64, -1, ""},
      {"a=", "a", 64, 0, ""},
      {"a=&b=2", "a", 64, 0, ""},
      {"a", "a", 64, -1, ""},
      {"a=1&a=2", "a", 64, 1, "1"},
      {"a=%4", "a", 64, -2, ""},
      {"a=%zz", "a", 64, -2, ""},
      {"a=%41", "a", 64, 1, "A"},
      {"a=%e9", "a", 64, 1, "\xe9"},
      {"a=%00b", "a", 64, 2, ""},  // a NUL byte decodes; the text view stops there
      {"a=1234567890123456789012345", "a", 20, -2, "1234567890123456789"},
      {"a=1234567890123456789", "a", 20, 19, "1234567890123456789"},
      {"a=12345678901234567890", "a", 20, -2, "1234567890123456789"},
      {"a=x", "a", 1, -2, ""},
      {"a=1", "a", 0, -2, nullptr},
      {"", "a", 64, -1, ""},
      {"=1", "", 64, 1, "1"},
  };
  for (const auto& c : cases) {
    const ns_str form{c.form, strlen(c.form)};
    char out[64];
    memset(out, 'Z', sizeof(out));
    const int r = http_form_var(&form, c.name, c.out_size ? out : nullptr, c.out_size);
    EXPECT_EQ(r, c.expected) << c.form << " / " << c.name;
    if (c.text != nullptr) {
      EXPECT_STREQ(out, c.text) << c.form << " / " << c.name;
    }
    if (c.out_size > 0 && c.out_size < sizeof(out)) {
      EXPECT_EQ(out[c.out_size], 'Z') << "wrote past the output: " << c.form;
    }
  }
}

TEST(HttpFormVar, MissingArguments) {
  char out[8] = "junk";
  const ns_str form{"a=1", 3};
  EXPECT_EQ(http_form_var(nullptr, "a", out, sizeof(out)), -1);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(http_form_var(&form, nullptr, out, sizeof(out)), -1);
  const ns_str absent{};
  EXPECT_EQ(http_form_var(&absent, "a", out, sizeof(out)), -1);
  EXPECT_EQ(http_form_var(&form, "a", nullptr, 8), -2);
}

// The value ends the slice: nothing after it (not even a terminator) is read.
TEST(HttpFormVar, ValueAtEndOfSliceReadsNoFurther) {
  const std::string backing = "a=12&b=3";
  const ns_str form{backing.data(), 4};  // "a=12"
  char out[16];
  EXPECT_EQ(http_form_var(&form, "a", out, sizeof(out)), 2);
  EXPECT_STREQ(out, "12");
  EXPECT_EQ(http_form_var(&form, "b", out, sizeof(out)), -1);
}

TEST(HttpUrlDecode, Modes) {
  char out[32];
  EXPECT_EQ(http_url_decode("a+b", 3, out, sizeof(out), false), 3);
  EXPECT_STREQ(out, "a+b") << "+ stays outside form mode";
  EXPECT_EQ(http_url_decode("a+b", 3, out, sizeof(out), true), 3);
  EXPECT_STREQ(out, "a b");
  EXPECT_EQ(http_url_decode("%4a%4A", 6, out, sizeof(out), false), 2);
  EXPECT_STREQ(out, "JJ");
  EXPECT_EQ(http_url_decode("ab%", 3, out, sizeof(out), false), -1);
  EXPECT_EQ(http_url_decode("ab%4", 4, out, sizeof(out), false), -1);
  EXPECT_EQ(http_url_decode("", 0, out, sizeof(out), false), 0);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(http_url_decode("abc", 3, out, 0, false), -1);
  EXPECT_EQ(http_url_decode("abc", 3, out, 3, false), -1);
  EXPECT_STREQ(out, "ab") << "too small: first size-1 bytes kept";
  EXPECT_EQ(http_url_decode("abc", 3, out, 4, false), 3);
}

// The escape check must look at the source length, not at a terminator:
// "%4" followed in memory by "1" is still a bad escape.
TEST(HttpUrlDecode, EscapeNeverReadsPastSource) {
  const char backing[] = "%41";
  char out[8];
  EXPECT_EQ(http_url_decode(backing, 2, out, sizeof(out), false), -1);
  EXPECT_EQ(http_url_decode(backing, 3, out, sizeof(out), false), 1);
}

std::string Dump(const std::string& bytes, size_t out_size = 4096) {
  std::string out(out_size, '\0');
  const int n = hexdump_to_text(bytes.data(), bytes.size(), out.data(), out.size());
  EXPECT_EQ(static_cast<size_t>(n), strlen(out.c_str()));
  out.resize(static_cast<size_t>(n));
  return out;
}

TEST(Hexdump, Layout) {
  EXPECT_EQ(Dump("GET / HTTP/1.1\r\n"),
            "0000  47 45 54 20 2f 20 48 54 54 50 2f 31 2e 31 0d 0a  GET / HTTP/1.1..\n\n");
  EXPECT_EQ(Dump("GET / HTTP/1.1\r\nA"),
            "0000  47 45 54 20 2f 20 48 54 54 50 2f 31 2e 31 0d 0a  GET / HTTP/1.1..\n"
            "0010  41" +
                std::string(15 * 3, ' ') + "  A\n\n");
  EXPECT_EQ(Dump(std::string("\x00\x7f\x7e\xff", 4)),
            "0000  00 7f 7e ff" + std::string(12 * 3, ' ') + "  ..~.\n\n");
  EXPECT_EQ(Dump(""), "");
}

TEST(Hexdump, SizedAsCountTimesFivePlus100AndCutSafely) {
  std::string bytes;
  for (int i = 0; i < 1000; i++) bytes.push_back(static_cast<char>(i));
  const std::string full = Dump(bytes, bytes.size() * 5 + 100);
  EXPECT_EQ(full.substr(full.size() - 2), "\n\n") << "the advised size holds the whole dump";
  const std::string cut = Dump(bytes, 50);
  EXPECT_EQ(cut.size(), 49u);
  EXPECT_EQ(cut, full.substr(0, 49));
}

TEST(SockAddrToText, FlagsOnBoundSocket) {
  const sock_t sock = PlatformSocketOpen(AF_INET, SOCK_STREAM, 0);
  ASSERT_NE(sock, kInvalidSocket);
  const int s = static_cast<int>(sock);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(PlatformSocketBind(sock, &sa), 0);
  ASSERT_EQ(PlatformSocketLocalAddress(sock, &sa), 0);
  const std::string port = std::to_string(ntohs(sa.sin_port));

  char buf[64];
  sock_addr_to_text(s, buf, sizeof(buf), NS_SOCK_ADDR_IP | NS_SOCK_ADDR_PORT);
  EXPECT_EQ(std::string(buf), "127.0.0.1:" + port);
  sock_addr_to_text(s, buf, sizeof(buf), NS_SOCK_ADDR_IP);
  EXPECT_STREQ(buf, "127.0.0.1");
  sock_addr_to_text(s, buf, sizeof(buf), NS_SOCK_ADDR_PORT);
  EXPECT_EQ(std::string(buf), port);
  sock_addr_to_text(s, buf, sizeof(buf), NS_SOCK_ADDR_IP | NS_SOCK_ADDR_PORT | NS_SOCK_ADDR_PEER);
  EXPECT_STREQ(buf, "0.0.0.0:0") << "no peer on an unconnected socket";
  sock_addr_to_text(s, buf, 5, NS_SOCK_ADDR_IP | NS_SOCK_ADDR_PORT);
  EXPECT_STREQ(buf, "127.") << "cut to the output";
  sock_addr_to_text(s, buf, 11, NS_SOCK_ADDR_IP | NS_SOCK_ADDR_PORT);
  EXPECT_STREQ(buf, "127.0.0.1") << "one byte of the room is held back before the port";
  PlatformSocketClose(sock);
}

}  // namespace
