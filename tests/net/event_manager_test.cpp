// Dispatch, formatted sending, the poll pass's bookkeeping, the control pair
// and shutdown of the event manager.
#include "net/event_manager.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <thread>

#include "net/socket_io.h"
#include "net_test_util.h"
#include "tests/temp_dir.h"

using namespace nettest;

namespace {

// The handler under test writes flags_to into the connection's flags.
uint32_t g_flags_to = 0;
void FlagWriter(ns_conn* nc, int, void*) {
  nc->flags = g_flags_to;
}

struct FlagCase {
  uint32_t before;
  uint32_t handler_sets;
  uint32_t after;
  const char* why;
};

TEST(Dispatch, HandlerKeepsOnlyItsOwnBits) {
  const FlagCase cases[] = {
      {NCF_LISTENING, NCF_LISTENING | NCF_UDP, NCF_LISTENING, "setting UDP is undone"},
      {NCF_LISTENING, 0, NCF_LISTENING, "clearing LISTENING is undone"},
      {0, NCF_SEND_AND_CLOSE | NCF_USER_3, NCF_SEND_AND_CLOSE | NCF_USER_3, "handler bits kept"},
      {NCF_SSL_HANDSHAKE_DONE | NCF_SSL_WANT_READ, NCF_CLOSE_IMMEDIATELY,
       NCF_SSL_HANDSHAKE_DONE | NCF_SSL_WANT_READ | NCF_CLOSE_IMMEDIATELY,
       "TLS state restored, close kept"},
      {NCF_HOLD_SEND | NCF_USER_6, 0, 0, "handler may clear its own bits"},
      {0, NCF_WS_NO_REASSEMBLY | NCF_USER_1, NCF_WS_NO_REASSEMBLY | NCF_USER_1, "creation bits"},
      {0, NCF_DELETE_CHUNK, 0, "chunk deletion lasts only while the handler runs"},
      {0, 0x08000000, 0, "unknown high bit is not the handler's"},
      {0, NCF_WEBSOCKET, NCF_WEBSOCKET, "an upgrade to WebSocket survives the event"},
      {NCF_WEBSOCKET, 0, NCF_WEBSOCKET, "a WebSocket stays one"},
  };
  for (const FlagCase& c : cases) {
    ns_conn* nc = ns_create_conn(nullptr, FlagWriter, ns_bind_opts{});
    ASSERT_NE(nc, nullptr);
    nc->flags = c.before;
    g_flags_to = c.handler_sets;
    ns_dispatch_event(nc, NS_EV_POLL, nullptr);
    EXPECT_EQ(nc->flags, c.after) << c.why;
    ns_destroy_conn(nc);
  }
}

int g_proto_calls = 0;
int g_user_calls = 0;
void ProtoHandler(ns_conn*, int, void*) {
  g_proto_calls++;
}
void UserHandler(ns_conn*, int, void*) {
  g_user_calls++;
}

TEST(Dispatch, ProtocolHandlerSeesEventsInsteadOfUserHandler) {
  ns_conn* nc = ns_create_conn(nullptr, UserHandler, ns_bind_opts{});
  g_proto_calls = g_user_calls = 0;
  ns_dispatch_event(nc, NS_EV_POLL, nullptr);
  nc->proto_handler = ProtoHandler;
  ns_dispatch_event(nc, NS_EV_POLL, nullptr);
  nc->proto_handler = nullptr;
  nc->handler = nullptr;
  ns_dispatch_event(nc, NS_EV_POLL, nullptr);  // no handler: nothing happens
  EXPECT_EQ(g_user_calls, 1);
  EXPECT_EQ(g_proto_calls, 1);
  ns_destroy_conn(nc);
}

TEST(CreateConn, TakesOnlyCreationBitsAndStartsUnlimited) {
  int marker = 0;
  ns_bind_opts opts{&marker, 0xFFFFFFFFu, nullptr};
  ns_conn* nc = ns_create_conn(nullptr, UserHandler, opts);
  EXPECT_EQ(nc->flags, kNcfCreationMask);
  EXPECT_EQ(nc->user_data, &marker);
  EXPECT_EQ(nc->sock, kInvalidSocket);
  EXPECT_EQ(nc->recv_limit, SIZE_MAX);
  EXPECT_GT(nc->last_io_time, 0);
  ns_destroy_conn(nc);
}

TEST(ConnList, LinkAtHeadAndUnlinkAnywhere) {
  ns_mgr mgr{};
  ns_conn* c[3];
  for (ns_conn*& p : c) {
    p = ns_create_conn(&mgr, nullptr, ns_bind_opts{});
    ns_link_conn(&mgr, p);
  }
  EXPECT_EQ(ns_next(&mgr, nullptr), c[2]);
  EXPECT_EQ(ns_next(&mgr, c[2]), c[1]);
  EXPECT_EQ(c[2]->prev, nullptr);
  mgr.set_rotation = c[1];  // the next pass was to start there
  ns_unlink_conn(c[1]);     // middle
  EXPECT_EQ(c[2]->next, c[0]);
  EXPECT_EQ(c[0]->prev, c[2]);
  EXPECT_EQ(mgr.set_rotation, c[0]) << "the rotation moves on, never to a closed connection";
  ns_unlink_conn(c[2]);  // head
  EXPECT_EQ(mgr.connections, c[0]);
  EXPECT_EQ(c[0]->prev, nullptr);
  ns_unlink_conn(c[0]);
  EXPECT_EQ(mgr.connections, nullptr);
  for (ns_conn* p : c) ns_destroy_conn(p);
}

TEST(Printf, StackBufferUpTo500CharactersThenDoublingHeap) {
  struct Case {
    size_t len;
    size_t room;
  };
  const Case cases[] = {{0, 500},     {1, 500},     {499, 500},   {500, 500},     {501, 1000},
                        {1000, 1000}, {1001, 2000}, {2500, 4000}, {70000, 128000}};
  for (const Case& c : cases) {
    EXPECT_EQ(ns_format_capacity(kPrintfStackBytes, c.len), c.room) << c.len;

    ns_conn* nc = ns_create_conn(nullptr, nullptr, ns_bind_opts{});
    std::string text(c.len, 'x');
    if (c.len > 0) text.back() = 'Z';  // the last character must not be cut
    EXPECT_EQ(ns_printf(nc, "%s", text.c_str()), static_cast<int>(c.len));
    EXPECT_EQ(std::string(nc->send_mbuf.buf == nullptr ? "" : nc->send_mbuf.buf, nc->send_mbuf.len),
              text);
    ns_destroy_conn(nc);
  }
  EXPECT_EQ(ns_format_capacity(SIZE_MAX / 2 + 2, SIZE_MAX), 0u);
}

int FormatInto(char** buf, size_t size, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = ns_format_alloc(buf, size, fmt, ap);
  va_end(ap);
  return n;
}

TEST(Printf, FormatAllocMovesToHeapOnlyWhenTheTextDoesNotFit) {
  char mem[kPrintfStackBytes + 1];
  char* buf = mem;
  std::string text(500, 'a');
  EXPECT_EQ(FormatInto(&buf, kPrintfStackBytes, "%s", text.c_str()), 500);
  EXPECT_EQ(buf, mem);
  EXPECT_EQ(std::string(buf, 500), text);

  text += "b";
  EXPECT_EQ(FormatInto(&buf, kPrintfStackBytes, "%s", text.c_str()), 501);
  ASSERT_NE(buf, mem);
  EXPECT_EQ(std::string(buf, 501), text);
  free(buf);
}

TEST(Send, NegativeIntLengthSendsNothing) {
  ns_conn* nc = ns_create_conn(nullptr, nullptr, ns_bind_opts{});
  EXPECT_EQ(ns_send_int(nc, "abc", -1), 0);
  EXPECT_EQ(nc->send_mbuf.len, 0u);
  EXPECT_EQ(ns_send_int(nc, "abc", 3), 3);
  EXPECT_EQ(ns_send(nc, "de", 2), 2u);
  EXPECT_EQ(std::string(nc->send_mbuf.buf, nc->send_mbuf.len), "abcde");
  ns_destroy_conn(nc);
}

TEST(PollTimeout, SplitsMillisecondsIntoSecondsAndMicroseconds) {
  struct Case {
    int ms;
    long sec;
    long usec;
  };
  const Case cases[] = {{1500, 1, 500000}, {1000, 1, 0}, {999, 0, 999000}, {0, 0, 0}, {-5, 0, 0}};
  for (const Case& c : cases) {
    timeval tv = ns_poll_timeout(c.ms);
    EXPECT_EQ(tv.tv_sec, c.sec) << c.ms;
    EXPECT_EQ(tv.tv_usec, c.usec) << c.ms;
  }
}

// Once per second of the pass clock: the first pass of a second raises it.
TEST(Poll, IdlePassRaisesPollOnConnectionsButNotListeners) {
  Recorder rec;
  Manager m;
  ns_conn* listener = BindLoopback(&m.mgr, &rec);
  ASSERT_NE(listener, nullptr);
  sock_t fd = ConnectClient(PortOf(listener));
  ASSERT_TRUE(PollUntil(&m.mgr, [&] { return rec.accepted.size() == 1; }));
  rec.events.clear();

  m.mgr.last_poll_time = 0;
  int64_t t = ns_mgr_poll(&m.mgr, 0);
  ASSERT_EQ(rec.events.size(), 1u);
  EXPECT_EQ(rec.events[0].ev, NS_EV_POLL);
  EXPECT_EQ(rec.events[0].nc, rec.accepted[0]);
  EXPECT_GT(t, 0);
  rec.events.clear();
  if (ns_mgr_poll(&m.mgr, 0) == t) {
    EXPECT_TRUE(rec.events.empty()) << "not again in that second";
  }
  PlatformSocketClose(fd);
}

TEST(Poll, ReadableAndWritableConnectionIsReadThenWrittenWithoutPollEvent) {
  Recorder rec;
  Manager m;
  ns_conn* listener = BindLoopback(&m.mgr, &rec);
  sock_t fd = ConnectClient(PortOf(listener));
  ASSERT_TRUE(PollUntil(&m.mgr, [&] { return rec.accepted.size() == 1; }));
  ns_conn* nc = rec.accepted[0];
  ns_send(nc, "reply", 5);
  ASSERT_TRUE(SendAll(fd, "ping"));
  PlatformSleepMs(20);
  rec.events.clear();
  ns_mgr_poll(&m.mgr, 100);
  ASSERT_EQ(rec.events.size(), 2u);
  EXPECT_EQ(rec.events[0].ev, NS_EV_RECV);
  EXPECT_EQ(rec.events[1].ev, NS_EV_SEND);
  EXPECT_EQ(rec.events[1].count, 5);
  EXPECT_EQ(ReadSome(nullptr, fd, 5), "reply");
  PlatformSocketClose(fd);
}

TEST(Shutdown, FreeRunsOnePassThenClosesEveryConnectionOnce) {
  Recorder rec;
  ns_mgr mgr;
  ns_mgr_init(&mgr, nullptr);
  ns_conn* listener = BindLoopback(&mgr, &rec);
  sock_t fd = ConnectClient(PortOf(listener));
  ASSERT_TRUE(PollUntil(&mgr, [&] { return rec.accepted.size() == 1; }));
  rec.events.clear();
  mgr.last_poll_time = 0;
  ns_mgr_free(&mgr);
  ASSERT_EQ(rec.events.size(), 3u);
  EXPECT_EQ(rec.events[0].ev, NS_EV_POLL);  // the zero time-out pass
  EXPECT_EQ(rec.events[1].ev, NS_EV_CLOSE);
  EXPECT_EQ(rec.events[2].ev, NS_EV_CLOSE);
  EXPECT_NE(rec.events[1].nc, rec.events[2].nc);
  EXPECT_EQ(mgr.connections, nullptr);
  EXPECT_EQ(mgr.ctl[0], kInvalidSocket);
  EXPECT_EQ(mgr.ctl[1], kInvalidSocket);
  ns_mgr_free(nullptr);
  PlatformSocketClose(fd);
}

std::vector<std::pair<ns_conn*, std::string>> g_ctl_calls;
void CtlCallback(ns_conn* nc, int ev, void* data) {
  EXPECT_EQ(ev, NS_EV_POLL);
  g_ctl_calls.emplace_back(nc, std::string(static_cast<const char*>(data)));
}

TEST(ControlSocket, MessageRunsCallbackOnEveryConnectionAndIsAnswered) {
  Recorder rec;
  Manager m;
  ASSERT_NE(m.mgr.ctl[0], kInvalidSocket);
  ASSERT_NE(BindLoopback(&m.mgr, &rec), nullptr);
  ASSERT_NE(BindLoopback(&m.mgr, &rec, "udp://127.0.0.1:0"), nullptr);

  struct {
    ns_event_handler cb;
    char data[8];
  } msg{CtlCallback, "hello"};
  g_ctl_calls.clear();
  ASSERT_EQ(PlatformSocketSend(m.mgr.ctl[0], &msg, static_cast<int>(sizeof msg)),
            static_cast<int>(sizeof msg));
  ASSERT_TRUE(PollUntil(
      &m.mgr, [&] { return !g_ctl_calls.empty(); }, 50));
  ASSERT_EQ(g_ctl_calls.size(), 2u);
  EXPECT_EQ(g_ctl_calls[0].first, m.mgr.connections);
  EXPECT_EQ(g_ctl_calls[0].second, "hello");
  char echo = 0;
  ASSERT_TRUE(Readable(m.mgr.ctl[0], 1000));
  EXPECT_EQ(PlatformSocketRecv(m.mgr.ctl[0], &echo, 1), 1);
  EXPECT_EQ(echo, 'h');

  // A message too short for a callback is answered but runs nothing.
  g_ctl_calls.clear();
  ASSERT_EQ(PlatformSocketSend(m.mgr.ctl[0], "abc", 3), 3);
  ns_mgr_poll(&m.mgr, 100);
  EXPECT_TRUE(g_ctl_calls.empty());
}

TEST(ControlSocket, PostsFromAnotherThreadAllRunInTheLoop) {
  Recorder rec;
  Manager m;
  ASSERT_NE(BindLoopback(&m.mgr, &rec), nullptr);
  g_ctl_calls.clear();
  constexpr int kPosts = 50;
  std::thread poster([&] {
    char data[8] = "posted";
    for (int i = 0; i < kPosts; ++i)
      EXPECT_EQ(ns_mgr_post(&m.mgr, CtlCallback, data, sizeof data), 0);
  });
  const bool all = PollUntil(
      &m.mgr, [&] { return g_ctl_calls.size() == static_cast<size_t>(kPosts); }, 5000);
  poster.join();
  ASSERT_TRUE(all) << g_ctl_calls.size();
  EXPECT_EQ(g_ctl_calls.front().second, "posted");

  char too_long[kCtlDataBytes + 1] = {};
  EXPECT_EQ(ns_mgr_post(&m.mgr, CtlCallback, too_long, sizeof too_long), -1);
}

TEST(SocketPair, StreamAndDatagramEndsTalkBothWays) {
  for (int type : {SOCK_STREAM, SOCK_DGRAM}) {
    sock_t sp[2];
    ASSERT_EQ(ns_socketpair(sp, type), 1);
    sock_t a = sp[0], b = sp[1];
    EXPECT_EQ(PlatformSocketSend(a, "x", 1), 1);
    char c = 0;
    EXPECT_EQ(PlatformSocketRecv(b, &c, 1), 1);
    EXPECT_EQ(PlatformSocketSend(b, "y", 1), 1);
    EXPECT_EQ(PlatformSocketRecv(a, &c, 1), 1);
    EXPECT_EQ(c, 'y');
    EXPECT_FALSE(PlatformSocketInheritable(a)) << "a child process gets no copy";
    EXPECT_FALSE(PlatformSocketInheritable(b));
    PlatformSocketClose(a);
    PlatformSocketClose(b);
  }
}

TEST(Diagnostics, SinkOffWritesNothingSinkOnWritesTaggedLines) {
  testutil::TempDir dir("kv-net-diag-");
  FILE* mem = fopen(dir.File("diag.txt").c_str(), "w+b");
  ASSERT_NE(mem, nullptr);
  {
    Manager m;  // sink off: nothing may appear
    ns_mgr_poll(&m.mgr, 0);
  }
  ns_set_diag_stream(mem);
  {
    Manager m;
    ns_mgr_poll(&m.mgr, 0);
  }
  ns_set_diag_stream(nullptr);
  std::string out;
  rewind(mem);
  char chunk[4096];
  for (size_t n; (n = fread(chunk, 1, sizeof chunk, mem)) > 0;) out.append(chunk, n);
  fclose(mem);
  EXPECT_NE(out.find(" using select()\n"), std::string::npos);
  EXPECT_NE(out.find("==================================\n"), std::string::npos);
  EXPECT_NE(out.find("num_ev=0\n"), std::string::npos);
  // Every line starts with a location tag padded to 20 characters.
  size_t line_start = 0;
  while (line_start < out.size()) {
    EXPECT_EQ(out.compare(line_start, 8, "netloop:"), 0) << out.substr(line_start, 40);
    EXPECT_EQ(out[line_start + 20], ' ');
    line_start = out.find('\n', line_start) + 1;
  }
}

// Diagnostics never change what the I/O paths decide: a sink whose writes
// fail (here a pipe whose reader has gone) must not replace the error of the
// send it reports on. On Windows that error is the thread's last error, which
// the C runtime's failed write replaces too.
TEST(Diagnostics, FailingSinkDoesNotTurnWouldBlockIntoAnError) {
  Manager m;  // its start-up also keeps a broken pipe from raising SIGPIPE
  FILE* sink = popen("exit 0", "w");
  ASSERT_NE(sink, nullptr);
  for (int i = 0; i < 200 && !ferror(sink); i++) {
    fputs("probe\n", sink);
    fflush(sink);
    if (!ferror(sink)) PlatformSleepMs(10);
  }
  ASSERT_TRUE(ferror(sink)) << "the reader is gone";
  clearerr(sink);

  sock_t sp[2];
  ASSERT_EQ(ns_socketpair(sp, SOCK_STREAM), 1);
  ns_conn* nc = ns_add_sock(&m.mgr, sp[1], nullptr);
  ASSERT_NE(nc, nullptr);
  const std::string chunk(65536, 'f');
  while (PlatformSocketSend(sp[1], chunk.data(), static_cast<int>(chunk.size())) > 0) {
  }
  ASSERT_TRUE(PlatformSocketErrorIsTransient(PlatformSocketLastError())) << "the socket is full";
  ns_send(nc, "x", 1);
  ns_set_diag_stream(sink);
  ns_write_to_socket(nc);
  ns_set_diag_stream(nullptr);
  EXPECT_EQ(nc->flags & NCF_CLOSE_IMMEDIATELY, 0u) << "would-block is no error";
  EXPECT_EQ(nc->send_mbuf.len, 1u) << "the byte stays queued";
  PlatformSocketClose(sp[0]);
  pclose(sink);
}

}  // namespace
