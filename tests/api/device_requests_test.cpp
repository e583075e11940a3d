// Captures and matches on the device thread, driven through the real poll
// loop, HTTP layer and router by loopback clients: a connection that closes
// mid-capture frees the reader, a busy reader refuses at once, pipelined
// requests keep their order, and many captures with random disconnects lose
// no reply (the sanitizer build also finds every leak and stale access).
#include "api/device_requests.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "api/router.h"
#include "base/trace_log.h"
#include "net/http_protocol.h"
#include "net/listener.h"
#include "platform/platform.h"
#include "platform/socket.h"
#include "sdk/virtual_reader.h"
#include "tests/temp_dir.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kCapture[] =
    "POST /VRNFPCapture HTTP/1.1\r\nHost: localhost\r\nContent-Length: 0\r\n\r\n";
constexpr char kHealth[] = "GET /health HTTP/1.1\r\nHost: localhost\r\n\r\n";
constexpr char kBusyReply[] = "{ \"ErrorCode\": 103 }";

// The service's wiring: listener, HTTP layer, router and device thread, polled
// with the service's own one-second time-out, so replies come through the
// wake-up and not through a short poll.
class ServiceLoop {
 public:
  ServiceLoop() {
    ns_mgr_init(&mgr_, nullptr);
    DeviceRequestsStart(&requests_, &mgr_);
    ns_bind_opts opts{};
    opts.user_data = &api_;
    ns_conn* listener = ns_bind_opt(&mgr_, "127.0.0.1:0", ApiRequestHandler, opts);
    if (listener != nullptr) {
      http_attach_protocol(listener);
      port_ = ntohs(listener->sa.sin_port);
    }
    thread_ = std::thread([this] {
      while (!stop_) ns_mgr_poll(&mgr_, 1000);
      DeviceRequestsStop(&requests_);
      ns_mgr_free(&mgr_);
    });
  }
  ~ServiceLoop() {
    stop_ = true;
    (void)ns_mgr_post(&mgr_, nullptr, nullptr, 0);  // ends the pass at once
    thread_.join();
  }
  ServiceLoop(const ServiceLoop&) = delete;
  ServiceLoop& operator=(const ServiceLoop&) = delete;
  int port() const { return port_; }

