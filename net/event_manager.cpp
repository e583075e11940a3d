// The event manager: connection records, dispatch, sending, the poll pass and
// the control socket pair.
#include "net/event_manager.h"

#include <openssl/ssl.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "net/listener.h"
#include "net/socket_io.h"
#include "platform/platform.h"

FILE* g_ns_diag_stream = nullptr;

namespace {

std::atomic<int> g_openssl_inits{0};

// Tries to make the control pair before giving up: without a loopback
// interface the manager still works, only without its wake-up socket.
constexpr int kCtlPairAttempts = 20;
constexpr unsigned kCtlPairRetryMs = 100;

// One control message: the callback to run on every connection, then data.
struct CtlMessage {
  ns_event_handler callback;
  char data[kCtlDataBytes];
};
static_assert(sizeof(CtlMessage) <= kCtlMessageBytes);

int64_t Now() {
  return static_cast<int64_t>(time(nullptr));
}

// A select() set and how many sockets the pass put in it.
struct CountedSet {
  PlatformSocketSet set;
  size_t count;
  size_t limit;
};

// Adds the socket unless it is -1. A socket that select() cannot watch at all
// (a POSIX descriptor at or above FD_SETSIZE) is left out and does not raise
// the highest socket either, so select() never reads past its sets. Returns
// false only when a watchable socket found no place: the set is full.
bool AddToSet(sock_t sock, CountedSet* set, sock_t* max_sock) {
  if (sock == kInvalidSocket || !PlatformSocketSelectable(sock)) return true;
  if (sock > *max_sock) *max_sock = sock;
  if (set->count >= set->limit || !PlatformSocketSetAdd(&set->set, sock)) return false;
  set->count++;
  return true;
}

bool WantsRead(const ns_conn* nc) {
  return ns_wants_read(nc);
}

constexpr int kMaxDeadlineDivisor = 3600;

int DeadlineDivisorFromEnvironment() {
  const char* text = getenv(kDeadlineDivisorEnv);
  if (text == nullptr) return 1;
  char* end = nullptr;
  const long n = strtol(text, &end, 10);
  return end != text && *end == '\0' && n >= 1 && n <= kMaxDeadlineDivisor ? static_cast<int>(n)
                                                                           : 1;
}

// The connection has sent its last reply and closes: stop sending, then read
// and drop what the peer still sends for a while (see kLingerSeconds). A
// peer that has already stopped sending, a socket-less record and a
// datagram socket close at once.
bool StartLinger(ns_conn* nc, int64_t now) {
  if (nc->sock == kInvalidSocket || (nc->flags & (NCF_PEER_DONE | NCF_UDP | NCF_LISTENING)) ||
      nc->linger_since != 0) {
    return false;
  }
  if (PlatformSocketShutdownWrite(nc->sock) != 0) return false;
  nc->linger_since = now;
  nc->flags &= ~(NCF_SEND_AND_CLOSE | NCF_SSL_WANT_READ | NCF_SSL_WANT_WRITE);
  nc->recv_limit = SIZE_MAX;
  mbuf_free(&nc->recv_mbuf);
  ns_budget_release(nc);
  return true;
}

bool WantsWrite(const ns_conn* nc) {
  if (nc->send_mbuf.len > 0 && (nc->flags & NCF_HOLD_SEND) == 0) return true;
  // A handshake or a TLS read (one that must answer a key update, say) that
  // stalled on a full socket buffer has nothing queued in send_mbuf, and
  // NCF_SSL_WANT_WRITE keeps it out of the read set; without this it would
  // never be watched again. The write path retries it.
  return nc->ssl != nullptr && (nc->flags & NCF_SSL_WANT_WRITE) != 0 &&
         (nc->flags & NCF_HOLD_SEND) == 0;
}

// A TLS connection whose library holds bytes it has already taken from the
// socket: select() cannot see them, and a read that stopped at its
// per-pass bound would otherwise leave them until the peer sends again.
bool HasBufferedTls(const ns_conn* nc) {
  return nc->ssl != nullptr && (nc->flags & NCF_SSL_HANDSHAKE_DONE) != 0 &&
         SSL_has_pending(nc->ssl) == 1;
}

bool ListenersBackingOff(const ns_mgr* mgr) {
  return mgr->accept_resume_ms != 0 && PlatformMonotonicMs() < mgr->accept_resume_ms;
}

// Puts the connection in the sets it needs; false when a set had no place.
bool AddConnToSets(ns_conn* nc, CountedSet* read_set, CountedSet* write_set, CountedSet* except_set,
                   sock_t* max_sock) {
  bool placed = true;
  if (WantsRead(nc)) placed = AddToSet(nc->sock, read_set, max_sock);
  if (WantsWrite(nc)) {
    placed = AddToSet(nc->sock, write_set, max_sock) && placed;
    placed = AddToSet(nc->sock, except_set, max_sock) && placed;
  }
  return placed;
}

void HandleCtl(ns_mgr* mgr) {
  CtlMessage msg;
  memset(&msg, 0, sizeof msg);
  int n = PlatformSocketRecv(mgr->ctl[1], &msg, static_cast<int>(sizeof msg));
  if (n <= 0) return;
  PlatformSocketSend(mgr->ctl[1], msg.data, 1);
  if (n >= static_cast<int>(sizeof msg.callback) && msg.callback != nullptr) {
    for (ns_conn* nc = ns_next(mgr, nullptr); nc != nullptr; nc = ns_next(mgr, nc)) {
      msg.callback(nc, NS_EV_POLL, msg.data);
    }
  }
}

}  // namespace

