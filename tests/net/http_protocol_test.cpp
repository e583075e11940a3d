// The HTTP protocol handler over a connection's receive buffer: delivery of
// whole requests, pipelining, the header-size limit, bodies that run to the
// close, and chunked bodies, each also fed in two reads split at every byte.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "conn_recorder.h"

namespace {

using net_http_test::TestConn;
using Bodies = std::vector<std::string>;

constexpr int kReq = NS_EV_HTTP_REQUEST;
constexpr int kChunk = NS_EV_HTTP_CHUNK;

struct StreamCase {
  const char* why;
  std::string input;
  Bodies bodies;     // bodies of the NS_EV_HTTP_REQUEST events, in order
  std::string left;  // what stays in recv_mbuf
  bool closes;
};

const StreamCase kStreamCases[] = {
    {"body of Content-Length 10",
     "POST /x HTTP/1.1\r\nContent-Length: 10\r\n\r\n0123456789",
     {"0123456789"},
     "",
     false},
    {"GET has no body", "GET /x HTTP/1.1\r\nHost: a\r\n\r\n", {""}, "", false},
    {"pipelined GETs all answered",
     "GET /a HTTP/1.1\r\n\r\nGET /b HTTP/1.1\r\n\r\nGET /c HTTP/1.1\r\n\r\n",
     {"", "", ""},
     "",
     false},
    {"pipelined POSTs keep their bodies apart",
     "POST /a HTTP/1.1\r\nContent-Length: 3\r\n\r\nabcPOST /b HTTP/1.1\r\nContent-Length: "
     "2\r\n\r\nde",
     {"abc", "de"},
     "",
     false},
    {"incomplete second request waits",
     "GET /a HTTP/1.1\r\n\r\nGET /b HT",
     {""},
     "GET /b HT",
     false},
    {"POST without length has no body; what follows is the next request",
     "POST /x HTTP/1.1\r\n\r\nabc",
     {""},
     "abc",
     false},
    {"chunked body",
     "POST /x HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
     {"hello"},
     "",
     false},
    {"several chunks",
     "POST /x HTTP/1.1\r\nTransfer-Encoding: "
     "Chunked\r\n\r\n3\r\nabc\r\na\r\n0123456789\r\n0\r\n\r\n",
     {"abc0123456789"},
     "",
     false},
    {"two chunked requests on one connection",
     "POST /x HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n"
     "POST /y HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nhi\r\n0\r\n\r\n",
     {"hello", "hi"},
     "",
     false},
    {"request after a chunked one is kept",
     "POST /x HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nA\r\n0\r\n\r\nGET /n "
     "HTTP/1.1\r\n\r\n",
     {"A", ""},
     "",
     false},
    {"Content-Length with chunked is refused",
     "POST /x HTTP/1.1\r\nContent-Length: 3\r\nTransfer-Encoding: "
     "chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
     {},
     "",
     true},
    {"chunk extension is skipped",
     "POST /x HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5;a=b\r\nhello\r\n0\r\n\r\n",
     {"hello"},
     "",
     false},
    {"trailer is skipped",
     "POST /x HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\nX: y\r\n\r\n",
     {""},
     "",
     false},
    {"huge chunk size waits",
     "POST /x HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nffffffffffffffff\r\nab",
     {},
     "",
     false},
    {"chunk size beyond 64 bits closes",
     "POST /x HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n10000000000000000\r\nab",
     {},
     "",
     true},
    {"malformed header block closes", "GET /\t HTTP/1.1\r\n\r\n", {}, "", true},
    {"negative Content-Length closes",
     "POST / HTTP/1.1\r\nContent-Length: -5\r\n\r\nabc",
     {},
     "",
     true},
    {"bad request after a good one: answered, then closed",
     "GET /a HTTP/1.1\r\n\r\nGET\r\n\r\n",
     {""},
     "",
     true},
};

void CheckOutcome(const StreamCase& c, TestConn& t, const std::string& how) {
  EXPECT_EQ(t.rec.Bodies(kReq), c.bodies) << c.why << how;
  EXPECT_EQ(t.Closing(), c.closes) << c.why << how;
  // Chunked cases that never complete leave decoded bytes behind; only the
  // named leftovers are checked.
  if (!c.closes && (!c.left.empty() || !c.bodies.empty())) {
    EXPECT_EQ(t.Received(), c.left) << c.why << how;
  }
}

TEST(HttpProtocol, StreamsInOneRead) {
  for (const auto& c : kStreamCases) {
    TestConn t;
    t.Feed(c.input);
    CheckOutcome(c, t, " (one read)");
  }
}

TEST(HttpProtocol, StreamsInTwoReadsSplitAtEveryByte) {
  for (const auto& c : kStreamCases) {
    for (size_t k = 1; k < c.input.size(); k++) {
      TestConn t;
      t.Feed(c.input.substr(0, k));
      if (!t.Closing()) t.Feed(c.input.substr(k));
      CheckOutcome(c, t, " (split at " + std::to_string(k) + ")");
    }
  }
}

TEST(HttpProtocol, BodyInTwoReadsOfFiveIsDeliveredOnce) {
  TestConn t;
  t.Feed("POST /x HTTP/1.1\r\nContent-Length: 10\r\n\r\n01234");
  t.Feed("56789");
  EXPECT_EQ(t.rec.Codes(true), (std::vector<int>{NS_EV_RECV, NS_EV_RECV, kReq}));
  EXPECT_EQ(t.rec.Bodies(kReq), Bodies{"0123456789"});
  EXPECT_EQ(t.Received(), "");
}

TEST(HttpProtocol, HeaderBlockLimit) {
  for (size_t size : {kHttpMaxHeaderBlockBytes - 1, kHttpMaxHeaderBlockBytes}) {
    TestConn t;
    std::string block = "GET / HTTP/1.1\r\nX: ";
    block += std::string(size - block.size(), 'a');
    t.Feed(block);
    EXPECT_EQ(t.Closing(), size >= kHttpMaxHeaderBlockBytes) << size;
    EXPECT_TRUE(t.rec.Bodies(kReq).empty());
  }
  // A whole block is held to the same limit, in one read or many.
  for (size_t size : {kHttpMaxHeaderBlockBytes, kHttpMaxHeaderBlockBytes + 1}) {
    std::string block = "GET / HTTP/1.1\r\nX: ";
    block += std::string(size - block.size() - 4, 'a') + "\r\n\r\n";
    TestConn t;
    t.Feed(block);
    EXPECT_EQ(t.Closing(), size > kHttpMaxHeaderBlockBytes) << size;
    EXPECT_EQ(t.rec.Bodies(kReq).size(), size > kHttpMaxHeaderBlockBytes ? 0u : 1u) << size;
  }
}

TEST(HttpProtocol, PipelinedRepliesQueuedInOrder) {
  TestConn t;
  t.rec.reply = "R";
  t.Feed("GET /a HTTP/1.1\r\n\r\nGET /b HTTP/1.1\r\n\r\n");
  EXPECT_EQ(t.Sent(), "RR");
}

TEST(HttpProtocol, HandlerThatClosesStopsThePipeline) {
  for (uint32_t flag : {NCF_SEND_AND_CLOSE, NCF_CLOSE_IMMEDIATELY}) {
    TestConn t;
    t.rec.set_on_request = flag;
    t.Feed("GET /a HTTP/1.1\r\n\r\nGET /b HTTP/1.1\r\n\r\n");
    EXPECT_EQ(t.rec.Bodies(kReq).size(), 1u) << flag;
  }
}

// RFC 9112 section 6.3: only a reply may run to the close.
TEST(HttpProtocol, PostWithoutLengthIsDeliveredAtOnce) {
  TestConn t;
  t.Feed("POST /x HTTP/1.1\r\nHost: a\r\n\r\n");
  EXPECT_EQ(t.rec.Bodies(kReq), Bodies{""});
  t.Close();
  EXPECT_EQ(t.rec.Bodies(kReq), Bodies{""}) << "nothing more at the close";
}

TEST(HttpProtocol, CutShortBodiesAreNotDeliveredAtClose) {
  const char* cases[] = {
      "POST /x HTTP/1.1\r\nContent-Length: 10\r\n\r\n01234",
      "POST /x HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n",  // no terminator;
                                                                               // state released
      "GET /x HTTP/1.1\r\nHost",
  };
  for (const char* c : cases) {
    TestConn t;
    t.Feed(c);
    t.Close();
    EXPECT_TRUE(t.rec.Bodies(kReq).empty()) << c;
  }
}

TEST(HttpProtocol, ChunkEventsAndDeletion) {
  const std::string head = "POST /x HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
  {
    TestConn t;
    t.Feed(head + "5\r\nhello\r\n0\r\n\r\n");
    EXPECT_EQ(t.rec.Codes(), (std::vector<int>{kChunk, kReq}));
  }
  {
    // A handler that consumes each chunk as it comes sees every byte once,
    // and the request arrives with an empty body.
    TestConn t;
    t.rec.set_on_chunk = NCF_DELETE_CHUNK;
    t.Feed(head + "3\r\nabc\r\n");
    t.Feed("4\r\ndefg\r\n");
    t.Feed("0\r\n\r\nGET /n HTTP/1.1\r\n\r\n");
    EXPECT_EQ(t.rec.Bodies(kChunk), (Bodies{"abc", "defg", ""}));
    EXPECT_EQ(t.rec.Bodies(kReq), (Bodies{"", ""}));
    EXPECT_EQ(t.Received(), "");
  }
  {
    // Without deletion, each chunk event shows everything decoded so far.
    TestConn t;
    t.Feed(head + "3\r\nabc\r\n");
    t.Feed("4\r\ndefg\r\n0\r\n");
    t.Feed("\r\n");
    EXPECT_EQ(t.rec.Bodies(kChunk), (Bodies{"abc", "abcdefg", "abcdefg"}));
    EXPECT_EQ(t.rec.Bodies(kReq), Bodies{"abcdefg"});
  }
}

TEST(HttpChunk, ParseChunk) {
  struct Case {
    std::string in;
    ptrdiff_t used;
    std::string data;
  } cases[] = {
      {"5\r\nhello\r\n", 10, "hello"},
      {"A\r\n0123456789\r\nrest", 15, "0123456789"},
      {"0\r\n\r\n", 5, ""},
      {"5\r\nhello\r", 0, ""},
      {"5\r\nhelloXY", -1, ""},
      {"5\n\nhello\r\n", -1, ""},
      {"\r\nhello\r\n", -1, ""},
      {"5;x\r\nhello\r\n", 12, "hello"},
      {"5 ; x=\"a b\"\r\nhello\r\n", 20, "hello"},
      {"5;x", 0, ""},
      {"5 6\r\nhello\r\n", -1, ""},
      {"5;x\ny\r\nhello\r\n", -1, ""},
      {"0\r\nX: y\r\n\r\n", 11, ""},
      {"0\r\nX: y\r\nZ: w\r\n\r\nnext", 17, ""},
      {"0\r\nX: y\r\n", 0, ""},
      {"0\r\nX: y\rZ\r\n\r\n", -1, ""},
      {"ffffffffffffffff\r\nab\r\n", 0, ""},
      {"0000000000000000000000005\r\nhello\r\n", 34, "hello"},
      {"10000000000000000\r\n", -1, ""},
      // Bounded lines: one without end is refused once it has passed its
      // bound, so that it is not parsed again with every read.
      {"5;" + std::string(kHttpMaxChunkLineBytes - 4, 'x') + "\r\nhello\r\n",
       static_cast<ptrdiff_t>(kHttpMaxChunkLineBytes) + 7, "hello"},
      {"5;" + std::string(kHttpMaxChunkLineBytes - 3, 'x') + "\r\nhello\r\n", -1, ""},
      {"5;" + std::string(kHttpMaxChunkLineBytes, 'x'), -1, ""},
      {std::string(kHttpMaxChunkLineBytes, '0'), -1, ""},
      {"0\r\nX: " + std::string(kHttpMaxHeaderBlockBytes, 'y'), -1, ""},
      {"0\r\nX: " + std::string(kHttpMaxHeaderBlockBytes - 7, 'y') + "\r\n\r\n",
       static_cast<ptrdiff_t>(kHttpMaxHeaderBlockBytes) + 3, ""},
  };
  for (const auto& c : cases) {
    const char* data = nullptr;
    uint64_t size = 0;
    EXPECT_EQ(http_parse_chunk(c.in.data(), c.in.size(), &data, &size), c.used) << c.in;
    if (c.used > 0) {
      EXPECT_EQ(std::string(data, size), c.data) << c.in;
    }
  }
}

TEST(HttpProtocol, WebSocketRequestIsNotDeliveredAsRequest) {
  TestConn t;
  t.Feed(
      "GET /ws HTTP/1.1\r\nHost: a\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n");
  EXPECT_EQ(t.rec.Codes(), (std::vector<int>{NS_EV_WS_HANDSHAKE_REQUEST, NS_EV_WS_HANDSHAKE_DONE}));
  EXPECT_EQ(t.nc.proto_handler, ws_protocol_handler);
}

}  // namespace
