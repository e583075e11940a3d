// The read, write, accept and datagram paths through real loopback sockets
// and a real poll loop.
#include "net/socket_io.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "net_test_util.h"

using namespace nettest;

namespace {

sockaddr_in g_last_accept_peer;
void AcceptPeerRecorder(ns_conn* nc, int ev, void* ev_data) {
  if (ev == NS_EV_ACCEPT) g_last_accept_peer = *static_cast<sockaddr_in*>(ev_data);
  RecordingHandler(nc, ev, ev_data);
}

TEST(StreamIo, EchoAndAcceptAddressIsThePeer) {
  Recorder rec;
  Manager m;
  rec.echo = true;
  ns_bind_opts opts{&rec, 0, nullptr};
  ns_conn* listener = ns_bind_opt(&m.mgr, "127.0.0.1:0", AcceptPeerRecorder, opts);
  ASSERT_NE(listener, nullptr);
  int fd = ConnectClient(PortOf(listener));
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(PollUntil(&m.mgr, [&] { return rec.accepted.size() == 1; }));
  ns_conn* nc = rec.accepted[0];
  EXPECT_EQ(nc->listener, listener);
  EXPECT_EQ(nc->flags, 0u) << "listener flags are not inherited";
  EXPECT_EQ(nc->sa.sin_port, 0) << "accepted connections keep a zero sa";
  sockaddr_in local{};
  socklen_t len = sizeof local;
  getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len);
  EXPECT_EQ(g_last_accept_peer.sin_port, local.sin_port);

  for (const std::string& msg : {std::string("hello"), std::string(10000, 'q')}) {
    ASSERT_TRUE(SendAll(fd, msg));
    EXPECT_EQ(ReadSome(&m.mgr, fd, msg.size()), msg);
  }
  close(fd);
  ASSERT_TRUE(PollUntil(&m.mgr, [&] { return rec.Count(NS_EV_CLOSE) == 1; }));
}

TEST(StreamIo, ManyClientsAreAllAcceptedAndAnswered) {
  Recorder rec;
  Manager m;
  rec.echo = true;
  ns_conn* listener = BindLoopback(&m.mgr, &rec);
  constexpr int kClients = 30;
  int fds[kClients];
  // Connect in groups as large as the listen backlog: each group waits in
  // the backlog together and is taken one connection per pass.
  for (int i = 0; i < kClients; i++) {
    fds[i] = ConnectClient(PortOf(listener));
    ASSERT_GE(fds[i], 0);
    if ((i + 1) % kListenBacklog == 0) {
      ASSERT_TRUE(PollUntil(&m.mgr, [&] { return rec.accepted.size() == size_t(i + 1); }));
    }
  }
  ASSERT_EQ(rec.accepted.size(), size_t(kClients));
  for (int i = 0; i < kClients; i++) {
    std::string msg = "client " + std::to_string(i);
    ASSERT_TRUE(SendAll(fds[i], msg));
    EXPECT_EQ(ReadSome(&m.mgr, fds[i], msg.size()), msg);
  }
  for (int fd : fds) close(fd);
}

TEST(StreamIo, FiveThousandBytesArriveAsThreeReceiveEvents) {
  Recorder rec;
  Manager m;
  ns_conn* listener = BindLoopback(&m.mgr, &rec);
  int fd = ConnectClient(PortOf(listener));
  ASSERT_TRUE(PollUntil(&m.mgr, [&] { return rec.accepted.size() == 1; }));
  ASSERT_TRUE(SendAll(fd, std::string(5000, 'r')));
  usleep(50000);
  rec.events.clear();
  ns_mgr_poll(&m.mgr, 100);
  ASSERT_EQ(rec.Counts(NS_EV_RECV), (std::vector<int>{2048, 2048, 904}));
  std::vector<size_t> seen;
  for (const Event& e : rec.events) seen.push_back(e.recv_len);
  EXPECT_EQ(seen, (std::vector<size_t>{2048, 4096, 5000})) << "each event after its append";
  EXPECT_EQ(rec.Count(NS_EV_CLOSE), 0) << "would-block ends the loop without closing";
  EXPECT_EQ(rec.accepted[0]->flags & NCF_CLOSE_IMMEDIATELY, 0u);
  close(fd);
}

void CloseOnReceive(ns_conn* nc, int ev, void* ev_data) {
  RecordingHandler(nc, ev, ev_data);
  if (ev == NS_EV_RECV) nc->flags |= NCF_CLOSE_IMMEDIATELY;
}