void ns_set_diag_stream(FILE* stream) {
  g_ns_diag_stream = stream;
}

void ns_diag_write(const char* location, const char* fmt, ...) {
  FILE* out = g_ns_diag_stream;
  if (out == nullptr) return;
  // The write path logs between a send and the look at its error number; a
  // failing sink (a closed or full standard output) must not replace it. On
  // Windows the socket's error is the thread's last error, which the C
  // runtime's own failing writes replace as well.
  const int saved_errno = errno;
  const int saved_socket_error = PlatformSocketLastError();
  fprintf(out, "%-20s ", location);
  va_list ap;
  va_start(ap, fmt);
  vfprintf(out, fmt, ap);
  va_end(ap);
  fputc('\n', out);
  fflush(out);
  PlatformSocketSetLastError(saved_socket_error);
  errno = saved_errno;
}

int64_t ns_deadline(const ns_conn* nc, int64_t seconds) {
  const int divisor =
      nc->mgr != nullptr && nc->mgr->deadline_divisor > 1 ? nc->mgr->deadline_divisor : 1;
  const int64_t d = seconds / divisor;
  return d < 1 ? 1 : d;
}

bool ns_budget_reserve(ns_conn* nc, size_t total) {
  ns_mgr* mgr = nc->mgr;
  if (mgr == nullptr) return true;
  const size_t others = mgr->budget_reserved - nc->budget_held;
  const size_t used = others + mgr->output_queued;
  if (total > nc->budget_held && (used > kMemoryBudgetBytes || total > kMemoryBudgetBytes - used)) {
    return false;
  }
  mgr->budget_reserved = others + total;
  nc->budget_held = total;
  return true;
}

void ns_budget_release(ns_conn* nc) {
  if (nc->mgr != nullptr) nc->mgr->budget_reserved -= nc->budget_held;
  nc->budget_held = 0;
}

bool ns_wants_read(const ns_conn* nc) {
  if (nc->linger_since != 0) return true;
  if (nc->flags & (NCF_SSL_WANT_WRITE | NCF_PEER_DONE)) return false;
  if (nc->recv_mbuf.len >= nc->recv_limit) return false;
  // While a reply is deferred, a little more is read, so that a peer that
  // goes away is noticed (and its request cancelled).
  if ((nc->flags & NCF_REPLY_DEFERRED) && nc->recv_mbuf.len >= kSendLowWaterBytes) return false;
  const size_t queued = nc->send_mbuf.len;
  if (queued > kSendHighWaterBytes) return false;
  const ns_mgr* mgr = nc->mgr;
  const bool spent =
      mgr != nullptr && mgr->output_queued + mgr->budget_reserved > kMemoryBudgetBytes;
  return !(spent && queued > kSendLowWaterBytes);
}

