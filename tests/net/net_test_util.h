// Helpers of the network-core tests: a recording handler, a poll-until loop
// and blocking loopback clients. The clients use the platform's socket calls,
// so that the same tests run on POSIX and Windows.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "net/event_manager.h"
#include "net/listener.h"
#include "platform/platform.h"
#include "platform/socket.h"

namespace nettest {

struct Event {
  ns_conn* nc;
  int ev;
  int count;        // NS_EV_RECV/NS_EV_SEND: the event's number
  size_t recv_len;  // recv_mbuf.len when the event was raised
  size_t send_len;  // send_mbuf.len when the event was raised
};

// What a recording handler saw, plus what it should do on each event.
struct Recorder {
  std::vector<Event> events;
  bool echo = false;             // answer each receive with the bytes received
  std::string greeting;          // queued on NS_EV_ACCEPT
  uint32_t flags_on_accept = 0;  // set on NS_EV_ACCEPT
  int sndbuf_on_accept = 0;      // SO_SNDBUF set on NS_EV_ACCEPT, so writes block
  std::vector<ns_conn*> accepted;

  int Count(int ev) const {
    int n = 0;
    for (const Event& e : events) n += e.ev == ev;
    return n;
  }
  std::vector<int> Counts(int ev, ns_conn* nc = nullptr) const {
    std::vector<int> v;
    for (const Event& e : events)
      if (e.ev == ev && (nc == nullptr || e.nc == nc)) v.push_back(e.count);
    return v;
  }
};

inline void RecordingHandler(ns_conn* nc, int ev, void* ev_data) {
  auto* rec = static_cast<Recorder*>(nc->user_data);
  if (rec == nullptr) return;
  Event e{nc, ev, 0, nc->recv_mbuf.len, nc->send_mbuf.len};
  if ((ev == NS_EV_RECV || ev == NS_EV_SEND) && ev_data != nullptr) {
    e.count = *static_cast<int32_t*>(ev_data);
  }
  rec->events.push_back(e);
  if (ev == NS_EV_ACCEPT) {
    rec->accepted.push_back(nc);
    if (!rec->greeting.empty()) ns_send(nc, rec->greeting.data(), rec->greeting.size());
    nc->flags |= rec->flags_on_accept;
    if (rec->sndbuf_on_accept > 0) {
      (void)PlatformSocketSetIntOption(nc->sock, SOL_SOCKET, SO_SNDBUF, rec->sndbuf_on_accept);
    }
  }
  if (ev == NS_EV_RECV && rec->echo) {
    int n = e.count;
    ns_send(nc, nc->recv_mbuf.buf + nc->recv_mbuf.len - n, static_cast<size_t>(n));
    // The stream echo consumes what it answered; a datagram record wraps a
    // stack buffer that needs no consuming.
    if ((nc->flags & NCF_UDP) == 0) mbuf_remove(&nc->recv_mbuf, nc->recv_mbuf.len);
  }
}

// Polls with short time-outs until done() or the pass limit.
template <typename Pred>
bool PollUntil(ns_mgr* mgr, Pred done, int max_passes = 500) {
  for (int i = 0; i < max_passes; i++) {
    if (done()) return true;
    ns_mgr_poll(mgr, 10);
  }
  return done();
}

inline uint16_t PortOf(const ns_conn* nc) {
  return ntohs(nc->sa.sin_port);
}

// A blocking TCP client connected to 127.0.0.1:port, or kInvalidSocket.
inline sock_t ConnectClient(uint16_t port) {
  sock_t s = PlatformSocketOpen(AF_INET, SOCK_STREAM, 0);
  if (s == kInvalidSocket) return kInvalidSocket;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (PlatformSocketConnect(s, &sa) != 0) {
    PlatformSocketClose(s);
    return kInvalidSocket;
  }
  return s;
}

// A TCP client whose connect to 127.0.0.1:port has been started without
// waiting for it, or kInvalidSocket. The socket stays non-blocking: read it
// once Readable says so; short sends go through once it is connected.
inline sock_t StartConnect(uint16_t port) {
  sock_t s = PlatformSocketOpen(AF_INET, SOCK_STREAM, 0);
  if (s == kInvalidSocket) return kInvalidSocket;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (PlatformSocketSetNonBlocking(s) != 0 ||
      (PlatformSocketConnect(s, &sa) != 0 &&
       !PlatformSocketErrorIsTransient(PlatformSocketLastError()))) {
    PlatformSocketClose(s);
    return kInvalidSocket;
  }
  return s;
}

inline bool SendAll(sock_t s, const std::string& data) {
  size_t off = 0;
  while (off < data.size()) {
    int n = PlatformSocketSend(s, data.data() + off, static_cast<int>(data.size() - off));
    if (n <= 0) return false;
    off += static_cast<size_t>(n);
  }
  return true;
}

// True when s has something to read (data or EOF) within ms.
inline bool Readable(sock_t s, int ms) {
  PlatformSocketSet set;
  PlatformSocketSetZero(&set);
  if (!PlatformSocketSetAdd(&set, s)) return false;
  timeval tv{ms / 1000, (ms % 1000) * 1000};
  return PlatformSelect(s, &set, nullptr, nullptr, &tv) == 1;
}

// Reads what is there without blocking for long: up to want bytes, polling
// the manager in between so that the server side keeps writing.
inline std::string ReadSome(ns_mgr* mgr, sock_t s, size_t want, int max_passes = 200) {
  std::string out;
  char buf[65536];
  // Only rounds in which nothing arrived count against the limit.
  for (int idle = 0; idle < max_passes && out.size() < want;) {
    if (mgr != nullptr) ns_mgr_poll(mgr, 1);
    if (!Readable(s, mgr != nullptr ? 5 : 200)) {
      idle++;
      continue;
    }
    int n = PlatformSocketRecv(s, buf, static_cast<int>(sizeof buf));
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

// A manager that is freed at the end of the test. Declare it after the
// Recorder its handlers write to: its shutdown still raises NS_EV_CLOSE.
struct Manager {
  ns_mgr mgr;
  Manager() { ns_mgr_init(&mgr, nullptr); }
  ~Manager() { ns_mgr_free(&mgr); }
  Manager(const Manager&) = delete;
  Manager& operator=(const Manager&) = delete;
};

inline ns_conn* BindLoopback(ns_mgr* mgr, Recorder* rec, const char* address = "127.0.0.1:0") {
  ns_bind_opts opts{};
  opts.user_data = rec;
  return ns_bind_opt(mgr, address, RecordingHandler, opts);
}

// Runs a shell command on its own thread (the poll loop must keep running on
// this one to serve it), collecting its standard output into *out and
// setting *done when it has ended. The caller joins the thread.
inline std::thread RunCommandAsync(const std::string& cmd, std::string* out,
                                   std::atomic<bool>* done) {
  return std::thread([cmd, out, done] {
    FILE* p = popen(cmd.c_str(), "r");
    char buf[512];
    size_t n;
    while (p != nullptr && (n = fread(buf, 1, sizeof buf, p)) > 0) out->append(buf, n);
    if (p != nullptr) pclose(p);
    *done = true;
  });
}

// True when the shell command runs here and its output holds expect: the
// tests that drive a real client program check first that it exists.
inline bool CommandPrints(const std::string& cmd, const std::string& expect) {
  FILE* p = popen((cmd + " 2>&1").c_str(), "r");
  if (p == nullptr) return false;
  std::string out;
  char buf[512];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  pclose(p);
  return out.find(expect) != std::string::npos;
}

}  // namespace nettest