// A connection marked for closing is read no further in that pass: the rest
// of what the peer sent is not buffered nor shown to the handler.
TEST(StreamIo, HandlerThatClosesOnReceiveStopsTheReadLoop) {
  Recorder rec;
  Manager m;
  ns_bind_opts opts{&rec, 0, nullptr};
  ns_conn* listener = ns_bind_opt(&m.mgr, "127.0.0.1:0", CloseOnReceive, opts);
  ASSERT_NE(listener, nullptr);
  int fd = ConnectClient(PortOf(listener));
  ASSERT_TRUE(PollUntil(&m.mgr, [&] { return rec.accepted.size() == 1; }));
  ASSERT_TRUE(SendAll(fd, std::string(5000, 'r')));
  usleep(50000);
  rec.events.clear();
  ns_mgr_poll(&m.mgr, 100);
  EXPECT_EQ(rec.Counts(NS_EV_RECV), (std::vector<int>{2048}));
  EXPECT_EQ(rec.Count(NS_EV_CLOSE), 1);
  EXPECT_EQ(m.mgr.connections, listener);
  close(fd);
}

TEST(StreamIo, PeerCloseRaisesCloseAtTheEndOfThatPass) {
  Recorder rec;
  Manager m;
  ns_conn* listener = BindLoopback(&m.mgr, &rec);
  int fd = ConnectClient(PortOf(listener));
  ASSERT_TRUE(PollUntil(&m.mgr, [&] { return rec.accepted.size() == 1; }));
  ASSERT_TRUE(SendAll(fd, "abc"));
  close(fd);
  usleep(50000);
  rec.events.clear();
  ns_mgr_poll(&m.mgr, 100);
  ASSERT_EQ(rec.events.size(), 2u);
  EXPECT_EQ(rec.events[0].ev, NS_EV_RECV);
  EXPECT_EQ(rec.events[0].count, 3);
  EXPECT_EQ(rec.events[1].ev, NS_EV_CLOSE);
  EXPECT_EQ(m.mgr.connections, listener) << "only the listener is left";
}

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++) s[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  return s;
}

TEST(StreamIo, PartialSendsStayQueuedAndSendAndCloseWaitsForTheLastByte) {
  Recorder rec;
  Manager m;
  const std::string big = Pattern(4 << 20);
  rec.greeting = big;
  rec.flags_on_accept = NCF_SEND_AND_CLOSE;
  ns_conn* listener = BindLoopback(&m.mgr, &rec);

  int fd = socket(AF_INET, SOCK_STREAM, 0);
  int small = 4096;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  sockaddr_in sa = listener->sa;
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  ASSERT_TRUE(PollUntil(&m.mgr, [&] { return rec.Count(NS_EV_SEND) >= 1; }));
  ns_conn* nc = rec.accepted[0];
  int first = rec.Counts(NS_EV_SEND)[0];
  ASSERT_GT(first, 0);
  ASSERT_LT(static_cast<size_t>(first), big.size()) << "the socket took only part";
  EXPECT_EQ(nc->send_mbuf.len, big.size() - static_cast<size_t>(first));
  EXPECT_EQ(std::string(nc->send_mbuf.buf, 16), big.substr(static_cast<size_t>(first), 16));

  // The connection must live until the last byte left, then close that pass.
  std::string got;
  char buf[65536];
  for (int i = 0; i < 20000 && rec.Count(NS_EV_CLOSE) == 0; i++) {
    ns_mgr_poll(&m.mgr, 1);
    ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) got.append(buf, static_cast<size_t>(n));
  }
  ASSERT_EQ(rec.Count(NS_EV_CLOSE), 1);
  EXPECT_EQ(rec.events.back().ev, NS_EV_CLOSE);
  EXPECT_EQ(rec.events.back().send_len, 0u) << "closed only once drained";
  EXPECT_GT(rec.Count(NS_EV_SEND), 1);
  got += ReadSome(nullptr, fd, big.size() - got.size());
  EXPECT_EQ(got.size(), big.size());
  EXPECT_TRUE(got == big) << "bytes arrive complete and in order";
  ASSERT_TRUE(Readable(fd, 1000));
  EXPECT_EQ(recv(fd, buf, 1, 0), 0) << "closed after the drain";
  close(fd);
}

TEST(StreamIo, HoldSendKeepsDataQueued) {
  Recorder rec;
  Manager m;
  rec.greeting = "held";
  rec.flags_on_accept = NCF_HOLD_SEND;
  ns_conn* listener = BindLoopback(&m.mgr, &rec);
  int fd = ConnectClient(PortOf(listener));
  ASSERT_TRUE(PollUntil(&m.mgr, [&] { return rec.accepted.size() == 1; }));
  for (int i = 0; i < 5; i++) ns_mgr_poll(&m.mgr, 1);
  EXPECT_FALSE(Readable(fd, 20));
  EXPECT_EQ(rec.Count(NS_EV_SEND), 0);
  rec.accepted[0]->flags &= ~NCF_HOLD_SEND;
  EXPECT_EQ(ReadSome(&m.mgr, fd, 4), "held");
  close(fd);
}

// Datagram handler: records, echoes, and applies the flags asked for.
struct UdpSeen {
  ns_conn* nc = nullptr;
  ns_conn* listener = nullptr;
  uint32_t flags = 0;
  int count = 0;
  uint32_t set_flags = 0;
};
UdpSeen g_udp;
void UdpHandler(ns_conn* nc, int ev, void* ev_data) {
  if (ev != NS_EV_RECV) return;
  g_udp.nc = nc;
  g_udp.listener = nc->listener;
  g_udp.flags = nc->flags;
  g_udp.count = *static_cast<int32_t*>(ev_data);
  ns_send(nc, nc->recv_mbuf.buf, nc->recv_mbuf.len);
  nc->flags |= g_udp.set_flags;
}

