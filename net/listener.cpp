// Listeners, added sockets and accepted connections.
#include "net/listener.h"

#include <openssl/ssl.h>

#include <cerrno>
#include <cstring>

#include "net/address.h"
#include "net/socket_io.h"
#include "platform/platform.h"

void ns_set_non_blocking(sock_t sock) {
  PlatformSocketSetNonBlocking(sock);
}

void ns_set_non_inheritable(sock_t sock) {
  PlatformSocketSetNonInheritable(sock);
}

sock_t ns_open_listening_socket(sockaddr_in* sa, int sock_type) {
  sock_t sock = PlatformSocketOpen(AF_INET, sock_type, 0);
  if (sock == kInvalidSocket) return kInvalidSocket;
  if (PlatformSocketSetReuseAddress(sock) != 0 || PlatformSocketBind(sock, sa) != 0 ||
      (sock_type == SOCK_STREAM && PlatformSocketListen(sock, kListenBacklog) != 0)) {
    int err = PlatformSocketLastError();
    PlatformSocketClose(sock);
    errno = err;  // the caller logs why the listener could not be opened
    return kInvalidSocket;
  }
  ns_set_non_blocking(sock);
  PlatformSocketLocalAddress(sock, sa);
  return sock;
}

ns_conn* ns_add_sock_opt(ns_mgr* mgr, sock_t sock, ns_event_handler handler, ns_bind_opts opts) {
  ns_conn* nc = ns_create_conn(mgr, handler, opts);
  if (nc == nullptr) return nullptr;
  ns_set_non_blocking(sock);
  ns_set_non_inheritable(sock);
  nc->sock = sock;
  ns_link_conn(mgr, nc);
  NS_DIAG("%p %d", static_cast<void*>(nc), static_cast<int>(sock));
  return nc;
}

ns_conn* ns_add_sock(ns_mgr* mgr, sock_t sock, ns_event_handler handler) {
  return ns_add_sock_opt(mgr, sock, handler, ns_bind_opts{});
}

ns_conn* ns_bind_opt(ns_mgr* mgr, const char* address, ns_event_handler handler,
                     ns_bind_opts opts) {
  sockaddr_in sa;
  int sock_type = SOCK_STREAM;
  char host[kHostNameBytes];
  if (ns_parse_address(address, &sa, &sock_type, host, sizeof host) <= 0) {
    if (opts.error_string != nullptr) *opts.error_string = "cannot parse address";
    return nullptr;
  }
  sock_t sock = ns_open_listening_socket(&sa, sock_type);
  if (sock == kInvalidSocket) {
    NS_DIAG("Failed to open listener: %d", errno);
    if (opts.error_string != nullptr) *opts.error_string = "failed to open listener";
    return nullptr;
  }
  ns_conn* nc = ns_add_sock_opt(mgr, sock, handler, opts);
  if (nc == nullptr) {
    NS_DIAG("Failed to ns_add_sock");
    PlatformSocketClose(sock);
    return nullptr;
  }
  nc->sa = sa;
  nc->handler = handler;
  nc->flags |= sock_type == SOCK_DGRAM ? NCF_UDP : NCF_LISTENING;
  NS_DIAG("%p sock %d/%d", static_cast<void*>(nc), static_cast<int>(sock), sock_type);
  return nc;
}

ns_conn* ns_bind_loopback6(ns_mgr* mgr, uint16_t port, ns_event_handler handler,
                           ns_bind_opts opts) {
  sock_t sock = PlatformSocketOpen(AF_INET6, SOCK_STREAM, 0);
  if (sock == kInvalidSocket || PlatformSocketSetReuseAddress(sock) != 0 ||
      PlatformSocketBindLoopback6(sock, port) != 0 ||
      PlatformSocketListen(sock, kListenBacklog) != 0) {
    NS_DIAG("Failed to open listener: %d", PlatformSocketLastError());
    PlatformSocketClose(sock);
    if (opts.error_string != nullptr) *opts.error_string = "failed to open listener";
    return nullptr;
  }
  ns_conn* nc = ns_add_sock_opt(mgr, sock, handler, opts);
  if (nc == nullptr) {
    PlatformSocketClose(sock);
    return nullptr;
  }
  PlatformSocketLocalAddress(sock, &nc->sa);
  nc->flags |= NCF_LISTENING;
  NS_DIAG("%p sock %d/%d [::1]", static_cast<void*>(nc), static_cast<int>(sock), SOCK_STREAM);
  return nc;
}