int ns_socketpair(sock_t sp[2], int sock_type) {
  sock_t sock = kInvalidSocket;
  sp[0] = sp[1] = kInvalidSocket;
  sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_port = htons(0);
  sa.sin_addr.s_addr = htonl(0x7f000001);  // 127.0.0.1

  bool ok = false;
  do {
    if ((sock = PlatformSocketOpen(AF_INET, sock_type, 0)) == kInvalidSocket) break;
    if (PlatformSocketBind(sock, &sa) != 0) break;
    if (sock_type == SOCK_STREAM && PlatformSocketListen(sock, 1) != 0) break;
    if (PlatformSocketLocalAddress(sock, &sa) != 0) break;
    if ((sp[0] = PlatformSocketOpen(AF_INET, sock_type, 0)) == kInvalidSocket) break;
    if (PlatformSocketConnect(sp[0], &sa) != 0) break;
    if (sock_type == SOCK_DGRAM) {
      if (PlatformSocketLocalAddress(sp[0], &sa) != 0) break;
      if (PlatformSocketConnect(sock, &sa) != 0) break;
      sp[1] = sock;
      sock = kInvalidSocket;
    } else {
      if ((sp[1] = PlatformSocketAccept(sock, nullptr)) == kInvalidSocket) break;
    }
    ok = true;
  } while (false);

  if (!ok) {
    PlatformSocketClose(sock);
    PlatformSocketClose(sp[0]);
    PlatformSocketClose(sp[1]);
    sp[0] = sp[1] = kInvalidSocket;
    return 0;
  }
  ns_set_non_inheritable(sp[0]);
  ns_set_non_inheritable(sp[1]);
  PlatformSocketClose(sock);  // the stream listener; -1 for datagrams
  return 1;
}

void ns_mgr_init(ns_mgr* mgr, void* user_data) {
  memset(mgr, 0, sizeof *mgr);
  mgr->ctl[0] = mgr->ctl[1] = kInvalidSocket;
  mgr->user_data = user_data;

  PlatformSocketStartup();
  for (int i = 0; i < kCtlPairAttempts && mgr->ctl[0] == kInvalidSocket; i++) {
    if (ns_socketpair(mgr->ctl, SOCK_DGRAM) == 0) PlatformSleepMs(kCtlPairRetryMs);
  }
  // The pass must never block on the control socket, whoever writes to it.
  for (sock_t s : mgr->ctl) {
    if (s != kInvalidSocket) ns_set_non_blocking(s);
  }
  mgr->set_limit = kPlatformSocketSetCapacity;
  mgr->reserve_sock = PlatformSocketOpen(AF_INET, SOCK_DGRAM, 0);
  mgr->deadline_divisor = DeadlineDivisorFromEnvironment();

  if (g_openssl_inits.fetch_add(1) == 0) OPENSSL_init_ssl(0, nullptr);

  NS_DIAG("%p using select()", static_cast<void*>(mgr));
  NS_DIAG("==================================");
  NS_DIAG("init mgr=%p", static_cast<void*>(mgr));
}

void ns_mgr_free(ns_mgr* mgr) {
  NS_DIAG("%p", static_cast<void*>(mgr));
  if (mgr == nullptr) return;
  ns_mgr_poll(mgr, 0);
  for (sock_t& s : mgr->ctl) {
    PlatformSocketClose(s);
    s = kInvalidSocket;
  }
  PlatformSocketClose(mgr->reserve_sock);
  mgr->reserve_sock = kInvalidSocket;
  for (ns_conn* nc = mgr->connections; nc != nullptr;) {
    ns_conn* next = nc->next;
    ns_close_conn(nc);
    nc = next;
  }
}

int ns_mgr_post(ns_mgr* mgr, ns_event_handler callback, const void* data, size_t len) {
  const sock_t s = mgr->ctl[0];
  if (s == kInvalidSocket || len > kCtlDataBytes || (len > 0 && data == nullptr)) return -1;
  CtlMessage msg;
  msg.callback = callback;
  if (len > 0) memcpy(msg.data, data, len);
  // The loop answers every message with one byte on this end, which nobody
  // waits for; take the old ones away so that they do not sit in the buffer.
  char echo[64];
  while (PlatformSocketRecv(s, echo, static_cast<int>(sizeof echo)) > 0) {
  }
  const int size = static_cast<int>(offsetof(CtlMessage, data) + len);
  return PlatformSocketSend(s, &msg, size) == size ? 0 : -1;
}

ns_conn* ns_next(ns_mgr* mgr, ns_conn* conn) {
  return conn == nullptr ? mgr->connections : conn->next;
}

