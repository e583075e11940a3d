// Routing and access control over requests parsed by the real HTTP parser,
// with replies collected in a real connection's send buffer.
#include "api/router.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "api/request_access.h"
#include "base/trace_log.h"
#include "net/http_protocol.h"

namespace {

// A connection that is never polled: what a handler writes stays in
// send_mbuf.
struct Conn {
  Conn() {
    nc = {};
    nc.sock = -1;
  }
  ~Conn() {
    mbuf_free(&nc.send_mbuf);
    mbuf_free(&nc.recv_mbuf);
  }
  std::string Sent() const { return std::string(nc.send_mbuf.buf, nc.send_mbuf.len); }
  ns_conn nc;
};

// Parses text into hm; the text must outlive hm.
void Parse(const std::string& text, http_message* hm) {
  ASSERT_GT(http_parse_message(text.data(), static_cast<int>(text.size()), hm), 0) << text;
}

// Routes one request and returns every byte written in reply.
std::string Route(const std::string& request) {
  http_message hm;
  Parse(request, &hm);
  Conn conn;
  ApiRequestHandler(&conn.nc, NS_EV_HTTP_REQUEST, &hm);
  return conn.Sent();
}

constexpr char kPreflightReply[] =
    "HTTP/1.1 204  No Content\r\n"
    "Date: Tue, 12 Sept 2023 17:00:00 GMT \r\n"
    "Server: IIS \r\n"
    "Access-Control-Allow-Private-Network: true \r\n"
    "Access-Control-Allow-Origin: * \r\n"
    "Access-Control-Allow-Methods: POST \r\n"
    "Access-Control-Max-Age: 86400 \r\n"
    "Vary: Accept-Encoding, Origin \r\n"
    "Keep-Alive: timeout=2, max=10000 \r\n"
    "Connection: Keep-Alive \r\n"
    "\r\n";

constexpr char kForbiddenReply[] = "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n";
constexpr char kNotFound[] = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";

TEST(HostValueAccepted, ExactNamesWithOptionalPort) {
  struct Case {
    const char* value;
    bool accepted;
    const char* why;
  } cases[] = {
      {"localhost", true, "plain name"},
      {"LOCALHOST:8000", true, "any case, with port"},
      {"127.0.0.1:1234", true, "loopback with port"},
      {"127.0.0.1", true, "loopback"},
      {"LocalHost.LocalDomain:65535", true, "third name, highest port"},
      {"localhost:0", true, "port zero"},
      {"localhost:00080", true, "five digits"},
      {"127.0.0.2", false, "other loopback address"},
      {"localhost.example.net", false, "name that only begins with an accepted one"},
      {"127.0.0.1.nip.io", false, "address used as a prefix"},
      {"localhostx", false, "longer name"},
      {"localhost:", false, "colon without port"},
      {"localhost:65536", false, "port out of range"},
      {"localhost:800000", false, "six digits"},
      {"localhost:80a", false, "port with a letter"},
      {"localhost:-1", false, "signed port"},
      {"localhost:80:80", false, "two ports"},
      {"localhost :80", false, "space before the port"},
      {"localhos", false, "shorter name"},
      {"", false, "empty value"},
      {"evil.com", false, "other name"},
      {"[::1]", true, "IPv6 loopback: a literal no DNS answer can rebind"},
      {"[::1]:8000", true, "IPv6 loopback with port"},
      {"[::1]:", false, "IPv6 loopback, colon without port"},
      {"[::2]", false, "other IPv6 address"},
      {"[::1]x", false, "IPv6 loopback as a prefix"},
  };
  for (const Case& c : cases) EXPECT_EQ(HostValueAccepted(c.value), c.accepted) << c.why;
}

TEST(CheckHostHeader, RefusesWith403AndEmptyBody) {
  struct Case {
    const char* headers;
    int result;
  } cases[] = {
      {"Host: localhost\r\n", 0},
      {"host: LOCALHOST:8000\r\n", 0},
      {"Host: localhost.example.net\r\n", -1},
      {"Host: [::1]:8000\r\n", 0},
      {"User-Agent: x\r\n", -1},  // no Host at all
      {"", 0},                    // an absolute target's authority stands for Host
  };
  for (const Case& c : cases) {
    std::string request =
        std::string("POST /VRNMatchScore HTTP/1.1\r\n") + c.headers + "Content-Length: 0\r\n\r\n";
    if (c.headers[0] == '\0') request = "POST http://localhost:8000/VRNMatchScore HTTP/1.1\r\n\r\n";
    http_message hm;
    Parse(request, &hm);
    Conn conn;
    EXPECT_EQ(CheckHostHeader(&conn.nc, &hm), c.result) << c.headers;
    EXPECT_EQ(conn.Sent(), c.result == 0 ? "" : kForbiddenReply) << c.headers;
  }
}

TEST(ApiRequestHandler, RoutesByExactPathAndMethod) {
  const std::string bad_host = "Host: evil.example\r\n\r\n";
  struct Case {
    std::string request;
    std::string reply;
    const char* why;
  } cases[] = {
      {"OPTIONS /VRNFPCapture HTTP/1.1\r\n\r\n", kPreflightReply, "pre-flight, no Host check"},
      {"OPTIONS /ZAROZuzoder HTTP/1.1\r\n" + bad_host, kPreflightReply, "synonym pre-flight"},
      {"OPTIONS /VRNFPCapture?x=1 HTTP/1.1\r\n\r\n", kPreflightReply, "query is not the path"},
      {"GET /VRNFPCapture HTTP/1.1\r\n" + bad_host, kForbiddenReply, "capture checks Host"},
      {"POST /ZAROZuzoder HTTP/1.1\r\nContent-Length: 0\r\n" + bad_host, kForbiddenReply,
       "synonym capture"},
      {"options /VRNFPCapture HTTP/1.1\r\n" + bad_host, kForbiddenReply,
       "method compared exactly: capture, not pre-flight"},
      {"OPTIONS /VRNMatchScore HTTP/1.1\r\n" + bad_host, kForbiddenReply,
       "match has no pre-flight branch"},
      {"GET /vrnfpcapture HTTP/1.1\r\n" + bad_host, kNotFound, "path compared exactly"},
      {"GET /VRNFPCapture/ HTTP/1.1\r\n" + bad_host, kNotFound, "trailing slash"},
      {"OPTIONS /VRNFPCaptur HTTP/1.1\r\n\r\n", kNotFound, "prefix of a route"},
      {"OPTIONS /VRNFPCaptureX HTTP/1.1\r\n\r\n", kNotFound, "route as a prefix"},
      {"GET / HTTP/1.1\r\n" + bad_host, kNotFound, "root"},
      {"GET /favicon.ico HTTP/1.1\r\n\r\n", kNotFound, "unknown path"},
      {"OPTIONS * HTTP/1.1\r\n\r\n",
       "HTTP/1.1 200 OK\r\nAllow: GET, HEAD, POST, OPTIONS\r\nContent-Length: 0\r\n\r\n",
       "the server's own options"},
      {"OPTIONS http://localhost/VRNFPCapture HTTP/1.1\r\n\r\n", kPreflightReply,
       "an absolute target is routed by its path"},
      {"POST /VRNGetPublicKey HTTP/1.1\r\nContent-Length: 10\r\n" + bad_host + "generate=Y",
       kForbiddenReply, "a foreign page cannot rotate the key"},
  };
  for (const Case& c : cases) EXPECT_EQ(Route(c.request), c.reply) << c.why;
}

TEST(ApiRequestHandler, IgnoresOtherEvents) {
  std::string request = "OPTIONS /VRNFPCapture HTTP/1.1\r\n\r\n";
  http_message hm;
  Parse(request, &hm);
  Conn conn;
  for (int ev : {NS_EV_POLL, NS_EV_ACCEPT, NS_EV_RECV, NS_EV_SEND, NS_EV_CLOSE, 101, 102}) {
    ApiRequestHandler(&conn.nc, ev, &hm);
  }
  ApiRequestHandler(&conn.nc, NS_EV_HTTP_REQUEST, nullptr);
  EXPECT_EQ(conn.Sent(), "");
}

TEST(OriginDomain, HostPartOfTheOrigin) {
  struct Case {
    std::string origin;
    const char* domain;  // null: no domain
    const char* why;
  } cases[] = {
      {"https://example.com:8443", "example.com", "port cut off"},
      {"http://localhost", "localhost", "no port"},
      {"http://a.b/path", "a.b/path", "a path is not cut"},
      {"null", nullptr, "opaque origin"},
      {"file://", "", "scheme only"},
      {"://x:1", nullptr, "the parser drops colons that start a value"},
      {std::string(250, 'a') + "://host", "ho", "cut to 255 bytes inside the host"},
      {std::string(240, 'a') + "://" + std::string(100, 'h'), "hhhhhhhhhhhh", "long host cut"},
      {std::string(254, 'a') + "://x", nullptr, "separator cut in half"},
  };
  for (const Case& c : cases) {
    std::string request = "POST /VRNMatchScore HTTP/1.1\r\nOrigin: " + c.origin + "\r\n\r\n";
    http_message hm;
    Parse(request, &hm);
    char buf[kOriginBytes];
    const char* domain = OriginDomain(&hm, buf);
    if (c.domain == nullptr) {
      EXPECT_EQ(domain, nullptr) << c.why;
    } else {
      ASSERT_NE(domain, nullptr) << c.why;
      EXPECT_STREQ(domain, c.domain) << c.why;
    }
  }
  std::string no_origin = "GET / HTTP/1.1\r\n\r\n";
  http_message hm;
  Parse(no_origin, &hm);
  char buf[kOriginBytes];
  EXPECT_EQ(OriginDomain(&hm, buf), nullptr);
}

// The User-Agent and Origin entries are what the trace records of who asked;
// a header that is absent writes nothing.
TEST(TraceRequestOrigin, WritesWhatThereIs) {
  char path[] = "/tmp/kv_origin_trace_XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  struct Case {
    std::string headers;
    std::string trace;
  } cases[] = {
      {"User-Agent: Mozilla/5.0 (X11)\r\nOrigin: https://a.example:8443\r\n",
       "[ravavade:123]: USER-AGENT [Mozilla/5.0 (X11)]\n[ravavade:148]: ORIGIN DOMAIN a.example\n"},
      {"Origin: null\r\n", ""},
      {"Host: localhost\r\n", ""},
  };
  for (const Case& c : cases) {
    std::string request = "GET / HTTP/1.1\r\n" + c.headers + "\r\n";
    http_message hm;
    Parse(request, &hm);
    FILE* f = fopen(path, "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
    TraceLogConfigure(99, path);
    TraceRequestOrigin(&hm);
    TraceLogConfigure(1, path);
    TraceRequestOrigin(&hm);  // level 99 entries only
    TraceLogConfigure(0, "");
    std::string text;
    f = fopen(path, "r");
    ASSERT_NE(f, nullptr);
    for (int ch; (ch = fgetc(f)) != EOF;) text.push_back(static_cast<char>(ch));
    fclose(f);
    EXPECT_EQ(text, c.trace) << c.headers;
  }
  unlink(path);
}

}  // namespace
