// The read, write, accept and datagram paths through real loopback sockets
// and a real poll loop.
#include "net/socket_io.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

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
  sock_t fd = ConnectClient(PortOf(listener));
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(PollUntil(&m.mgr, [&] { return rec.accepted.size() == 1; }));
  ns_conn* nc = rec.accepted[0];
  EXPECT_EQ(nc->listener, listener);
  EXPECT_EQ(nc->flags, 0u) << "listener flags are not inherited";
  EXPECT_EQ(nc->sa.sin_port, 0) << "accepted connections keep a zero sa";
  sockaddr_in local{};
  ASSERT_EQ(PlatformSocketLocalAddress(fd, &local), 0);
  EXPECT_EQ(g_last_accept_peer.sin_port, local.sin_port);

  for (const std::string& msg : {std::string("hello"), std::string(10000, 'q')}) {
    ASSERT_TRUE(SendAll(fd, msg));
    EXPECT_EQ(ReadSome(&m.mgr, fd, msg.size()), msg);
  }
  PlatformSocketClose(fd);
  ASSERT_TRUE(PollUntil(&m.mgr, [&] { return rec.Count(NS_EV_CLOSE) == 1; }));
}

TEST(StreamIo, ManyClientsAreAllAcceptedAndAnswered) {
  Recorder rec;
  Manager m;
  rec.echo = true;
  ns_conn* listener = BindLoopback(&m.mgr, &rec);
  constexpr int kClients = 30;
  sock_t fds[kClients];
  // A burst waits in the backlog together (a backlog of 5 dropped the rest,
  // whose clients retried a second later) and is taken in one pass.
  for (sock_t& fd : fds) {
    fd = StartConnect(PortOf(listener));
    ASSERT_NE(fd, kInvalidSocket);
  }
  for (int pass = 0; pass < 50 && rec.accepted.empty(); pass++) ns_mgr_poll(&m.mgr, 10);
  ASSERT_EQ(rec.accepted.size(), size_t(kClients)) << "the whole burst in the first pass";
  for (int i = 0; i < kClients; i++) {
    std::string msg = "client " + std::to_string(i);
    ASSERT_TRUE(SendAll(fds[i], msg));
    EXPECT_EQ(ReadSome(&m.mgr, fds[i], msg.size()), msg);
  }
  for (sock_t fd : fds) PlatformSocketClose(fd);
}

TEST(StreamIo, FiveThousandBytesArriveAsThreeReceiveEvents) {
  Recorder rec;
  Manager m;
  ns_conn* listener = BindLoopback(&m.mgr, &rec);
  sock_t fd = ConnectClient(PortOf(listener));
  ASSERT_TRUE(PollUntil(&m.mgr, [&] { return rec.accepted.size() == 1; }));
  ASSERT_TRUE(SendAll(fd, std::string(5000, 'r')));
  PlatformSleepMs(50);
  rec.events.clear();
  ns_mgr_poll(&m.mgr, 100);
  ASSERT_EQ(rec.Counts(NS_EV_RECV), (std::vector<int>{2048, 2048, 904}));
  std::vector<size_t> seen;
  for (const Event& e : rec.events) seen.push_back(e.recv_len);
  EXPECT_EQ(seen, (std::vector<size_t>{2048, 4096, 5000})) << "each event after its append";
  EXPECT_EQ(rec.Count(NS_EV_CLOSE), 0) << "would-block ends the loop without closing";
  EXPECT_EQ(rec.accepted[0]->flags & NCF_CLOSE_IMMEDIATELY, 0u);
  PlatformSocketClose(fd);
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
  sock_t fd = ConnectClient(PortOf(listener));
  ASSERT_TRUE(PollUntil(&m.mgr, [&] { return rec.accepted.size() == 1; }));
  ASSERT_TRUE(SendAll(fd, std::string(5000, 'r')));
  PlatformSleepMs(50);
  rec.events.clear();
  ns_mgr_poll(&m.mgr, 100);
  EXPECT_EQ(rec.Counts(NS_EV_RECV), (std::vector<int>{2048}));
  EXPECT_EQ(rec.Count(NS_EV_CLOSE), 1);
  EXPECT_EQ(m.mgr.connections, listener);
  PlatformSocketClose(fd);
}