ns_conn* ns_create_conn(ns_mgr* mgr, ns_event_handler handler, ns_bind_opts opts) {
  auto* nc = static_cast<ns_conn*>(calloc(1, sizeof(ns_conn)));
  if (nc == nullptr) return nullptr;
  nc->sock = kInvalidSocket;
  nc->handler = handler;
  nc->mgr = mgr;
  nc->last_io_time = nc->created_time = Now();
  nc->flags = opts.flags & kNcfCreationMask;
  nc->user_data = opts.user_data;
  nc->recv_limit = SIZE_MAX;
  return nc;
}

void ns_link_conn(ns_mgr* mgr, ns_conn* nc) {
  nc->next = mgr->connections;
  nc->prev = nullptr;
  mgr->connections = nc;
  if (nc->next != nullptr) nc->next->prev = nc;
}

void ns_unlink_conn(ns_conn* nc) {
  if (nc->mgr != nullptr && nc->mgr->set_rotation == nc) nc->mgr->set_rotation = nc->next;
  if (nc->prev == nullptr) nc->mgr->connections = nc->next;
  if (nc->prev != nullptr) nc->prev->next = nc->next;
  if (nc->next != nullptr) nc->next->prev = nc->prev;
  nc->next = nc->prev = nullptr;
}

void ns_destroy_conn(ns_conn* nc) {
  ns_budget_release(nc);
  if (nc->sock != kInvalidSocket) {
    PlatformSocketClose(nc->sock);
    nc->sock = kInvalidSocket;
  }
  mbuf_free(&nc->recv_mbuf);
  mbuf_free(&nc->send_mbuf);
  if (nc->ssl != nullptr) SSL_free(nc->ssl);
  if (nc->ssl_ctx != nullptr) SSL_CTX_free(nc->ssl_ctx);
  free(nc);
}

void ns_close_conn(ns_conn* nc) {
  NS_DIAG("%p %lu", static_cast<void*>(nc), static_cast<unsigned long>(nc->flags));
  ns_dispatch_event(nc, NS_EV_CLOSE, nullptr);
  ns_unlink_conn(nc);
  ns_destroy_conn(nc);
}

void ns_dispatch_event(ns_conn* nc, int ev, void* ev_data) {
  NS_DIAG("%p flags=%lu ev=%d ev_data=%p rmbl=%d", static_cast<void*>(nc),
          static_cast<unsigned long>(nc->flags), ev, ev_data, static_cast<int>(nc->recv_mbuf.len));
  ns_event_handler fn = nc->proto_handler != nullptr ? nc->proto_handler : nc->handler;
  if (fn == nullptr) return;
  uint32_t old_flags = nc->flags;
  fn(nc, ev, ev_data);
  if (nc->flags != old_flags) {
    // The WebSocket upgrade happens inside the HTTP handler; the bit may be
    // set there but never cleared.
    nc->flags = (old_flags & ~kNcfHandlerMask) | (nc->flags & (kNcfHandlerMask | NCF_WEBSOCKET));
  }
}

size_t ns_send(ns_conn* nc, const void* buf, size_t len) {
  if ((nc->flags & NCF_UDP) == 0) {
    if (len > 0) nc->flags &= ~NCF_REPLY_DEFERRED;  // the deferred reply has come
    return mbuf_append(&nc->send_mbuf, buf, len);
  }
  // A datagram goes out at once, as one piece; a length beyond 32 bits
  // could never be one datagram.
  int n =
      len > INT32_MAX ? -1 : PlatformSocketSendTo(nc->sock, buf, static_cast<int>(len), &nc->sa);
  if (g_ns_diag_stream != nullptr) {
    char addr[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &nc->sa.sin_addr, addr, sizeof addr);
    NS_DIAG("%p %d %d %d %s:%hu", static_cast<void*>(nc), static_cast<int>(nc->sock), n,
            PlatformSocketLastError(), addr, ntohs(nc->sa.sin_port));
  }
  return n < 0 ? 0 : static_cast<size_t>(n);
}

int ns_send_int(ns_conn* nc, const void* buf, int len) {
  if (len <= 0) return 0;
  return static_cast<int>(ns_send(nc, buf, static_cast<size_t>(len)));
}