 private:
  ns_mgr mgr_{};
  DeviceRequests requests_;
  ApiContext api_ = {"NX51", 0, nullptr, {}, &requests_};
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A blocking loopback client that reads replies one by one.
class Client {
 public:
  explicit Client(int port) {
    sock_ = PlatformSocketOpen(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (sock_ != kInvalidSocket && PlatformSocketConnect(sock_, &sa) != 0) Close();
  }
  ~Client() { Close(); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool Send(const std::string& text) {
    const int len = static_cast<int>(text.size());
    return sock_ != kInvalidSocket && PlatformSocketSend(sock_, text.data(), len) == len;
  }
  void Close() {
    PlatformSocketClose(sock_);
    sock_ = kInvalidSocket;
  }

  // The next whole reply (header block and Content-Length bytes), or "" when
  // none came within timeout_ms or the connection closed.
  std::string Reply(int timeout_ms = 10000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      const size_t end = buf_.find("\r\n\r\n");
      if (end != std::string::npos) {
        size_t length = 0;
        const size_t at = buf_.find("Content-Length: ");
        if (at != std::string::npos && at < end) length = std::stoul(buf_.substr(at + 16));
        if (buf_.size() >= end + 4 + length) {
          std::string reply = buf_.substr(0, end + 4 + length);
          buf_.erase(0, reply.size());
          return reply;
        }
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      PlatformSocketSet readable;
      PlatformSocketSetZero(&readable);
      if (left <= 0 || !PlatformSocketSetAdd(&readable, sock_)) return "";
      const timeval tv = {static_cast<long>(left / 1000), static_cast<long>(left % 1000) * 1000};
      if (PlatformSelect(sock_, &readable, nullptr, nullptr, &tv) <= 0) return "";
      char chunk[65536];
      const int n = PlatformSocketRecv(sock_, chunk, static_cast<int>(sizeof chunk));
      if (n <= 0) return "";
      buf_.append(chunk, static_cast<size_t>(n));
    }
  }

 private:
  sock_t sock_ = kInvalidSocket;
  std::string buf_;
};

std::string Body(const std::string& reply) {
  const size_t end = reply.find("\r\n\r\n");
  return end == std::string::npos ? "" : reply.substr(end + 4);
}

bool CaptureSucceeded(const std::string& reply) {
  return Body(reply).rfind(
             "{ \"ErrorCode\": 0 , \"Manufacturer\": \"Kestrav\", \"Model\": \"NX51\"", 0) == 0;
}

std::string Member(const std::string& json, const std::string& name) {
  const size_t at = json.find("\"" + name + "\": \"");
  if (at == std::string::npos) return "";
  const size_t start = at + name.size() + 5;
  return json.substr(start, json.find('"', start) - start);
}

std::string Percent(const std::string& text) {
  std::string out;
  char hex[4];
  for (unsigned char c : text) {
    if (isalnum(c)) {
      out += static_cast<char>(c);
    } else {
      snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    }
  }
  return out;
}

std::string Post(const char* path, const std::string& body) {
  return std::string("POST ") + path +
         " HTTP/1.1\r\nHost: localhost\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n\r\n" + body;
}

template <typename Pred>
bool WaitUntil(Pred done, int timeout_ms = 10000) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

bool ReaderInUse() {
  return VirtualReaderStatsSnapshot().open_devices > 0;
}

bool ReaderFree() {
  const VirtualReaderStats s = VirtualReaderStatsSnapshot();
  return s.live_handles == 0 && s.open_devices == 0;
}

class DeviceRequestsTest : public ::testing::Test {
 protected:
  void SetUp() override { TraceLogConfigure(1, trace_path_.c_str()); }
  void TearDown() override {
    EXPECT_TRUE(WaitUntil(ReaderFree));
    ASSERT_EQ(VirtualReaderConfigure(nullptr), 0);
    TraceLogConfigure(0, "");
  }
  static void Configure(const char* text) { ASSERT_EQ(VirtualReaderConfigure(text), 0) << text; }
  std::string Trace() const {
    std::ifstream in(trace_path_);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  testutil::TempDir temp_{"kv-device-requests-"};
  const std::string trace_path_ = temp_.File("trace.txt");
};

TEST_F(DeviceRequestsTest, ClosedConnectionCancelsItsCaptureFreesTheReaderAndTheNextWorks) {
  Configure("placement_ms=1500");
  ServiceLoop service;
  {
    Client page(service.port());
    ASSERT_TRUE(page.Send(kCapture));
    ASSERT_TRUE(WaitUntil(ReaderInUse));
  }  // the page goes away while the reader waits for the finger
  ASSERT_TRUE(WaitUntil(ReaderFree));
  ASSERT_TRUE(WaitUntil([&] { return Trace().find("reply dropped") != std::string::npos; }));
  const std::string trace = Trace();
  EXPECT_NE(trace.find("[DeviceRequests]: connection closed; request cancelled"),
            std::string::npos);
  EXPECT_NE(trace.find("[BCCaptureImage]: cancelled; return [-1]"), std::string::npos);
  EXPECT_EQ(trace.find("VRFPM_GetTemplateSize"), std::string::npos) << "nothing after the cancel";

  Configure("placement_ms=0");
  Client next(service.port());
  ASSERT_TRUE(next.Send(kCapture));
  EXPECT_TRUE(CaptureSucceeded(next.Reply())) << "the reader was handed back";
}

TEST_F(DeviceRequestsTest, BusyReaderRefusesOthersAtOncePipelinedRequestsKeepTheirOrder) {
  Configure("placement_ms=600");
  ServiceLoop service;
  Client a(service.port()), b(service.port());
  // Two captures with a status request between them, in one write.
  ASSERT_TRUE(a.Send(std::string(kCapture) + kHealth + kCapture));
  ASSERT_TRUE(WaitUntil(ReaderInUse));

  // Meanwhile another client is served: refused capture, answered status.
  const auto asked = Clock::now();
  ASSERT_TRUE(b.Send(kCapture));
  EXPECT_EQ(Body(b.Reply(500)), kBusyReply);
  ASSERT_TRUE(b.Send(kHealth));
  EXPECT_NE(b.Reply(500).find("\"ErrorCode\": 0"), std::string::npos);
  EXPECT_LT(Clock::now() - asked, std::chrono::milliseconds(500)) << "while the finger is awaited";

  const std::string first = a.Reply();
  ASSERT_TRUE(CaptureSucceeded(first)) << first.substr(0, 200);
  EXPECT_NE(a.Reply().find("\"Service\": \"Kestrav\""), std::string::npos) << "status second";
  // The second capture now has the reader: a match is refused too.
  const std::string t = Percent(Member(Body(first), "TemplateBase64"));
  const std::string match = Post("/VRNMatchScore", "template1=" + t + "&template2=" + t);
  ASSERT_TRUE(b.Send(match));
  EXPECT_EQ(Body(b.Reply(500)), "{ \"ErrorCode\": 103 , \"MatchingScore\": null }");
  EXPECT_TRUE(CaptureSucceeded(a.Reply())) << "capture third";

  ASSERT_TRUE(b.Send(match));
  EXPECT_NE(Body(b.Reply()).find("{ \"ErrorCode\": 0 , \"MatchingScore\": "), std::string::npos);
  EXPECT_NE(Trace().find("[DeviceRequests]: reader busy; ErrorCode 103"), std::string::npos);
}

// A client that pipelines more than the service holds back behind a capture
// is not read until the capture's reply is queued; then all of it is answered,
// in order.
TEST_F(DeviceRequestsTest, PipelinedFloodBehindACaptureIsReadAfterItsReply) {
  Configure("placement_ms=300");
  ServiceLoop service;
  Client c(service.port());
  const std::string preflight = "OPTIONS /VRNFPCapture HTTP/1.1\r\n\r\n";
  const size_t count = kHeldBytesLimit / preflight.size() * 2;
  std::string flood = kCapture;
  for (size_t i = 0; i < count; ++i) flood += preflight;
  ASSERT_TRUE(c.Send(flood));
  EXPECT_TRUE(CaptureSucceeded(c.Reply()));
  for (size_t i = 0; i < count; ++i) {
    const std::string r = c.Reply();
    ASSERT_EQ(r.rfind("HTTP/1.1 204", 0), 0u) << "reply " << i;
  }
}

// Three pages capture at once until 200 captures have reached the reader,
// each request at random: reading the reply, closing at once, closing after a
// while (often mid-capture), or pipelining two captures. Every reply that is
// waited for comes whole and in order, and is a capture or a busy refusal.
TEST_F(DeviceRequestsTest, ManyCapturesWithRandomDisconnectsLoseNoReply) {
  Configure("placement_ms=5;image_size=128x128");
  ServiceLoop service;
  constexpr int kPages = 3;
  constexpr int kCaptures = 200;
  std::atomic<int> captured{0}, refused{0}, abandoned{0}, lost{0};
  auto read = [&](Client* c) {
    const std::string r = c->Reply();
    if (CaptureSucceeded(r)) {
      ++captured;
    } else if (Body(r) == kBusyReply) {
      ++refused;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    } else {
      ++lost;
    }
  };
  auto page = [&](unsigned seed) {
    std::mt19937 random(seed);
    while (VirtualReaderStatsSnapshot().capture_calls < kCaptures && lost == 0) {
      Client c(service.port());
      const unsigned choice = random() % 4;
      if (!c.Send(choice == 3 ? std::string(kCapture) + kCapture : std::string(kCapture))) {
        ++lost;
      } else if (choice < 2) {
        ++abandoned;
        std::this_thread::sleep_for(std::chrono::milliseconds(choice == 0 ? 0 : random() % 20));
      } else {
        for (unsigned i = 2; i <= choice; ++i) read(&c);
      }
    }
  };
  std::vector<std::thread> pages;
  for (int i = 0; i < kPages; ++i) pages.emplace_back(page, 1234u + static_cast<unsigned>(i));
  for (std::thread& t : pages) t.join();
  EXPECT_EQ(lost, 0);
  EXPECT_GT(captured, 0);
  EXPECT_TRUE(WaitUntil(ReaderFree));
  EXPECT_NE(Trace().find("[BCCaptureImage]: cancelled"), std::string::npos)
      << "some pages left mid-capture";
  printf("captured %d, refused busy %d, abandoned %d\n", captured.load(), refused.load(),
         abandoned.load());
}

}  // namespace