ns_conn* ns_bind(ns_mgr* mgr, const char* address, ns_event_handler handler) {
  return ns_bind_opt(mgr, address, handler, ns_bind_opts{});
}

namespace {

// Gives an accepted socket its connection record, TLS object and the
// listener's handlers; null when the socket had to be closed.
ns_conn* AdoptAccepted(ns_conn* listener, sock_t sock, sockaddr_in* peer) {
  // A socket select() can never watch would sit in the list unread for ever;
  // the peer is better told at once by a close.
  if (!PlatformSocketSelectable(sock)) {
    NS_DIAG("%p accepted socket %d cannot be watched, closed", static_cast<void*>(listener),
            static_cast<int>(sock));
    PlatformSocketClose(sock);
    return nullptr;
  }
  ns_conn* nc = ns_add_sock(listener->mgr, sock, listener->handler);
  if (nc == nullptr) {
    PlatformSocketClose(sock);
    return nullptr;
  }
  if (listener->ssl_ctx != nullptr) {
    nc->ssl = SSL_new(listener->ssl_ctx);
    if (nc->ssl == nullptr || SSL_set_fd(nc->ssl, static_cast<int>(sock)) != 1) {
      NS_DIAG("SSL error");
      ns_close_conn(nc);
      return nullptr;
    }
  }
  nc->listener = listener;
  nc->proto_data = listener->proto_data;
  nc->proto_handler = listener->proto_handler;
  nc->user_data = listener->user_data;
  nc->recv_limit = listener->recv_limit;
  if (nc->ssl == nullptr) ns_dispatch_event(nc, NS_EV_ACCEPT, peer);
  NS_DIAG("%p %d %p %p", static_cast<void*>(nc), static_cast<int>(sock),
          static_cast<void*>(nc->ssl_ctx), static_cast<void*>(nc->ssl));
  return nc;
}

// Out of descriptors: frees the reserve, accepts and closes what is pending
// (at most budget connections), takes the reserve back. Without a reserve,
// or when it cannot be taken back, the listeners back off instead. Returns
// the connections closed.
int ShedPending(ns_conn* listener, int budget) {
  ns_mgr* mgr = listener->mgr;
  int shed = 0;
  if (mgr != nullptr && mgr->reserve_sock != kInvalidSocket) {
    PlatformSocketClose(mgr->reserve_sock);
    mgr->reserve_sock = kInvalidSocket;
    for (; shed < budget; shed++) {
      sock_t sock = PlatformSocketAccept(listener->sock, nullptr);
      if (sock == kInvalidSocket) break;
      PlatformSocketClose(sock);
    }
    mgr->reserve_sock = PlatformSocketOpen(AF_INET, SOCK_DGRAM, 0);
  }
  NS_DIAG("%p out of descriptors: %d pending connections closed", static_cast<void*>(listener),
          shed);
  if (mgr != nullptr && mgr->reserve_sock == kInvalidSocket) {
    mgr->accept_resume_ms = PlatformMonotonicMs() + kAcceptBackoffMs;
  }
  return shed;
}

}  // namespace

ns_conn* ns_accept_conn(ns_conn* listener) {
  sockaddr_in peer;
  memset(&peer, 0, sizeof peer);
  sock_t sock = PlatformSocketAccept(listener->sock, &peer);
  if (sock == kInvalidSocket) return nullptr;
  return AdoptAccepted(listener, sock, &peer);
}

int ns_accept_pending(ns_conn* listener) {
  int taken = 0;
  while (taken < kMaxAcceptsPerPass) {
    sockaddr_in peer;
    memset(&peer, 0, sizeof peer);
    sock_t sock = PlatformSocketAccept(listener->sock, &peer);
    if (sock == kInvalidSocket) {
      const int err = PlatformSocketLastError();
      if (PlatformSocketErrorIsExhaustion(err)) {
        taken += ShedPending(listener, kMaxAcceptsPerPass - taken);
        break;
      }
      // Nothing pending (or interrupted): the next readiness says when.
      if (PlatformSocketErrorIsTransient(err)) break;
      // A connection that failed on its way in (reset before it was taken,
      // say) is gone from the queue; the others may still be taken.
      taken++;
      continue;
    }
    taken++;
    AdoptAccepted(listener, sock, &peer);
  }
  return taken;
}
