// HTTP message rules at the protocol layer: raw request bytes in, the exact
// bytes queued in reply and whether the connection ends out. Each row is fed
// whole and in two reads split at every byte; a handler echoes what it was
// given, so a row also shows where the layer thought each request ended.
#include <gtest/gtest.h>

#include <string>

#include "conn_recorder.h"

namespace {

using net_http_test::TestConn;

// The echo a request gets: its method, target and body.
std::string Echo(const std::string& method, const std::string& uri, const std::string& body = "") {
  const std::string text = method + " " + uri + " " + body;
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(text.size()) + "\r\n\r\n" + text;
}

// The echo a HEAD request gets: the header block alone.
std::string EchoHead(const std::string& uri) {
  const std::string full = Echo("HEAD", uri);
  return full.substr(0, full.find("\r\n\r\n") + 4);
}

void EchoHandler(ns_conn* nc, int ev, void* ev_data) {
  if (ev != NS_EV_HTTP_REQUEST) return;
  const auto* hm = static_cast<const http_message*>(ev_data);
  const std::string reply =
      Echo(std::string(hm->method.data, hm->method.len), std::string(hm->uri.data, hm->uri.len),
           std::string(hm->body.data, hm->body.len));
  ns_send(nc, reply.data(), reply.size());
}

const std::string k100 = "HTTP/1.1 100 Continue\r\n\r\n";
const std::string k400 =
    "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
const std::string k400Version =
    "HTTP/1.1 400 Bad Request\r\nSec-WebSocket-Version: 13\r\nContent-Length: 0\r\n"
    "Connection: close\r\n\r\n";
const std::string k413 =
    "HTTP/1.1 413 Content Too Large\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
const std::string k417 =
    "HTTP/1.1 417 Expectation Failed\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
const std::string k431 =
    "HTTP/1.1 431 Request Header Fields Too Large\r\nContent-Length: 0\r\nConnection: "
    "close\r\n\r\n";
const std::string k101 =
    "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";

const std::string kKey = "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";
const std::string kWsHeaders =
    "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n";

std::string Fields(int count) {
  std::string s;
  for (int i = 0; i < count; i++) s.append("H").append(std::to_string(i)).append(": v\r\n");
  return s;
}

struct Row {
  const char* why;
  std::string in;
  std::string out;
  bool closes;
};

std::vector<Row> Rows() {
  const std::string over = std::to_string(kHttpMaxRequestBytes);
  return {
      // Framing: the smuggling pairs.
      {"a name that only begins with Content-Length is another field",
       "POST /a HTTP/1.1\r\nContent-Length: 0\r\nContent-Length-X: 50\r\n\r\nGET /b "
       "HTTP/1.1\r\n\r\n",
       Echo("POST", "/a") + Echo("GET", "/b"), false},
      {"CL+CL differing: no length can be trusted",
       "POST /a HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 0\r\n\r\nhello", k400, true},
      {"CL+CL identical count as one",
       "POST /a HTTP/1.1\r\nContent-Length: 5\r\ncontent-length: 5\r\n\r\nhello",
       Echo("POST", "/a", "hello"), false},
      {"Content-Length 0x is not a number", "POST /a HTTP/1.1\r\nContent-Length: 0x\r\n\r\n", k400,
       true},
      {"Content-Length list", "POST /a HTTP/1.1\r\nContent-Length: 0, 0\r\n\r\n", k400, true},
      {"CL+TE: refused, never guessed",
       "POST /a HTTP/1.1\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", k400,
       true},
      {"TE+CL", "POST /a HTTP/1.1\r\nTransfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\nabc",
       k400, true},
      {"a coding other than chunked",
       "POST /a HTTP/1.1\r\nTransfer-Encoding: gzip, chunked\r\n\r\n0\r\n\r\n", k400, true},
      {"white space before the colon", "POST /a HTTP/1.1\r\nContent-Length : 5\r\n\r\nhello", k400,
       true},
      {"obs-fold refused", "POST /a HTTP/1.1\r\nX: a\r\n Content-Length: 5\r\n\r\nhello", k400,
       true},
      {"40 fields are kept", "POST /a HTTP/1.1\r\n" + Fields(39) + "Content-Length: 2\r\n\r\nhi",
       Echo("POST", "/a", "hi"), false},
      {"41 fields: 431, never a silent cut",
       "POST /a HTTP/1.1\r\n" + Fields(40) + "Content-Length: 2\r\n\r\nhi", k431, true},
      {"a bare CR ends no line", "GET /a HTTP/1.1\r\nX: a\rContent-Length: 5\r\n\r\n", k400, true},
      // Values.
      {"an empty value is a value", "POST /a HTTP/1.1\r\nX-E:\r\nContent-Length: 2\r\n\r\nhi",
       Echo("POST", "/a", "hi"), false},
      {"HTAB inside a value", "GET /a HTTP/1.1\r\nX: a\tb\r\n\r\n", Echo("GET", "/a"), false},
      // Bodies without a length.
      {"POST without a length has no body", "POST /a HTTP/1.1\r\n\r\nGET /b HTTP/1.1\r\n\r\n",
       Echo("POST", "/a") + Echo("GET", "/b"), false},
      // Send-and-close.
      {"the good reply goes out before the refusal", "GET /a HTTP/1.1\r\n\r\nGET\r\n\r\n",
       Echo("GET", "/a") + k400, true},
      {"nothing after a refusal is read", "GET\r\n\r\nGET /b HTTP/1.1\r\n\r\n", k400, true},
      // HEAD.
      {"HEAD: the headers of the reply, no body, twice on one connection",
       "HEAD /a HTTP/1.1\r\n\r\nHEAD /b HTTP/1.1\r\n\r\n", EchoHead("/a") + EchoHead("/b"), false},
      {"head in lower case is another method", "head /a HTTP/1.1\r\n\r\n", Echo("head", "/a"),
       false},
      // Expect.
      {"100 Continue while the body has not arrived",
       "POST /a HTTP/1.1\r\nExpect: 100-Continue\r\nContent-Length: 5\r\n\r\n", k100, false},
      {"no 100 Continue without a body",
       "POST /a HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 0\r\n\r\n", Echo("POST", "/a"),
       false},
      {"an HTTP/1.0 expectation is ignored",
       "POST /a HTTP/1.0\r\nExpect: 100-continue\r\nContent-Length: 5\r\n\r\n", "", false},
      {"100 Continue for a chunked body",
       "POST /a HTTP/1.1\r\nExpect: 100-continue\r\nTransfer-Encoding: chunked\r\n\r\n", k100,
       false},
      // The size bound.
      {"a body over the bound with Expect: 417 before it is sent",
       "POST /a HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: " + over + "\r\n\r\n", k417,
       true},
      {"a body over the bound: 413 before it is read",
       "POST /a HTTP/1.1\r\nContent-Length: " + over + "\r\n\r\n", k413, true},
      // Chunks.
      {"chunk extensions are skipped",
       "POST /a HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5;x=y\r\nhello\r\n0;z\r\n\r\n",
       Echo("POST", "/a", "hello"), false},
      {"trailer fields are skipped",
       "POST /a HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nhi\r\n0\r\nX: y\r\n\r\n"
       "GET /b HTTP/1.1\r\n\r\n",
       Echo("POST", "/a", "hi") + Echo("GET", "/b"), false},
      {"a chunk not followed by CR LF",
       "POST /a HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nhiXX", k400, true},
      {"a chunk-size line without end: refused at its bound, not parsed again with every read",
       "POST /a HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5;" +
           std::string(kHttpMaxChunkLineBytes, 'x'),
       k400, true},
      // WebSocket handshakes.
      {"a valid handshake upgrades",
       "GET /ws HTTP/1.1\r\nUpgrade: WebSocket\r\nConnection: keep-alive, Upgrade\r\n"
       "Sec-WebSocket-Version: 13\r\n" +
           kKey + "\r\n",
       k101, false},
      {"a bare key is no handshake", "GET /ws HTTP/1.1\r\n" + kKey + "\r\n", k400, true},
      {"a POST cannot upgrade", "POST /ws HTTP/1.1\r\n" + kWsHeaders + kKey + "\r\n", k400, true},
      {"Connection must list upgrade",
       "GET /ws HTTP/1.1\r\nUpgrade: websocket\r\nConnection: keep-alive\r\n"
       "Sec-WebSocket-Version: 13\r\n" +
           kKey + "\r\n",
       k400, true},
      {"Upgrade without a key",
       "GET /ws HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n", k400, true},
      {"a key that is not 16 bytes",
       "GET /ws HTTP/1.1\r\n" + kWsHeaders + "Sec-WebSocket-Key: dGhlIHNhbXBsZQ==\r\n\r\n", k400,
       true},
      {"an upgrade with a body",
       "GET /ws HTTP/1.1\r\n" + kWsHeaders + kKey + "Content-Length: 1\r\n\r\nx", k400, true},
      {"another version names 13",
       "GET /ws HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
       "Sec-WebSocket-Version: 8\r\n" +
           kKey + "\r\n",
       k400Version, true},
      {"an upgrade to another protocol is an ordinary request",
       "GET /a HTTP/1.1\r\nUpgrade: h2c\r\nConnection: Upgrade\r\n\r\n", Echo("GET", "/a"), false},
  };
}

struct Outcome {
  std::string out;
  bool closes;
};

Outcome Feed(const std::string& in, size_t split) {
  TestConn t;
  t.nc.handler = EchoHandler;
  t.Feed(in.substr(0, split));
  if (split < in.size()) t.Feed(in.substr(split));
  return {t.Sent(), t.Closing()};
}

TEST(HttpConformance, WholeAndSplitAtEveryByte) {
  for (const Row& row : Rows()) {
    const Outcome whole = Feed(row.in, row.in.size());
    EXPECT_EQ(whole.out, row.out) << row.why;
    EXPECT_EQ(whole.closes, row.closes) << row.why;
    for (size_t k = 1; k < row.in.size(); k++) {
      const Outcome split = Feed(row.in, k);
      ASSERT_EQ(split.out, row.out) << row.why << " (split at " << k << ")";
      ASSERT_EQ(split.closes, row.closes) << row.why << " (split at " << k << ")";
    }
  }
}

TEST(HttpConformance, ContinueComesOnceThenTheReply) {
  TestConn t;
  t.nc.handler = EchoHandler;
  t.Feed("POST /a HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 5\r\n\r\n");
  t.Feed("he");
  t.Feed("llo");
  EXPECT_EQ(t.Sent(), k100 + Echo("POST", "/a", "hello"));
}

// A chunked body has no length up front: it is refused once it has brought
// more than the bound in, and the buffer never holds more than that and a read.
TEST(HttpConformance, ChunkedBodyOverTheBound) {
  TestConn t;
  t.nc.handler = EchoHandler;
  t.Feed("POST /a HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n");
  const std::string chunk = "ffff\r\n" + std::string(0xffff, 'x') + "\r\n";
  size_t fed = 0;
  while (!t.Closing() && fed < 2 * kHttpMaxRequestBytes) {
    t.Feed(chunk);
    fed += chunk.size();
    ASSERT_LE(t.nc.recv_mbuf.len, kHttpMaxRequestBytes + chunk.size());
  }
  EXPECT_EQ(t.Sent(), k413);
  EXPECT_TRUE(t.Closing());
  EXPECT_EQ(t.nc.recv_mbuf.len, 0u);
}

// Time-outs run on the poll event, whose data is the pass time.
TEST(HttpConformance, IdleAndHeaderTimeouts) {
  constexpr int64_t kStart = 1000;
  {
    TestConn t;
    t.nc.last_io_time = kStart;
    t.Poll(kStart + kHttpIdleSeconds);
    EXPECT_FALSE(t.Closing()) << "idle for exactly the time-out";
    t.Poll(kStart + kHttpIdleSeconds + 1);
    EXPECT_TRUE(t.nc.flags & NCF_CLOSE_IMMEDIATELY) << "idle longer: closed";
    EXPECT_EQ(t.Sent(), "") << "an idle connection is closed without a word";
  }
  {
    // Bytes that trickle in do not extend a header block's time.
    TestConn t;
    t.nc.last_io_time = kStart;
    t.Feed("GET / HT");
    t.nc.last_io_time = kStart + kHttpHeaderSeconds;
    t.Feed("TP/1.1\r\n");
    t.Poll(kStart + kHttpHeaderSeconds);
    EXPECT_FALSE(t.Closing());
    t.Poll(kStart + kHttpHeaderSeconds + 1);
    EXPECT_EQ(t.Sent(),
              "HTTP/1.1 408 Request Timeout\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    EXPECT_TRUE(t.nc.flags & NCF_SEND_AND_CLOSE);
  }
  {
    // Once the header block is in, only the idle time-out applies.
    TestConn t;
    t.nc.last_io_time = kStart;
    t.Feed("POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\n");
    t.Poll(kStart + kHttpHeaderSeconds + 1);
    EXPECT_FALSE(t.Closing());
  }
  {
    TestConn t;
    t.nc.flags |= NCF_LISTENING;
    t.Poll(kStart + 100 * kHttpIdleSeconds);
    EXPECT_FALSE(t.nc.flags & NCF_CLOSE_IMMEDIATELY) << "a listener is never idle";
  }
}

}  // namespace
