// Request parser: results, slices and the lengths the connection layer relies
// on, with every case also fed as each of its prefixes.
#include "net/http_parser.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <string_view>

namespace {

std::string_view View(const ns_str& s) {
  return s.data ? std::string_view(s.data, s.len) : std::string_view();
}

int Parse(std::string_view text, http_message* hm) {
  return http_parse_message(text.data(), static_cast<int>(text.size()), hm);
}

struct BlockCase {
  const char* why;
  std::string input;
  int expected;
};

TEST(HttpHeaderBlock, LengthsAndMalformedBytes) {
  const BlockCase cases[] = {
      {"CRLF block", "GET / HTTP/1.1\r\nHost: a\r\n\r\n", 27},
      {"bare LF block", "GET / HTTP/1.1\nHost: a\n\nBODY", 24},
      {"LF then CRLF", "GET / HTTP/1.1\nHost: a\n\r\nBODY", 25},
      {"request line only, no LF yet", "GET /VRNFPCapture HTTP/1.1 xx", 0},
      {"one line end is not a block", "GET / HTTP/1.1\r\n", 0},
      {"TAB in a header value is legal", "GET / HTTP/1.1\r\nHost:\ta\r\n\r\n", 27},
      {"bare CR", "GET / HTTP/1.1\rHost: a\r\n\r\n", -1},
      {"DEL in the request line", "GET /\x7f HTTP/1.1\r\n\r\n", -1},
      {"NUL in the header block", std::string("GET / HTTP/1.1\r\nA: \0\r\n\r\n", 24), -1},
      {"0xE9 is accepted", "GET / HTTP/1.1\r\nX: caf\xe9\r\n\r\n", 27},
      {"bytes after the block are not looked at", std::string("GET / HTTP/1.1\n\n\t\0", 18), 16},
      {"empty input", "", 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(http_header_block_length(c.input.data(), static_cast<int>(c.input.size())),
              c.expected)
        << c.why;
  }
  EXPECT_EQ(http_header_block_length("x", -5), 0) << "negative length reads nothing";
}

// Every prefix shorter than the block is incomplete (or malformed once the
// bad byte is in), and every longer one gives the same result.
TEST(HttpHeaderBlock, EveryPrefixAgrees) {
  const std::string inputs[] = {
      "POST /VRNMatchScore HTTP/1.1\r\nHost: localhost\r\nContent-Length: 3\r\n\r\nabc",
      "GET / HTTP/1.0\n\n",
      "GET / HTTP/1.1\r\nX: a\tb\r\n\r\n",
  };
  for (const auto& in : inputs) {
    const int full = http_header_block_length(in.data(), static_cast<int>(in.size()));
    bool seen_malformed = false;
    for (size_t k = 0; k <= in.size(); k++) {
      const int r = http_header_block_length(in.data(), static_cast<int>(k));
      if (full > 0) {
        EXPECT_EQ(r, static_cast<int>(k) >= full ? full : 0) << in << " prefix " << k;
      } else {
        if (r == -1) seen_malformed = true;
        EXPECT_EQ(r, seen_malformed ? -1 : 0) << in << " prefix " << k;
      }
    }
  }
}

TEST(HttpParse, RequestLineQueryAndHeaders) {
  const std::string in = "GET /VRNFPCapture?x=1 HTTP/1.1\r\nHost: localhost\r\n\r\n";
  http_message hm;
  const int n = Parse(in, &hm);
  ASSERT_EQ(n, static_cast<int>(in.size()));
  EXPECT_EQ(View(hm.method), "GET");
  EXPECT_EQ(View(hm.uri), "/VRNFPCapture");
  EXPECT_EQ(View(hm.query), "x=1");
  EXPECT_EQ(View(hm.protocol), "HTTP/1.1");
  EXPECT_EQ(View(hm.header_names[0]), "Host");
  EXPECT_EQ(View(hm.header_values[0]), "localhost");
  EXPECT_EQ(hm.header_names[1].data, nullptr);
  EXPECT_EQ(hm.body.len, 0u);
  EXPECT_EQ(hm.body.data, in.data() + n);
  EXPECT_EQ(hm.whole_message.data, in.data());
  EXPECT_EQ(hm.whole_message.len, static_cast<uint64_t>(n));
  EXPECT_EQ(hm.status_code, 0);
  EXPECT_EQ(hm.status_text.data, nullptr);
}

TEST(HttpParse, QueryEdges) {
  struct Case {
    const char* line;
    const char* uri;
    const char* query;
    bool has_query;
  } cases[] = {
      {"GET /a HTTP/1.1\r\n\r\n", "/a", "", false},
      {"GET /a? HTTP/1.1\r\n\r\n", "/a", "", true},
      {"GET /a?b?c HTTP/1.1\r\n\r\n", "/a", "b?c", true},
      {"GET /?x HTTP/1.1\r\n\r\n", "/", "x", true},
      {"GET http://localhost:8000?x HTTP/1.1\r\n\r\n", "/", "x", true},
  };
  for (const auto& c : cases) {
    http_message hm;
    ASSERT_GT(Parse(c.line, &hm), 0) << c.line;
    EXPECT_EQ(View(hm.uri), c.uri) << c.line;
    EXPECT_EQ(View(hm.query), c.query) << c.line;
    EXPECT_EQ(hm.query.data != nullptr, c.has_query) << c.line;
  }
}

struct LengthCase {
  const char* why;
  std::string input;  // a header block without body bytes
  bool ok;            // false: malformed (-1)
  uint64_t body_len;
};

TEST(HttpParse, BodyLengthRules) {
  const uint64_t kChunked = HTTP_LEN_TO_CLOSE;
  const LengthCase cases[] = {
      {"POST without length has no body", "POST /x HTTP/1.1\r\n\r\n", true, 0},
      {"lower-case post too", "post /x HTTP/1.1\r\n\r\n", true, 0},
      {"PUT without length", "PUT /x HTTP/1.1\r\n\r\n", true, 0},
      {"DELETE without length has no body", "DELETE /x HTTP/1.1\r\n\r\n", true, 0},
      {"lower-case content-length", "GET / HTTP/1.1\r\ncontent-length: 12\r\n\r\n", true, 12},
      {"chunked body length is not known yet",
       "POST / HTTP/1.1\r\nTransfer-Encoding: Chunked\r\n\r\n", true, kChunked},
      {"identical lengths are one",
       "POST / HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 005\r\n\r\n", true, 5},
      {"differing lengths are malformed",
       "POST / HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 7\r\n\r\n", false, 0},
      {"a name that only begins with it is another field",
       "POST / HTTP/1.1\r\nContent-Lengthy: 4\r\n\r\n", true, 0},
      {"trailing bytes after the digits", "POST / HTTP/1.1\r\nContent-Length: 9x\r\n\r\n", false,
       0},
      {"a list, even of equal values", "POST / HTTP/1.1\r\nContent-Length: 0, 0\r\n\r\n", false, 0},
      {"explicit plus", "POST / HTTP/1.1\r\nContent-Length: +3\r\n\r\n", false, 0},
      {"minus zero", "POST / HTTP/1.1\r\nContent-Length: -0\r\n\r\n", false, 0},
      {"empty length", "POST / HTTP/1.1\r\nContent-Length:\r\n\r\n", false, 0},
      {"largest signed 64-bit", "POST / HTTP/1.1\r\nContent-Length: 9223372036854775807\r\n\r\n",
       true, 9223372036854775807ull},
      {"negative length is malformed", "POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n", false, 0},
      {"not a number is malformed", "POST / HTTP/1.1\r\nContent-Length: abc\r\n\r\n", false, 0},
      {"beyond 64-bit signed is malformed",
       "POST / HTTP/1.1\r\nContent-Length: 9223372036854775808\r\n\r\n", false, 0},
      {"far beyond is malformed",
       "POST / HTTP/1.1\r\nContent-Length: 99999999999999999999999999\r\n\r\n", false, 0},
      {"a bad length after a good one is malformed",
       "POST / HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: x\r\n\r\n", false, 0},
      {"an empty value does not hide the length",
       "POST / HTTP/1.1\r\nX-A:\r\nContent-Length: 3\r\n\r\n", true, 3},
  };
  for (const auto& c : cases) {
    http_message hm;
    const int n = Parse(c.input, &hm);
    if (!c.ok) {
      EXPECT_EQ(n, -1) << c.why;
      continue;
    }
    ASSERT_EQ(n, static_cast<int>(c.input.size())) << c.why;
    EXPECT_EQ(hm.body.len, c.body_len) << c.why;
    const uint64_t whole =
        c.body_len == kChunked ? kChunked : static_cast<uint64_t>(n) + c.body_len;
    EXPECT_EQ(hm.whole_message.len, whole) << c.why;
  }
}

// Which rule refused a block: the protocol layer answers 431 for one, 400 for
// the others.
TEST(HttpParse, RefusalReasons) {
  std::string many = "GET / HTTP/1.1\r\n";
  for (int i = 0; i <= HTTP_MAX_HEADERS; i++)
    many.append("H").append(std::to_string(i)).append(": v\r\n");
  const struct {
    const char* why;
    std::string input;
    HttpRefusal reason;
  } cases[] = {
      {"NUL", std::string("GET / HTTP/1.1\r\nA: \0\r\n\r\n", 24), HttpRefusal::kMalformed},
      {"HTAB in the request line", "GET /\t HTTP/1.1\r\n\r\n", HttpRefusal::kMalformed},
      {"field line without colon", "GET / HTTP/1.1\r\nHost\r\n\r\n", HttpRefusal::kMalformed},
      {"empty name", "GET / HTTP/1.1\r\n: v\r\n\r\n", HttpRefusal::kMalformed},
      {"space before the colon", "GET / HTTP/1.1\r\nHost : a\r\n\r\n", HttpRefusal::kMalformed},
      {"obsolete line folding", "GET / HTTP/1.1\r\nX: a\r\n\tb\r\n\r\n", HttpRefusal::kMalformed},
      {"both framings",
       "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\nContent-Length: 1\r\n\r\n",
       HttpRefusal::kBadFraming},
      {"a coding other than chunked", "POST / HTTP/1.1\r\nTransfer-Encoding: gzip, chunked\r\n\r\n",
       HttpRefusal::kBadFraming},
      {"chunked twice",
       "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n\r\n",
       HttpRefusal::kBadFraming},
      {"41 fields", many + "\r\n", HttpRefusal::kTooManyHeaders},
  };
  for (const auto& c : cases) {
    http_message hm;
    HttpRefusal why = HttpRefusal::kNone;
    EXPECT_EQ(http_parse_request(c.input.data(), static_cast<int>(c.input.size()), &hm, &why), -1)
        << c.why;
    EXPECT_EQ(why, c.reason) << c.why;
  }
}

TEST(HttpParse, MalformedRequestLines) {
  struct Case {
    const char* line;
    HttpRefusal why;
  } cases[] = {
      {"GET\r\n\r\n", HttpRefusal::kMalformed},  // one word
      {"   \r\n\r\n", HttpRefusal::kMalformed},  // only white space
      {"\r\n\r\n", HttpRefusal::kMalformed},     // empty block
      {"GET /\r\n\r\n", HttpRefusal::kMalformed},
      {"GET / http/1.1\r\n\r\n", HttpRefusal::kMalformed},
      {"GET / HTTP1.1\r\n\r\n", HttpRefusal::kMalformed},
      {"GET / HTTP/1.1 x\r\n\r\n", HttpRefusal::kMalformed},
      {"GET  / HTTP/1.1\r\n\r\n", HttpRefusal::kMalformed},
      {" GET / HTTP/1.1\r\n\r\n", HttpRefusal::kMalformed},
      {"G(T / HTTP/1.1\r\n\r\n", HttpRefusal::kMalformed},
      {"GET a HTTP/1.1\r\n\r\n", HttpRefusal::kMalformed},
      {"GET * HTTP/1.1\r\n\r\n", HttpRefusal::kMalformed},
      {"GET http:// HTTP/1.1\r\n\r\n", HttpRefusal::kMalformed},
      {"GET http://u@localhost/ HTTP/1.1\r\n\r\n", HttpRefusal::kMalformed},
      {"GET ftp://localhost/ HTTP/1.1\r\n\r\n", HttpRefusal::kMalformed},
      {"GET / HTTP/1.1\r\nHost: a\r\nhost: a\r\n\r\n", HttpRefusal::kMalformed},
      {"GET / HTTP/2.0\r\n\r\n", HttpRefusal::kBadVersion},
      {"GET / HTTP/1.2\r\n\r\n", HttpRefusal::kBadVersion},
      {"GET / HTTP/0.9\r\n\r\n", HttpRefusal::kBadVersion},
  };
  for (const Case& c : cases) {
    http_message hm;
    HttpRefusal why = HttpRefusal::kNone;
    EXPECT_EQ(http_parse_request(c.line, static_cast<int>(strlen(c.line)), &hm, &why), -1)
        << c.line;
    EXPECT_EQ(why, c.why) << c.line;
  }
}

TEST(HttpParse, TargetForms) {
  struct Case {
    const char* line;
    const char* uri;
    const char* authority;
  } cases[] = {
      {"OPTIONS * HTTP/1.1\r\n\r\n", "*", ""},
      {"GET HTTP://localhost:8000/health HTTP/1.1\r\n\r\n", "/health", "localhost:8000"},
      {"GET https://[::1] HTTP/1.0\r\n\r\n", "/", "[::1]"},
  };
  for (const Case& c : cases) {
    http_message hm;
    ASSERT_GT(Parse(c.line, &hm), 0) << c.line;
    EXPECT_EQ(View(hm.uri), c.uri) << c.line;
    EXPECT_EQ(View(hm.authority), c.authority) << c.line;
  }
}

TEST(HttpParse, LeadingEmptyLinesAreSkipped) {
  const std::string in = "\r\nGET / HTTP/1.1\r\n\r\n";
  http_message hm;
  ASSERT_EQ(Parse(in, &hm), static_cast<int>(in.size()));
  EXPECT_EQ(View(hm.method), "GET");
  EXPECT_EQ(hm.whole_message.data, in.data());
}

TEST(HttpParse, HeaderValueShapes) {
  const std::string in =
      "GET / HTTP/1.1\r\n"
      "Host:   localhost   \r\n"
      "Origin:: http://a\r\n"
      "X-Bytes: caf\xe9\r\n"
      "\r\n";
  http_message hm;
  ASSERT_GT(Parse(in, &hm), 0);
  EXPECT_EQ(View(hm.header_values[0]), "localhost");
  EXPECT_EQ(View(hm.header_values[1]), "http://a");
  EXPECT_EQ(View(hm.header_values[2]), "caf\xe9");
}

TEST(HttpParse, EmptyValueIsAValue) {
  http_message hm;
  ASSERT_GT(Parse("GET / HTTP/1.1\r\nHost: a\r\nX-A:\r\nX-B:\t b \t\r\n\r\n", &hm), 0);
  const ns_str* empty = http_find_header(&hm, "X-A");
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty->len, 0u);
  EXPECT_NE(empty->data, nullptr) << "present, not absent";
  ASSERT_NE(http_find_header(&hm, "X-B"), nullptr);
  EXPECT_EQ(View(*http_find_header(&hm, "X-B")), "b") << "white space around it is not the value";
}

TEST(HttpParse, FortyHeadersAreKeptTheFortyFirstRefuses) {
  std::string in = "POST / HTTP/1.1\r\n";
  for (int i = 0; i < HTTP_MAX_HEADERS - 1; i++)
    in.append("H").append(std::to_string(i)).append(": v\r\n");
  in += "Content-Length: 4\r\n";
  const std::string forty = in + "\r\n";
  const std::string forty_one = in + "Extra: yes\r\n\r\n";
  http_message hm;
  ASSERT_GT(Parse(forty, &hm), 0);
  EXPECT_EQ(View(hm.header_names[HTTP_MAX_HEADERS - 1]), "Content-Length");
  EXPECT_EQ(hm.body.len, 4u);
  EXPECT_EQ(Parse(forty_one, &hm), -1) << "never a silent cut";
}

TEST(HttpParse, ListHasToken) {
  const struct {
    const char* list;
    bool has_upgrade;
  } cases[] = {
      {"Upgrade", true},
      {"keep-alive, Upgrade", true},
      {"keep-alive,upgrade ", true},
      {"\tUPGRADE\t,x", true},
      {"upgrades", false},
      {"keep-alive", false},
      {"", false},
  };
  for (const auto& c : cases) {
    const ns_str v{c.list, strlen(c.list)};
    EXPECT_EQ(http_list_has_token(&v, "upgrade"), c.has_upgrade) << c.list;
  }
  EXPECT_FALSE(http_list_has_token(nullptr, "upgrade"));
}

TEST(HttpParse, FindHeader) {
  http_message hm;
  ASSERT_GT(Parse("GET / HTTP/1.1\r\nX-A: one\r\nx-a: two\r\n\r\n", &hm), 0);
  const ns_str* v = http_find_header(&hm, "X-A");
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(View(*v), "one") << "first of repeated headers wins";
  EXPECT_EQ(http_find_header(&hm, "X-"), nullptr);
  EXPECT_EQ(http_find_header(&hm, "X-Ax"), nullptr);
  EXPECT_EQ(http_find_header(&hm, ""), nullptr);
}

TEST(HttpParse, BareLineFeedsMatchCrLf) {
  http_message a;
  http_message b;
  const std::string crlf = "POST /p?q HTTP/1.1\r\nHost: h\r\nContent-Length: 2\r\n\r\nhi";
  const std::string lf = "POST /p?q HTTP/1.1\nHost: h\nContent-Length: 2\n\nhi";
  ASSERT_GT(Parse(crlf, &a), 0);
  ASSERT_GT(Parse(lf, &b), 0);
  EXPECT_EQ(View(a.uri), View(b.uri));
  EXPECT_EQ(View(a.query), View(b.query));
  EXPECT_EQ(View(a.header_values[0]), View(b.header_values[0]));
  EXPECT_EQ(a.body.len, b.body.len);
  EXPECT_EQ(View(b.body).substr(0, 2), "hi");
}

TEST(HttpParse, FailureLeavesRecordUntouched) {
  http_message hm;
  memset(&hm, 0xAB, sizeof(hm));
  EXPECT_EQ(Parse("GET / HTTP/1.1\r\n", &hm), 0);
  EXPECT_EQ(Parse("GET /\t HTTP/1.1\r\n\r\n", &hm), -1);
  const unsigned char* raw = reinterpret_cast<const unsigned char*>(&hm);
  for (size_t i = 0; i < sizeof(hm); i++) ASSERT_EQ(raw[i], 0xAB) << i;
}

struct CompareCase {
  const char* slice;
  const char* text;
  int exact_sign;
  int nocase_sign;
};

int Sign(int v) {
  return (v > 0) - (v < 0);
}

TEST(NsStr, Compare) {
  const CompareCase cases[] = {
      {"/VRNMatchScore", "/VRNMatchScore", 0, 0},
      {"/VRNMatchScore", "/VRNMatchScoreX", -1, -1},
      {"/VRNMatchScoreX", "/VRNMatchScore", 1, 1},
      {"/VRNMatchScore", "/vrnmatchscore", -1, 0},
      {"", "", 0, 0},
      {"", "a", -1, -1},
      {"b", "A", 1, 1},
  };
  for (const auto& c : cases) {
    const ns_str s{c.slice, strlen(c.slice)};
    EXPECT_EQ(Sign(ns_str_compare(&s, c.text)), c.exact_sign) << c.slice << " vs " << c.text;
    EXPECT_EQ(Sign(ns_str_compare_nocase(&s, c.text)), c.nocase_sign)
        << c.slice << " vs " << c.text;
  }
  const ns_str absent{};
  EXPECT_EQ(ns_str_compare(&absent, ""), 0);
  EXPECT_NE(ns_str_compare(&absent, "x"), 0);
}

TEST(NsStr, AsciiCompareNoCase) {
  EXPECT_EQ(ascii_ncompare_nocase("abc", "xyz", 0), 0);
  EXPECT_EQ(ascii_ncompare_nocase("ABC", "abd", 2), 0);
  EXPECT_LT(ascii_ncompare_nocase("ABC", "abd", 3), 0);
  EXPECT_EQ(ascii_ncompare_nocase("ab", "AB", 10), 0) << "stops at the NUL of both";
  EXPECT_NE(ascii_ncompare_nocase("\xc9", "\xe9", 1), 0) << "only ASCII letters fold";
}

}  // namespace