TEST(DatagramIo, ReplyGoesToTheSenderAndLongDatagramsAreCut) {
  Manager m;
  ns_conn* udp = ns_bind(&m.mgr, "udp://127.0.0.1:0", UdpHandler);
  ASSERT_NE(udp, nullptr);
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to = udp->sa;

  struct Case {
    size_t sent;
    size_t delivered;
  };
  for (Case c : {Case{4, 4}, Case{2000, 2000}, Case{3000, 2000}}) {
    g_udp = UdpSeen{};
    std::string msg = Pattern(c.sent);
    ASSERT_EQ(sendto(fd, msg.data(), msg.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
              static_cast<ssize_t>(msg.size()));
    ASSERT_TRUE(PollUntil(
        &m.mgr, [&] { return g_udp.count != 0; }, 100));
    EXPECT_EQ(static_cast<size_t>(g_udp.count), c.delivered);
    EXPECT_NE(g_udp.nc, udp) << "the handler gets the temporary record";
    EXPECT_EQ(g_udp.listener, udp);
    EXPECT_EQ(g_udp.flags, NCF_UDP);
    ASSERT_TRUE(Readable(fd, 1000));
    char buf[4096];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
    EXPECT_EQ(std::string(buf, static_cast<size_t>(n > 0 ? n : 0)), msg.substr(0, c.delivered));
    EXPECT_EQ(from.sin_port, udp->sa.sin_port);
  }
  EXPECT_EQ(udp->send_mbuf.len, 0u) << "nothing of a datagram stays queued";
  EXPECT_EQ(udp->recv_mbuf.len, 0u);

  // Flags set on the temporary record reach the real one.
  g_udp = UdpSeen{};
  g_udp.set_flags = NCF_USER_3;
  sendto(fd, "x", 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  ASSERT_TRUE(PollUntil(
      &m.mgr, [&] { return g_udp.count != 0; }, 100));
  EXPECT_EQ(udp->flags, NCF_UDP | NCF_USER_3);

  g_udp = UdpSeen{};
  g_udp.set_flags = NCF_CLOSE_IMMEDIATELY;
  sendto(fd, "x", 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  ASSERT_TRUE(PollUntil(
      &m.mgr, [&] { return g_udp.count != 0; }, 100));
  EXPECT_EQ(m.mgr.connections, nullptr) << "closed at the end of the pass";
  close(fd);
}

TEST(Crowd, ListenerStillAcceptsWith100IdleConnections) {
  Recorder rec;
  Manager m;
  rec.echo = true;
  ns_conn* listener = BindLoopback(&m.mgr, &rec);
  std::vector<int> idle;
  for (int i = 0; i < 100; i++) {
    idle.push_back(ConnectClient(PortOf(listener)));
    ASSERT_TRUE(PollUntil(&m.mgr, [&] { return rec.accepted.size() == idle.size(); })) << i;
  }
  for (int i = 0; i < 3; i++) ns_mgr_poll(&m.mgr, 1);

  int fd = ConnectClient(PortOf(listener));
  ASSERT_TRUE(PollUntil(&m.mgr, [&] { return rec.accepted.size() == 101; }));
  ASSERT_TRUE(SendAll(fd, "still here"));
  EXPECT_EQ(ReadSome(&m.mgr, fd, 10), "still here");
  close(fd);
  for (int c : idle) close(c);
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

  int fd = ConnectClient(PortOf(listener));
  ASSERT_TRUE(PollUntil(&m.mgr, [&] { return rec.accepted.size() == 1; }));
  ASSERT_TRUE(SendAll(fd, "near"));
  EXPECT_EQ(ReadSome(&m.mgr, fd, 4), "near");
  EXPECT_GT(rec.Counts(NS_EV_POLL, far).size(), 0u) << "never ready, so polled";
  EXPECT_EQ(rec.Counts(NS_EV_RECV, far).size(), 0u);
  close(fd);
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
  int fd = ConnectClient(PortOf(listener));  // itself above FD_SETSIZE
  ASSERT_GE(fd, FD_SETSIZE);
  for (int i = 0; i < 10; i++) ns_mgr_poll(&m.mgr, 5);
  EXPECT_EQ(rec.accepted.size(), 0u);
  EXPECT_EQ(m.mgr.connections, listener);
  ASSERT_TRUE(Readable(fd, 1000));
  char c;
  EXPECT_LE(recv(fd, &c, 1, 0), 0) << "the peer sees the close";
  close(fd);

  for (int f : fillers) close(f);
  int fd2 = ConnectClient(PortOf(listener));
  ASSERT_TRUE(PollUntil(&m.mgr, [&] { return rec.accepted.size() == 1; }));
  close(fd2);
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