TEST(StreamIo, PeerCloseRaisesCloseOnceSeen) {
  Recorder rec;
  Manager m;
  ns_conn* listener = BindLoopback(&m.mgr, &rec);
  sock_t fd = ConnectClient(PortOf(listener));
  ASSERT_TRUE(PollUntil(&m.mgr, [&] { return rec.accepted.size() == 1; }));
  ASSERT_TRUE(SendAll(fd, "abc"));
  PlatformSocketClose(fd);
  PlatformSleepMs(50);
  rec.events.clear();
  ns_mgr_poll(&m.mgr, 100);
  // A short read leaves the end of the stream to the next pass.
  if (rec.events.size() == 1) ns_mgr_poll(&m.mgr, 100);
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

  sock_t fd = PlatformSocketOpen(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(PlatformSocketSetIntOption(fd, SOL_SOCKET, SO_RCVBUF, 4096), 0);
  sockaddr_in sa = listener->sa;
  ASSERT_EQ(PlatformSocketConnect(fd, &sa), 0);
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
  ASSERT_EQ(PlatformSocketSetNonBlocking(fd), 0);
  for (int i = 0; i < 20000 && rec.Count(NS_EV_CLOSE) == 0; i++) {
    ns_mgr_poll(&m.mgr, 1);
    int n = PlatformSocketRecv(fd, buf, static_cast<int>(sizeof buf));
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
  EXPECT_EQ(PlatformSocketRecv(fd, buf, 1), 0) << "closed after the drain";
  PlatformSocketClose(fd);
}

TEST(StreamIo, HoldSendKeepsDataQueued) {
  Recorder rec;
  Manager m;
  rec.greeting = "held";
  rec.flags_on_accept = NCF_HOLD_SEND;
  ns_conn* listener = BindLoopback(&m.mgr, &rec);
  sock_t fd = ConnectClient(PortOf(listener));
  ASSERT_TRUE(PollUntil(&m.mgr, [&] { return rec.accepted.size() == 1; }));
  for (int i = 0; i < 5; i++) ns_mgr_poll(&m.mgr, 1);
  EXPECT_FALSE(Readable(fd, 20));
  EXPECT_EQ(rec.Count(NS_EV_SEND), 0);
  rec.accepted[0]->flags &= ~NCF_HOLD_SEND;
  EXPECT_EQ(ReadSome(&m.mgr, fd, 4), "held");
  PlatformSocketClose(fd);
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
  sock_t fd = PlatformSocketOpen(AF_INET, SOCK_DGRAM, 0);
  ASSERT_NE(fd, kInvalidSocket);
  sockaddr_in to = udp->sa;

  struct Case {
    size_t sent;
    size_t delivered;
  };
  for (Case c : {Case{4, 4}, Case{2000, 2000}, Case{3000, 2000}}) {
    g_udp = UdpSeen{};
    std::string msg = Pattern(c.sent);
    ASSERT_EQ(PlatformSocketSendTo(fd, msg.data(), static_cast<int>(msg.size()), &to),
              static_cast<int>(msg.size()));
    ASSERT_TRUE(PollUntil(
        &m.mgr, [&] { return g_udp.count != 0; }, 100));
    EXPECT_EQ(static_cast<size_t>(g_udp.count), c.delivered);
    EXPECT_NE(g_udp.nc, udp) << "the handler gets the temporary record";
    EXPECT_EQ(g_udp.listener, udp);
    EXPECT_EQ(g_udp.flags, NCF_UDP);
    ASSERT_TRUE(Readable(fd, 1000));
    char buf[4096];
    sockaddr_in from{};
    int n = PlatformSocketRecvFrom(fd, buf, static_cast<int>(sizeof buf), &from);
    EXPECT_EQ(std::string(buf, static_cast<size_t>(n > 0 ? n : 0)), msg.substr(0, c.delivered));
    EXPECT_EQ(from.sin_port, udp->sa.sin_port);
  }
  EXPECT_EQ(udp->send_mbuf.len, 0u) << "nothing of a datagram stays queued";
  EXPECT_EQ(udp->recv_mbuf.len, 0u);

  // Flags set on the temporary record reach the real one.
  g_udp = UdpSeen{};
  g_udp.set_flags = NCF_USER_3;
  PlatformSocketSendTo(fd, "x", 1, &to);
  ASSERT_TRUE(PollUntil(
      &m.mgr, [&] { return g_udp.count != 0; }, 100));
  EXPECT_EQ(udp->flags, NCF_UDP | NCF_USER_3);

  g_udp = UdpSeen{};
  g_udp.set_flags = NCF_CLOSE_IMMEDIATELY;
  PlatformSocketSendTo(fd, "x", 1, &to);
  ASSERT_TRUE(PollUntil(
      &m.mgr, [&] { return g_udp.count != 0; }, 100));
  EXPECT_EQ(m.mgr.connections, nullptr) << "closed at the end of the pass";
  PlatformSocketClose(fd);
}

TEST(Crowd, ListenerStillAcceptsWith100IdleConnections) {
  Recorder rec;
  Manager m;
  rec.echo = true;
  ns_conn* listener = BindLoopback(&m.mgr, &rec);
  std::vector<sock_t> idle;
  for (int i = 0; i < 100; i++) {
    idle.push_back(ConnectClient(PortOf(listener)));
    ASSERT_TRUE(PollUntil(&m.mgr, [&] { return rec.accepted.size() == idle.size(); })) << i;
  }
  for (int i = 0; i < 3; i++) ns_mgr_poll(&m.mgr, 1);

  sock_t fd = ConnectClient(PortOf(listener));
  ASSERT_TRUE(PollUntil(&m.mgr, [&] { return rec.accepted.size() == 101; }));
  ASSERT_TRUE(SendAll(fd, "still here"));
  EXPECT_EQ(ReadSome(&m.mgr, fd, 10), "still here");
  PlatformSocketClose(fd);
  for (sock_t c : idle) PlatformSocketClose(c);
}

// Every connection gets its turn however many are open: the sets hold every
// socket select() can watch, and where the platform's sets are counted
// (Windows: 64 places) the connections left out of one pass come first in
// the next.
TEST(Crowd, EveryClientIsAnswered) {
  struct Row {
    size_t set_limit;
    int clients;
    const char* why;
  };
  const Row rows[] = {
      {0, 100, "beyond 64 connections: the 64th and later were never read"},
      {8, 30, "counted sets of 8 places: a rotation serves the rest"},
  };
  for (const Row& r : rows) {
    Recorder rec;
    Manager m;
    rec.echo = true;
    if (r.set_limit != 0) m.mgr.set_limit = r.set_limit;
    ns_conn* listener = BindLoopback(&m.mgr, &rec);
    std::vector<sock_t> fds;
    for (int i = 0; i < r.clients; i++) {
      fds.push_back(ConnectClient(PortOf(listener)));
      ASSERT_TRUE(PollUntil(&m.mgr, [&] { return rec.accepted.size() == fds.size(); })) << r.why;
    }
    for (size_t i = 0; i < fds.size(); i++) ASSERT_TRUE(SendAll(fds[i], "c" + std::to_string(i)));
    int answered = 0;
    for (size_t i = 0; i < fds.size(); i++) {
      answered +=
          ReadSome(&m.mgr, fds[i], 1 + std::to_string(i).size(), 50) == "c" + std::to_string(i);
    }
    EXPECT_EQ(answered, r.clients) << r.why;
    for (sock_t fd : fds) PlatformSocketClose(fd);
  }
}

// A connection is read at most kReadChunksPerPass chunks per pass, so a
// client that never stops sending cannot hold the others back.
TEST(Crowd, FastSenderIsReadInBoundedChunksPerPass) {
  Recorder rec;
  Manager m;
  ns_conn* listener = BindLoopback(&m.mgr, &rec);
  sock_t fast = ConnectClient(PortOf(listener));
  sock_t other = ConnectClient(PortOf(listener));
  ASSERT_TRUE(PollUntil(&m.mgr, [&] { return rec.accepted.size() == 2; }));
  ns_conn* fast_nc = rec.accepted[0];
  ns_conn* other_nc = rec.accepted[1];
  ASSERT_TRUE(SendAll(fast, std::string(65536, 'f')));
  ASSERT_TRUE(SendAll(other, "me too"));
  PlatformSleepMs(50);
  rec.events.clear();
  ns_mgr_poll(&m.mgr, 100);
  EXPECT_EQ(rec.Counts(NS_EV_RECV, fast_nc), std::vector<int>(kReadChunksPerPass, 2048));
  EXPECT_EQ(rec.Counts(NS_EV_RECV, other_nc), (std::vector<int>{6})) << "served in the same pass";
  ASSERT_TRUE(PollUntil(&m.mgr, [&] { return fast_nc->recv_mbuf.len == 65536; }))
      << "the rest in the passes after";
  PlatformSocketClose(fast);
  PlatformSocketClose(other);
}

// A buffer that grew for one large message gives its storage back once the
// message has been consumed; before, every connection kept the largest
// request and reply it ever carried until it closed.
TEST(StreamIo, BuffersShrinkBackAfterALargeMessage) {
  Recorder rec;
  Manager m;
  ns_conn* listener = BindLoopback(&m.mgr, &rec);
  sock_t fd = ConnectClient(PortOf(listener));
  ASSERT_TRUE(PollUntil(&m.mgr, [&] { return rec.accepted.size() == 1; }));
  ns_conn* nc = rec.accepted[0];
  const size_t big = 200000;
  std::thread writer([fd, big] { SendAll(fd, std::string(big, 'u')); });
  ASSERT_TRUE(PollUntil(&m.mgr, [&] { return nc->recv_mbuf.len == big; }));
  writer.join();
  ASSERT_GT(nc->recv_mbuf.size, big);
  mbuf_remove(&nc->recv_mbuf, big);  // as the HTTP layer does after the request
  ns_send(nc, std::string(big, 'd').data(), big);
  ASSERT_GT(nc->send_mbuf.size, big);
  EXPECT_EQ(ReadSome(&m.mgr, fd, big).size(), big);
  ns_mgr_poll(&m.mgr, 1);
  EXPECT_LE(nc->recv_mbuf.size, kBufferKeepBytes);
  EXPECT_LE(nc->send_mbuf.size, kBufferKeepBytes);
  PlatformSocketClose(fd);
}

bool HasIpv6Loopback() {
  sock_t s = PlatformSocketOpen(AF_INET6, SOCK_STREAM, 0);
  if (s == kInvalidSocket) return false;
  const bool ok = PlatformSocketBindLoopback6(s, 0) == 0;
  PlatformSocketClose(s);
  return ok;
}

// Browsers try [::1] first for "localhost": the IPv6 twin of a loopback
// listener takes the same port beside the IPv4 one and serves alike.
TEST(Loopback6, TwinListenerOnTheSamePortAcceptsAndEchoes) {
  if (!HasIpv6Loopback()) GTEST_SKIP() << "no IPv6 loopback here";
  Recorder rec;
  Manager m;
  rec.echo = true;
  ns_bind_opts opts{&rec, 0, nullptr};
  ns_conn* v4 = ns_bind_opt(&m.mgr, "127.0.0.1:0", AcceptPeerRecorder, opts);
  ASSERT_NE(v4, nullptr);
  ns_conn* v6 = ns_bind_loopback6(&m.mgr, PortOf(v4), AcceptPeerRecorder, opts);
  ASSERT_NE(v6, nullptr);
  EXPECT_EQ(v6->sa.sin_family, AF_INET6);
  EXPECT_EQ(v6->sa.sin_port, v4->sa.sin_port);
  EXPECT_NE(v6->flags & NCF_LISTENING, 0u);

  sock_t fd = PlatformSocketOpen(AF_INET6, SOCK_STREAM, 0);
  ASSERT_EQ(PlatformSocketConnectLoopback6(fd, PortOf(v4)), 0);
  ASSERT_TRUE(SendAll(fd, "over six"));
  EXPECT_EQ(ReadSome(&m.mgr, fd, 8), "over six");
  sockaddr_in local{};
  ASSERT_EQ(PlatformSocketLocalAddress(fd, &local), 0);
  EXPECT_EQ(local.sin_family, AF_INET6);
  EXPECT_EQ(g_last_accept_peer.sin_family, AF_INET6) << "an IPv6 peer, told as such";
  EXPECT_EQ(g_last_accept_peer.sin_port, local.sin_port);
  EXPECT_EQ(g_last_accept_peer.sin_addr.s_addr, 0u) << "no IPv4 address to give";
  PlatformSocketClose(fd);
  EXPECT_EQ(ns_bind_loopback6(&m.mgr, PortOf(v4), nullptr, ns_bind_opts{}), nullptr)
      << "the port is taken on [::1] now";
}

}  // namespace
