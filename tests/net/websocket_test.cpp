// WebSocket upgrade, frame delivery with unmasking and reassembly (each stream
// also fed split at every byte), hostile lengths, frame sending and the ping.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "conn_recorder.h"

namespace {

using net_http_test::RecordedEvent;
using net_http_test::TestConn;

const std::string kUpgrade =
    "GET /chat HTTP/1.1\r\nHost: server.example.com\r\nUpgrade: websocket\r\nConnection: "
    "Upgrade\r\n"
    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";

// A client frame: masked with a fixed key unless mask is false.
std::string Frame(unsigned char b0, const std::string& payload, bool mask = true) {
  std::string f(1, static_cast<char>(b0));
  const unsigned char m = mask ? 0x80 : 0;
  const size_t n = payload.size();
  if (n < 126) {
    f += static_cast<char>(m | n);
  } else if (n <= 0xffff) {
    f += static_cast<char>(m | 126);
    f += static_cast<char>(n >> 8);
    f += static_cast<char>(n & 0xff);
  } else {
    f += static_cast<char>(m | 127);
    for (int s = 56; s >= 0; s -= 8) f += static_cast<char>((uint64_t{n} >> s) & 0xff);
  }
  const unsigned char key[4] = {0x37, 0xfa, 0x21, 0x3d};
  if (mask) f.append(reinterpret_cast<const char*>(key), 4);
  for (size_t i = 0; i < n; i++) f += static_cast<char>(payload[i] ^ (mask ? key[i % 4] : 0));
  return f;
}

struct Expect {
  int ev;
  std::string payload;
  unsigned flags;
};

struct FrameCase {
  const char* why;
  std::string frames;
  std::vector<Expect> expect;
  uint16_t fails;  // the status of the close frame that fails the connection; 0: none
  bool no_reassembly = false;
};

std::string CloseFrame(uint16_t status) {
  return std::string("\x88\x02", 2) + static_cast<char>(status >> 8) +
         static_cast<char>(status & 0xff);
}

std::vector<FrameCase> Cases() {
  const std::string big(70000, 'b');
  const std::string mid(300, 'm');
  return {
      {"masked Hello", Frame(0x81, "Hello"), {{113, "Hello", 0x81}}, 0},
      {"an unmasked frame fails", Frame(0x82, "raw", false), {}, 1002},
      {"16-bit length", Frame(0x82, mid), {{113, mid, 0x82}}, 0},
      {"64-bit length", Frame(0x82, big), {{113, big, 0x82}}, 0},
      {"two frames",
       Frame(0x81, "a") + Frame(0x81, "bc"),
       {{113, "a", 0x81}, {113, "bc", 0x81}},
       0},
      {"fragments reassembled",
       Frame(0x01, "Hel") + Frame(0x00, "l") + Frame(0x80, "o"),
       {{113, "Hello", 0x80}},
       0},
      {"short fragments grow the buffer",
       Frame(0x01, "ab") + Frame(0x80, "cd") + Frame(0x81, "z"),
       {{113, "abcd", 0x80}, {113, "z", 0x81}},
       0},
      {"empty fragments", Frame(0x02, "") + Frame(0x80, ""), {{113, "", 0x80}}, 0},
      {"large fragments", Frame(0x02, big) + Frame(0x80, mid), {{113, big + mid, 0x80}}, 0},
      {"ping between fragments comes on its own",
       Frame(0x01, "Hel") + Frame(0x89, "p") + Frame(0x80, "lo"),
       {{114, "p", 0x89}, {113, "Hello", 0x80}},
       0},
      {"fragments delivered one by one",
       Frame(0x01, "Hel") + Frame(0x80, "lo"),
       {{113, "Hel", 0x01}, {113, "lo", 0x80}},
       0,
       true},
      {"close frame",
       Frame(0x88,
             "\x03\xe8"
             "bye"),
       {{114,
         "\x03\xe8"
         "bye",
         0x88}},
       0},
      {"nothing after a close frame is delivered",
       Frame(0x88, "\x03\xe8") + Frame(0x81, "late"),
       {{114, "\x03\xe8", 0x88}},
       0},
      {"continuation without a message", Frame(0x80, "x"), {}, 1002},
      {"new message inside one", Frame(0x01, "a") + Frame(0x81, "b"), {}, 1002},
      {"new message inside one delivered by fragments",
       Frame(0x01, "a") + Frame(0x81, "b"),
       {{113, "a", 0x01}},
       1002,
       true},
      {"fragmented ping", Frame(0x09, "a"), {}, 1002},
      {"ping over 125 bytes", Frame(0x89, std::string(126, 'p')), {}, 1002},
      {"RSV1 without an extension", Frame(0xc1, "a"), {}, 1002},
      {"RSV3", Frame(0x92, "a"), {}, 1002},
      {"reserved data opcode 3", Frame(0x83, ""), {}, 1002},
      {"reserved control opcode 0xB", Frame(0x8b, ""), {}, 1002},
      {"text that is not UTF-8", Frame(0x81, "a\xff"), {}, 1007},
      {"an overlong form", Frame(0x81, "\xc0\xaf"), {}, 1007},
      {"a surrogate", Frame(0x81, "\xed\xa0\x80"), {}, 1007},
      {"a character cut at the end", Frame(0x81, "\xe2\x82"), {}, 1007},
      {"a character split between fragments is whole once reassembled",
       Frame(0x01, "\xe2\x82") + Frame(0x80, "\xac"),
       {{113, "\xe2\x82\xac", 0x80}},
       0},
      {"binary is not checked", Frame(0x82, "\xff"), {{113, "\xff", 0x82}}, 0},
      {"a 1-byte close body", Frame(0x88, "\x03"), {}, 1002},
      {"close 999", Frame(0x88, "\x03\xe7"), {}, 1002},
      {"close 1005 is never sent", Frame(0x88, "\x03\xed"), {}, 1002},
      {"close 1006 is never sent", Frame(0x88, "\x03\xee"), {}, 1002},
      {"close 1015 is never sent", Frame(0x88, "\x03\xf7"), {}, 1002},
      {"close 5000", Frame(0x88, "\x13\x88"), {}, 1002},
      {"a close reason that is not UTF-8", Frame(0x88, "\x03\xe8\xff"), {}, 1007},
      {"close 4999 is echoed", Frame(0x88, "\x13\x87"), {{114, "\x13\x87", 0x88}}, 0},
  };
}

void Check(const FrameCase& c, TestConn& t, const std::string& how) {
  std::vector<Expect> got;
  for (const RecordedEvent& e : t.rec.events) {
    if (e.ev == 113 || e.ev == 114) got.push_back({e.ev, e.body, e.flags});
  }
  ASSERT_EQ(got.size(), c.expect.size()) << c.why << how;
  for (size_t i = 0; i < got.size(); i++) {
    EXPECT_EQ(got[i].ev, c.expect[i].ev) << c.why << how << " #" << i;
    EXPECT_EQ(got[i].payload, c.expect[i].payload) << c.why << how << " #" << i;
    EXPECT_EQ(got[i].flags, c.expect[i].flags) << c.why << how << " #" << i;
  }
  EXPECT_EQ(t.Received(), "") << c.why << how;
  if (c.fails != 0) {
    EXPECT_EQ(t.Sent(), CloseFrame(c.fails)) << c.why << how;
    EXPECT_TRUE(t.nc.flags & NCF_SEND_AND_CLOSE) << c.why << how;
  }
}

void Upgrade(TestConn& t, bool no_reassembly) {
  if (no_reassembly) t.nc.flags |= NCF_WS_NO_REASSEMBLY;
  t.Feed(kUpgrade);
  t.nc.send_mbuf.len = 0;
}

TEST(WebSocket, HandshakeReplyForTheSampleKey) {
  TestConn t;
  t.Feed(kUpgrade);
  EXPECT_EQ(t.Sent(),
            "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n");
  EXPECT_TRUE(t.nc.flags & NCF_WEBSOCKET);
  EXPECT_EQ(t.Received(), "");
}

TEST(WebSocket, FramesArrivingWithTheUpgradeAreDelivered) {
  TestConn t;
  t.Feed(kUpgrade + Frame(0x81, "Hello"));
  ASSERT_EQ(t.rec.events.back().ev, NS_EV_WS_FRAME);
  EXPECT_EQ(t.rec.events.back().body, "Hello");
}

TEST(WebSocket, HandlerCanRefuseOrAnswerTheUpgrade) {
  {
    TestConn t;
    t.rec.set_on_handshake = NCF_CLOSE_IMMEDIATELY;
    t.Feed(kUpgrade);
    EXPECT_EQ(t.Sent(), "");
    EXPECT_EQ(t.rec.Codes(), std::vector<int>{NS_EV_WS_HANDSHAKE_REQUEST});
  }
  {
    // A reply to an earlier pipelined request is not an answer to the upgrade.
    TestConn t;
    t.rec.reply = "R";
    t.Feed("GET /a HTTP/1.1\r\n\r\n" + kUpgrade);
    EXPECT_EQ(t.Sent().substr(0, 13), "RHTTP/1.1 101");
  }
}

TEST(WebSocket, HandshakeKeyLongerThanTheBufferIsCut) {
  TestConn t;
  const std::string key(600, 'k');
  const ns_str slice{key.data(), key.size()};
  ws_handshake_reply(&t.nc, &slice);
  EXPECT_NE(t.Sent().find("Sec-WebSocket-Accept: "), std::string::npos);
}

TEST(WebSocket, FramesInOneRead) {
  for (const auto& c : Cases()) {
    TestConn t;
    Upgrade(t, c.no_reassembly);
    t.Feed(c.frames);
    Check(c, t, " (one read)");
  }
}

TEST(WebSocket, FramesSplitAtEveryByte) {
  for (const auto& c : Cases()) {
    if (c.frames.size() > 400) continue;  // the large cases only repeat the small ones
    for (size_t k = 1; k < c.frames.size(); k++) {
      TestConn t;
      Upgrade(t, c.no_reassembly);
      t.Feed(c.frames.substr(0, k));
      t.Feed(c.frames.substr(k));
      Check(c, t, " (split at " + std::to_string(k) + ")");
    }
  }
}

TEST(WebSocket, PingAndCloseAreAnswered) {
  {
    TestConn t;
    Upgrade(t, false);
    t.Feed(Frame(0x89, "abc"));
    EXPECT_EQ(t.Sent(), std::string("\x8a\x03"
                                    "abc",
                                    5));
  }
  {
    TestConn t;
    Upgrade(t, false);
    t.Feed(Frame(0x88,
                 "\x03\xe8"
                 "bye"));
    EXPECT_EQ(t.Sent(), std::string("\x88\x02\x03\xe8", 4)) << "close echoed with its status code";
    EXPECT_TRUE(t.nc.flags & NCF_SEND_AND_CLOSE);
  }
}

// Lengths near the top of the 64-bit range and messages over the bound must
// neither wrap nor be buffered.
TEST(WebSocket, HostileLengths) {
  enum Outcome { kWaits, kBroken, kTooBig };  // kBroken: close 1002
  auto len64 = [](unsigned char b0, uint64_t n) {
    std::string h{static_cast<char>(b0), static_cast<char>(0xff)};
    for (int s = 56; s >= 0; s -= 8) h += static_cast<char>((n >> s) & 0xff);
    return h + "mask";
  };
  const struct {
    const char* why;
    std::string frames;
    Outcome outcome;
  } cases[] = {
      {"top bit set", len64(0x82, uint64_t{1} << 63), kBroken},
      {"all ones", len64(0x82, ~uint64_t{0}), kBroken},
      {"2^63 - 1", len64(0x82, INT64_MAX), kTooBig},
      {"a message of the bound waits", len64(0x82, kWsMaxMessageBytes), kWaits},
      {"one byte over the bound", len64(0x82, kWsMaxMessageBytes + 1), kTooBig},
      {"first fragment over the bound", len64(0x02, kWsMaxMessageBytes + 1), kTooBig},
      {"ping over the bound", len64(0x89, kWsMaxMessageBytes + 1), kBroken},
      {"fragments that together pass the bound",
       Frame(0x02, "abc") + len64(0x80, kWsMaxMessageBytes - 2), kTooBig},
      {"fragments that together reach it wait",
       Frame(0x02, "abc") + len64(0x80, kWsMaxMessageBytes - 3), kWaits},
  };
  for (const auto& c : cases) {
    TestConn t;
    Upgrade(t, false);
    t.Feed(c.frames + std::string(8, 'x'));
    EXPECT_EQ(t.Sent(), c.outcome == kWaits    ? ""
                        : c.outcome == kBroken ? CloseFrame(1002)
                                               : CloseFrame(1009))
        << c.why;
    if (c.outcome != kWaits) {
      EXPECT_TRUE(t.nc.flags & NCF_SEND_AND_CLOSE) << c.why;
      EXPECT_EQ(t.Received(), "") << c.why << ": nothing kept";
      t.Feed(std::string(100, 'y'));
      EXPECT_EQ(t.Received(), "") << c.why << ": nothing read after it";
    }
    EXPECT_EQ(t.rec.Codes().back(), NS_EV_WS_HANDSHAKE_DONE) << c.why;
  }
}

TEST(WebSocket, SendFrameLengthForms) {
  struct Case {
    size_t len;
    std::string header;
  } cases[] = {
      {0, std::string("\x81\x00", 2)},
      {125, "\x81\x7d"},
      {126, std::string("\x81\x7e\x00\x7e", 4)},
      {65535, "\x81\x7e\xff\xff"},
      {65536, std::string("\x81\x7f\0\0\0\0\0\x01\0\0", 10)},
  };
  for (const auto& c : cases) {
    TestConn t;
    const std::string payload(c.len, 'p');
    ws_send_frame(&t.nc, WEBSOCKET_OP_TEXT, payload.data(), payload.size());
    const std::string sent = t.Sent();
    ASSERT_EQ(sent.size(), c.header.size() + c.len) << c.len;
    EXPECT_EQ(sent.substr(0, c.header.size()), c.header) << c.len;
    EXPECT_EQ(sent.substr(c.header.size()), payload) << c.len;
  }
  TestConn t;
  ws_send_frame(&t.nc, 0x1f, nullptr, 0);
  EXPECT_EQ(t.Sent(), std::string("\x8f\x00", 2)) << "only the low four opcode bits";
  EXPECT_FALSE(t.nc.flags & NCF_SEND_AND_CLOSE);
  ws_send_frame(&t.nc, WEBSOCKET_OP_CLOSE, nullptr, 0);
  EXPECT_TRUE(t.nc.flags & NCF_SEND_AND_CLOSE);
}

// Only the peer's frames count as life: the service's pings do not, and a
// peer that leaves two unanswered is closed.
TEST(WebSocket, SilentPeerIsPingedThenClosed) {
  TestConn t;
  const int64_t start = 1'000'000;
  t.nc.last_io_time = start;
  Upgrade(t, false);
  auto poll = [&](int64_t at) {
    t.nc.last_io_time = at;  // the service's own writes make it ready
    t.Poll(at);
    const std::string sent = t.Sent();
    t.nc.send_mbuf.len = 0;
    return sent;
  };
  const std::string ping("\x89\x00", 2);
  EXPECT_EQ(poll(start + kWsPingIdleSeconds), "") << "exactly the idle time is not yet idle";
  EXPECT_EQ(poll(start + kWsPingIdleSeconds + 1), ping);
  EXPECT_EQ(poll(start + 2 * kWsPingIdleSeconds + 1), "");
  EXPECT_EQ(poll(start + 2 * kWsPingIdleSeconds + 2), ping);
  t.Feed(Frame(0x8a, ""));  // a pong: both answered
  EXPECT_EQ(poll(start + 3 * kWsPingIdleSeconds + 3), ping);
  EXPECT_EQ(poll(start + 4 * kWsPingIdleSeconds + 4), ping);
  EXPECT_FALSE(t.Closing());
  EXPECT_EQ(poll(start + 5 * kWsPingIdleSeconds + 5), "");
  EXPECT_TRUE(t.nc.flags & NCF_CLOSE_IMMEDIATELY) << "two pings left unanswered";
}

// A peer that pings and never reads gets one pong, for its latest ping,
// once the output in front of it has gone.
TEST(WebSocket, PingsWhileOutputWaitsGetOnePong) {
  TestConn t;
  Upgrade(t, false);
  ws_send_frame(&t.nc, WEBSOCKET_OP_TEXT, "x", 1);
  std::string pings;
  for (int i = 0; i < 1000; i++) pings += Frame(0x89, std::to_string(i));
  t.Feed(pings);
  EXPECT_EQ(t.Sent(), "\x81\x01x") << "no pong queued behind unread output";
  t.nc.send_mbuf.len = 0;  // written
  int32_t sent = 3;
  t.Raise(NS_EV_SEND, &sent);
  EXPECT_EQ(t.Sent(),
            "\x8a\x03"
            "999");
}

}  // namespace
