// Socket I/O cases that only POSIX has: descriptors numbered past FD_SETSIZE
// (a Windows socket set is a counted array, where any socket fits while the
// set has room), a process out of descriptors (setrlimit) and a real curl
// client (not installed under Wine).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "net/socket_io.h"
#include "net_test_util.h"

using namespace nettest;

namespace {

// Readable for a descriptor that no select() set can hold.
bool PollReadable(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, ms) == 1;
}

// Raises the descriptor limit so that descriptors past FD_SETSIZE exist.
bool AllowHighDescriptors() {
  rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return false;
  if (rl.rlim_cur < FD_SETSIZE + 64) {
    rl.rlim_cur = rl.rlim_max < FD_SETSIZE + 64 ? rl.rlim_max : FD_SETSIZE + 64;
    setrlimit(RLIMIT_NOFILE, &rl);
    getrlimit(RLIMIT_NOFILE, &rl);
  }
  return rl.rlim_cur >= FD_SETSIZE + 64;
}

TEST(SelectLimit, SocketBeyondFdSetSizeIsNeverPutInASet) {
  if (!AllowHighDescriptors()) GTEST_SKIP() << "descriptor limit too low";
  Recorder rec;
  Manager m;
  rec.echo = true;
  ns_conn* listener = BindLoopback(&m.mgr, &rec);
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  int high = FD_SETSIZE + 20;
  ASSERT_EQ(dup2(pair[0], high), high);
  close(pair[0]);
  ns_bind_opts opts{&rec, 0, nullptr};
  ns_conn* far = ns_add_sock_opt(&m.mgr, high, RecordingHandler, opts);
  ASSERT_NE(far, nullptr);
  ns_send(far, "queued", 6);  // wants both sets
  ASSERT_TRUE(SendAll(pair[1], "unread"));

  sock_t fd = ConnectClient(PortOf(listener));
  ASSERT_TRUE(PollUntil(&m.mgr, [&] { return rec.accepted.size() == 1; }));
  ASSERT_TRUE(SendAll(fd, "near"));
  EXPECT_EQ(ReadSome(&m.mgr, fd, 4), "near");
  EXPECT_GT(rec.Counts(NS_EV_POLL, far).size(), 0u) << "never ready, so polled";
  EXPECT_EQ(rec.Counts(NS_EV_RECV, far).size(), 0u);
  PlatformSocketClose(fd);
  close(pair[1]);
}

TEST(SelectLimit, AcceptedSocketBeyondFdSetSizeIsClosedAtOnce) {
  if (!AllowHighDescriptors()) GTEST_SKIP() << "descriptor limit too low";
  Recorder rec;
  Manager m;
  ns_conn* listener = BindLoopback(&m.mgr, &rec);
  std::vector<int> fillers;
  for (;;) {
    int f = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(f, 0);
    if (f >= FD_SETSIZE) {
      close(f);
      break;
    }
    fillers.push_back(f);
  }
  sock_t fd = ConnectClient(PortOf(listener));  // itself above FD_SETSIZE
  ASSERT_GE(fd, FD_SETSIZE);
  for (int i = 0; i < 10; i++) ns_mgr_poll(&m.mgr, 5);
  EXPECT_EQ(rec.accepted.size(), 0u);
  EXPECT_EQ(m.mgr.connections, listener);
  ASSERT_TRUE(PollReadable(static_cast<int>(fd), 1000));
  char c;
  EXPECT_LE(PlatformSocketRecv(fd, &c, 1), 0) << "the peer sees the close";
  PlatformSocketClose(fd);

  for (int f : fillers) close(f);
  sock_t fd2 = ConnectClient(PortOf(listener));
  ASSERT_TRUE(PollUntil(&m.mgr, [&] { return rec.accepted.size() == 1; }));
  PlatformSocketClose(fd2);
}

// Lowers the soft descriptor limit and fills what is left of it; puts both
// back when it goes.
class DescriptorsExhausted {
 public:
  DescriptorsExhausted() {
    getrlimit(RLIMIT_NOFILE, &saved_);
    rlimit low = saved_;
    low.rlim_cur = 256;
    setrlimit(RLIMIT_NOFILE, &low);
    for (int f; (f = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) fillers_.push_back(f);
  }
  ~DescriptorsExhausted() { Release(); }
  void Release() {
    for (int f : fillers_) close(f);
    fillers_.clear();
    setrlimit(RLIMIT_NOFILE, &saved_);
  }

 private:
  rlimit saved_;
  std::vector<int> fillers_;
};

// Out of descriptors, a pending connection cannot be accepted and keeps the
// listener readable: every pass failed at once and the loop took a whole
// core while the clients waited for ever. The reserve descriptor lets the
// pending clients be closed at once; the pass then waits again, and once
// descriptors are free the listener accepts as before.
TEST(Exhaustion, PendingClientsAreClosedAndTheLoopWaits) {
  Recorder rec;
  Manager m;
  ns_conn* listener = BindLoopback(&m.mgr, &rec);
  // The clients' sockets exist before the table fills: connecting needs none.
  std::vector<int> clients;
  for (int i = 0; i < 3; i++) clients.push_back(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = listener->sa.sin_port;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  DescriptorsExhausted full;
  for (int c : clients) {
    ASSERT_EQ(connect(c, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  }
  for (int i = 0; i < 5; i++) ns_mgr_poll(&m.mgr, 20);
  EXPECT_TRUE(rec.accepted.empty());
  char c;
  for (int fd : clients) {
    EXPECT_TRUE(Readable(fd, 1000) && recv(fd, &c, 1, MSG_DONTWAIT) == 0) << "closed at once";
  }
  const unsigned long long start = PlatformMonotonicMs();
  ns_mgr_poll(&m.mgr, 300);
  EXPECT_GE(PlatformMonotonicMs() - start, 250u) << "nothing pending: the pass waits";

  full.Release();
  for (int fd : clients) close(fd);
  sock_t fd = ConnectClient(PortOf(listener));
  ASSERT_TRUE(PollUntil(&m.mgr, [&] { return rec.accepted.size() == 1; }));
  PlatformSocketClose(fd);
}

// An HTTP-speaking handler for a real client: answers once the header block
// is in, then closes after the reply left.
void HttpOkHandler(ns_conn* nc, int ev, void*) {
  if (ev != NS_EV_RECV) return;
  std::string_view in(nc->recv_mbuf.buf, nc->recv_mbuf.len);
  if (in.find("\r\n\r\n") == std::string_view::npos) return;
  ns_printf(nc, "HTTP/1.1 200 OK\r\nContent-Length: %d\r\nConnection: close\r\n\r\n%s", 5, "howdy");
  mbuf_remove(&nc->recv_mbuf, nc->recv_mbuf.len);
  nc->flags |= NCF_SEND_AND_CLOSE;
}

TEST(RealClient, CurlGetsTheReply) {
  Manager m;
  ns_conn* listener = ns_bind(&m.mgr, "127.0.0.1:0", HttpOkHandler);
  ASSERT_NE(listener, nullptr);
  std::string cmd =
      "curl -s --max-time 10 http://127.0.0.1:" + std::to_string(PortOf(listener)) + "/x";
  std::atomic<bool> done{false};
  std::string out;
  std::thread client = nettest::RunCommandAsync(cmd, &out, &done);
  PollUntil(
      &m.mgr, [&] { return done.load(); }, 2000);
  client.join();
  EXPECT_EQ(out, "howdy");
}

}  // namespace