int ns_format_alloc(char** buf, size_t size, const char* fmt, va_list ap) {
  va_list ap_copy;
  va_copy(ap_copy, ap);
  // The text room is size; the block holds one more byte for the
  // terminator, so a text of exactly size characters still fits.
  int len = vsnprintf(*buf, size + 1, fmt, ap_copy);
  va_end(ap_copy);
  if (len < 0) return -1;
  if (static_cast<size_t>(len) <= size) return len;

  size_t room = ns_format_capacity(size, static_cast<size_t>(len));
  char* heap = room == 0 ? nullptr : static_cast<char*>(malloc(room + 1));
  *buf = heap;
  if (heap == nullptr) return -1;
  va_copy(ap_copy, ap);
  len = vsnprintf(heap, room + 1, fmt, ap_copy);
  va_end(ap_copy);
  return len;
}

int ns_vprintf(ns_conn* nc, const char* fmt, va_list ap) {
  char mem[kPrintfStackBytes + 1];
  char* buf = mem;
  int len = ns_format_alloc(&buf, kPrintfStackBytes, fmt, ap);
  if (len > 0 && buf != nullptr) ns_send(nc, buf, static_cast<size_t>(len));
  if (buf != mem) free(buf);
  return len;
}

int ns_printf(ns_conn* nc, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int len = ns_vprintf(nc, fmt, ap);
  va_end(ap);
  return len;
}

timeval ns_poll_timeout(int timeout_ms) {
  if (timeout_ms < 0) timeout_ms = 0;
  timeval tv;
  tv.tv_sec = timeout_ms / 1000;
  tv.tv_usec = (timeout_ms % 1000) * 1000;
  return tv;
}

void ns_mgr_handle_conn(ns_conn* nc, int fd_flags, int64_t now) {
  NS_DIAG("%p fd=%d fd_flags=%d nc_flags=%lu rmbl=%d smbl=%d", static_cast<void*>(nc),
          static_cast<int>(nc->sock), fd_flags, static_cast<unsigned long>(nc->flags),
          static_cast<int>(nc->recv_mbuf.len), static_cast<int>(nc->send_mbuf.len));
  if (fd_flags != 0) nc->last_io_time = now;

  if (nc->flags & NCF_LISTENING) {
    if (fd_flags & 1) ns_accept_pending(nc);
    return;
  }
  // Deadlines no handler can extend: a TLS handshake, and the linger after
  // the last reply.
  if (nc->ssl != nullptr && (nc->flags & NCF_SSL_HANDSHAKE_DONE) == 0 &&
      now - nc->created_time > ns_deadline(nc, kTlsHandshakeSeconds)) {
    nc->flags |= NCF_CLOSE_IMMEDIATELY;
    return;
  }
  if (nc->linger_since != 0) {
    if ((fd_flags & 1) != 0) ns_read_from_socket(nc);
    if (now - nc->linger_since > ns_deadline(nc, kLingerSeconds)) {
      nc->flags |= NCF_CLOSE_IMMEDIATELY;
    }
    return;
  }

  do {
    if (fd_flags & 1) {
      if (nc->flags & NCF_UDP) {
        ns_handle_udp(nc);
      } else {
        ns_read_from_socket(nc);
      }
      if (nc->flags & NCF_CLOSE_IMMEDIATELY) break;
    }
    // A reply queued by this pass's read goes out now: the socket nearly
    // always has room, and waiting for select() to say so would cost every
    // request a second pass.
    const bool fresh_reply = (fd_flags & 1) && nc->send_mbuf.len > 0 &&
                             (nc->ssl == nullptr || (nc->flags & NCF_SSL_HANDSHAKE_DONE));
    if ((fd_flags & 2 || fresh_reply) && (nc->flags & NCF_HOLD_SEND) == 0 &&
        (nc->flags & NCF_UDP) == 0) {
      ns_write_to_socket(nc);
    }
    if ((fd_flags & (1 | 2)) == 0) {
      int64_t t = now;
      ns_dispatch_event(nc, NS_EV_POLL, &t);
    }
  } while (false);

  mbuf_trim(&nc->recv_mbuf, kBufferKeepBytes);
  mbuf_trim(&nc->send_mbuf, kBufferKeepBytes);
  NS_DIAG("%p after fd=%d nc_flags=%lu rmbl=%d smbl=%d", static_cast<void*>(nc),
          static_cast<int>(nc->sock), static_cast<unsigned long>(nc->flags),
          static_cast<int>(nc->recv_mbuf.len), static_cast<int>(nc->send_mbuf.len));
}

