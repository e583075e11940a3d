// Listeners, added sockets and accepted connections.
#include "net/listener.h"

#include <openssl/ssl.h>

#include <cerrno>
#include <cstring>

#include "net/address.h"
#include "net/socket_io.h"

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

ns_conn* ns_bind(ns_mgr* mgr, const char* address, ns_event_handler handler) {
  return ns_bind_opt(mgr, address, handler, ns_bind_opts{});
}

ns_conn* ns_accept_conn(ns_conn* listener) {
  sockaddr_in peer;
  memset(&peer, 0, sizeof peer);
  sock_t sock = PlatformSocketAccept(listener->sock, &peer);
  if (sock == kInvalidSocket) return nullptr;
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
  if (nc->ssl == nullptr) ns_dispatch_event(nc, NS_EV_ACCEPT, &peer);
  NS_DIAG("%p %d %p %p", static_cast<void*>(nc), static_cast<int>(sock),
          static_cast<void*>(nc->ssl_ctx), static_cast<void*>(nc->ssl));
  return nc;
}
