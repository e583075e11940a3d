// The HTTP layer and WebSocket through real loopback sockets and the real
// poll loop, with raw sockets, curl and a Python WebSocket client.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "loopback_server.h"
#include "platform/platform.h"
#include "platform/socket.h"

namespace {

using net_http_test::LoggedEvent;
using net_http_test::LoopServer;

class Client {
 public:
  explicit Client(int port) {
    fd_ = PlatformSocketOpen(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = fd_ != kInvalidSocket && PlatformSocketConnect(fd_, &sa) == 0;
  }
  ~Client() { PlatformSocketClose(fd_); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool connected() const { return connected_; }
  void Send(const std::string& s) {
    ASSERT_EQ(PlatformSocketSend(fd_, s.data(), static_cast<int>(s.size())),
              static_cast<int>(s.size()));
  }
  void ShutdownWrite() { PlatformSocketShutdownWrite(fd_); }

  // Reads until want bytes arrived, the peer closed, or timeout_ms of silence.
  std::string Read(size_t want, int timeout_ms = 3000) {
    std::string out;
    while (out.size() < want) {
      PlatformSocketSet set;
      PlatformSocketSetZero(&set);
      PlatformSocketSetAdd(&set, fd_);
      timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
      if (PlatformSelect(fd_, &set, nullptr, nullptr, &tv) <= 0) break;
      char buf[4096];
      const int n = PlatformSocketRecv(fd_, buf, static_cast<int>(sizeof(buf)));
      if (n <= 0) {
        closed_ = true;
        break;
      }
      out.append(buf, static_cast<size_t>(n));
    }
    return out;
  }
  // True when the peer closes within timeout_ms (bytes before it are dropped).
  bool ClosedWithin(int timeout_ms) {
    Read(SIZE_MAX, timeout_ms);
    return closed_;
  }

 private:
  sock_t fd_ = kInvalidSocket;
  bool connected_ = false;
  bool closed_ = false;
};

std::string Reply(const std::string& text) {
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(text.size()) + "\r\n\r\n" + text;
}

std::string RunCommand(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

TEST(HttpLoopback, BodyInTwoWritesOfFiveDeliveredOnce) {
  LoopServer server;
  Client c(server.port());
  ASSERT_TRUE(c.connected());
  c.Send("POST /x HTTP/1.1\r\nContent-Length: 10\r\n\r\n01234");
  PlatformSleepMs(100);
  c.Send("56789");
  const std::string expect = Reply("POST /x 0123456789");
  EXPECT_EQ(c.Read(expect.size()), expect);
  EXPECT_EQ(server.Events(NS_EV_HTTP_REQUEST).size(), 1u);
}

TEST(HttpLoopback, PipelinedRequestsInOneWriteAllAnswered) {
  LoopServer server;
  Client c(server.port());
  c.Send("GET /a HTTP/1.1\r\nHost: x\r\n\r\nGET /b HTTP/1.1\r\nHost: x\r\n\r\n");
  const std::string expect = Reply("GET /a ") + Reply("GET /b ");
  EXPECT_EQ(c.Read(expect.size()), expect);
}

TEST(HttpLoopback, HeaderBlockLimitAt8192Bytes) {
  LoopServer server;
  Client c(server.port());
  std::string block = "GET / HTTP/1.1\r\nX: ";
  block += std::string(kHttpMaxHeaderBlockBytes - 1 - block.size(), 'a');
  c.Send(block);
  EXPECT_FALSE(c.ClosedWithin(300)) << "8191 bytes: still waiting";
  c.Send("a");
  const std::string refusal =
      "HTTP/1.1 431 Request Header Fields Too Large\r\nContent-Length: 0\r\nConnection: "
      "close\r\n\r\n";
  EXPECT_EQ(c.Read(refusal.size()), refusal) << "8192 bytes: refused";
  EXPECT_TRUE(c.ClosedWithin(3000)) << "then closed";
  EXPECT_TRUE(server.Events(NS_EV_HTTP_REQUEST).empty());
}

TEST(HttpLoopback, PostWithoutLengthAnsweredAtOnce) {
  LoopServer server;
  Client c(server.port());
  c.Send("POST /VRNMatchScore HTTP/1.1\r\nHost: localhost\r\n\r\n");
  const std::string expect = Reply("POST /VRNMatchScore ");
  EXPECT_EQ(c.Read(expect.size()), expect);
}

TEST(HttpLoopback, ChunkedPostsFromCurlOnOneConnection) {
  if (RunCommand("curl --version 2>&1").rfind("curl ", 0) != 0) {
    GTEST_SKIP() << "no curl command here (the Windows build under Wine has none)";
  }
  LoopServer server;
  const std::string url = "http://127.0.0.1:" + std::to_string(server.port());
  const std::string out = RunCommand(
      "curl -sS --max-time 10 -H 'Transfer-Encoding: chunked' --data-binary 'first=hello' " + url +
      "/one --next -H 'Transfer-Encoding: chunked' --data-binary 'second=world' " + url +
      "/two 2>&1");
  EXPECT_EQ(out, "POST /one first=helloPOST /two second=world");
  const auto requests = server.Events(NS_EV_HTTP_REQUEST);
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].nc, requests[1].nc) << "both on one connection";
}

TEST(HttpLoopback, UpgradeWithTheSampleKey) {
  LoopServer server;
  Client c(server.port());
  c.Send(
      "GET /chat HTTP/1.1\r\nHost: server.example.com\r\nUpgrade: websocket\r\nConnection: "
      "Upgrade\r\n"
      "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
  const std::string expect =
      "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";
  EXPECT_EQ(c.Read(expect.size()), expect);
  // A masked "Hello" (the example of RFC 6455 section 5.7).
  c.Send(std::string("\x81\x85\x37\xfa\x21\x3d\x7f\x9f\x4d\x51\x58", 11));
  ASSERT_TRUE(server.WaitFor(NS_EV_WS_FRAME, 1));
  const auto frames = server.Events(NS_EV_WS_FRAME);
  EXPECT_EQ(frames[0].text, "Hello");
  EXPECT_EQ(frames[0].size, 5u);
  EXPECT_EQ(frames[0].flags, 0x81u);
  EXPECT_EQ(c.Read(7), std::string("\x81\x05Hello", 7));
  EXPECT_TRUE(server.Events(NS_EV_HTTP_REQUEST).empty());
}

// A real WebSocket client: echo, fragmented message, the length forms of
// ws_send_frame, an idle ping, and a clean close.
TEST(WebSocketLoopback, PythonClient) {
  if (RunCommand("/usr/bin/python3 -c \"import websockets; print('ready')\" 2>&1") != "ready\n") {
    GTEST_SKIP() << "no Python with websockets here (the Windows build under Wine has none)";
  }
  LoopServer server;
  const std::string script = std::string(KV_SOURCE_DIR) + "/tests/net/ws_client.py";
  const std::string out =
      RunCommand("/usr/bin/python3 " + script + " " + std::to_string(server.port()) + " 2>&1");
  EXPECT_EQ(out,
            "echo Hello\n"
            "fragmented Hello, world\n"
            "len 125 125\nlen 126 126\nlen 65535 65535\nlen 65536 65536\n"
            "idle done\n"
            "close 1000\n");

  ASSERT_TRUE(server.WaitFor(NS_EV_CLOSE, 1));
  const auto frames = server.Events(NS_EV_WS_FRAME);
  ASSERT_GE(frames.size(), 2u);
  EXPECT_EQ(frames[0].size, 5u);
  EXPECT_EQ(frames[0].flags, 0x81u);
  EXPECT_EQ(frames[1].text, "Hello, world") << "reassembled from three fragments";
  bool pong = false;
  bool close_frame = false;
  for (const auto& e : server.Events(NS_EV_WS_CONTROL_FRAME)) {
    pong |= (e.flags & 0x0f) == WEBSOCKET_OP_PONG;
    close_frame |= (e.flags & 0x0f) == WEBSOCKET_OP_CLOSE;
  }
  EXPECT_TRUE(pong) << "the idle client was pinged and answered";
  EXPECT_TRUE(close_frame);
}

}  // namespace