int64_t ns_mgr_poll(ns_mgr* mgr, int timeout_ms) {
  const size_t limit = mgr->set_limit == 0 || mgr->set_limit > kPlatformSocketSetCapacity
                           ? kPlatformSocketSetCapacity
                           : mgr->set_limit;
  CountedSet read_set{{}, 0, limit}, write_set{{}, 0, limit}, except_set{{}, 0, limit};
  PlatformSocketSetZero(&read_set.set);
  PlatformSocketSetZero(&write_set.set);
  PlatformSocketSetZero(&except_set.set);
  sock_t max_sock = -1;

  // The control socket and the listeners take their places first: however
  // many connections are open, the service keeps accepting.
  AddToSet(mgr->ctl[1], &read_set, &max_sock);
  const bool backing_off = ListenersBackingOff(mgr);
  if (!backing_off) mgr->accept_resume_ms = 0;
  size_t count = 0;
  for (ns_conn* nc = mgr->connections; nc != nullptr; nc = nc->next, count++) {
    if ((nc->flags & NCF_LISTENING) && !backing_off && WantsRead(nc)) {
      AddToSet(nc->sock, &read_set, &max_sock);
    }
  }

  // Then every other connection once, from set_rotation round to the one
  // before it. The first that finds no place starts the next pass, so with
  // counted sets each connection is watched within a few passes.
  size_t queued = 0;
  for (ns_conn* c = mgr->connections; c != nullptr; c = c->next) queued += c->send_mbuf.len;
  mgr->output_queued = queued;
  ns_conn* nc = mgr->set_rotation != nullptr ? mgr->set_rotation : mgr->connections;
  ns_conn* first_left_out = nullptr;
  bool buffered_tls = false;
  for (size_t i = 0; i < count; i++, nc = nc->next != nullptr ? nc->next : mgr->connections) {
    if (nc->flags & NCF_LISTENING) continue;
    if (!AddConnToSets(nc, &read_set, &write_set, &except_set, &max_sock) &&
        first_left_out == nullptr) {
      first_left_out = nc;
    }
    if (WantsRead(nc) && HasBufferedTls(nc)) buffered_tls = true;
  }
  mgr->set_rotation = first_left_out;

  // Bytes already buffered by TLS must not wait for the time-out, and a
  // back-off must end on time even when nothing else happens.
  if (buffered_tls) timeout_ms = 0;
  if (backing_off) {
    const unsigned long long left = mgr->accept_resume_ms - PlatformMonotonicMs();
    if (left < static_cast<unsigned long long>(timeout_ms)) timeout_ms = static_cast<int>(left);
  }
  timeval tv = ns_poll_timeout(timeout_ms);
  int num_ev = PlatformSelect(max_sock, &read_set.set, &write_set.set, &except_set.set, &tv);
  int64_t now = Now();
  NS_DIAG("select @ %ld num_ev=%d", static_cast<long>(now), num_ev);

  if (num_ev > 0 && mgr->ctl[1] != kInvalidSocket &&
      PlatformSocketSetHas(&read_set.set, mgr->ctl[1])) {
    HandleCtl(mgr);
  }

  // Connections that were not ready get their poll event (whose deadlines
  // count whole seconds) once in each second: a busy loop makes many passes
  // a second, and each would otherwise visit every idle connection.
  const bool poll_due = now != mgr->last_poll_time;
  mgr->last_poll_time = now;
  for (ns_conn *c = mgr->connections, *next; c != nullptr; c = next) {
    next = c->next;
    int fd_flags = 0;
    if (num_ev > 0) {
      fd_flags = (PlatformSocketSetHas(&read_set.set, c->sock) ? 1 : 0) |
                 (PlatformSocketSetHas(&write_set.set, c->sock) ? 2 : 0) |
                 (PlatformSocketSetHas(&except_set.set, c->sock) ? 4 : 0);
    }
    if (buffered_tls && WantsRead(c) && HasBufferedTls(c)) fd_flags |= 1;
    if (fd_flags == 0 && !poll_due) continue;
    ns_mgr_handle_conn(c, fd_flags, now);
  }

  for (ns_conn *c = mgr->connections, *next; c != nullptr; c = next) {
    next = c->next;
    const bool replies_out = c->send_mbuf.len == 0 && (c->flags & NCF_REPLY_DEFERRED) == 0;
    if ((c->flags & NCF_CLOSE_IMMEDIATELY) ||
        (replies_out && (c->flags & NCF_SEND_AND_CLOSE) && !StartLinger(c, now))) {
      ns_close_conn(c);
    }
  }
  return now;
}
