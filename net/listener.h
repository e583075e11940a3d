// Listeners and accepted connections: ns_bind opens a non-blocking listening
// (or datagram) socket from an address string and wraps it in an ns_conn of
// the manager; ns_accept_conn takes one pending connection off a listener,
// giving it the listener's handlers, user data and TLS context. Manager's
// thread only; the manager owns every connection made here.
#pragma once

#include <cstdint>

#include "net/event_manager.h"

// Connections the kernel queues for a listener before it drops new ones
// (whose clients then retry only after a second or more): room for a burst
// of tabs and probes. The kernel lowers it to its own cap (somaxconn).
inline constexpr int kListenBacklog = 1024;
// Most connections one readable listener takes in one pass, so that a flood
// of connects cannot keep the pass from serving the others.
inline constexpr int kMaxAcceptsPerPass = 64;

// A listening connection (NCF_LISTENING; NCF_UDP for "udp://") whose sa holds
// the bound address with the port actually chosen, or null. Failure texts
// through opts.error_string: "cannot parse address", "failed to open listener".
ns_conn* ns_bind(ns_mgr* mgr, const char* address, ns_event_handler handler);
ns_conn* ns_bind_opt(ns_mgr* mgr, const char* address, ns_event_handler handler, ns_bind_opts opts);

// A listener on the IPv6 loopback address [::1] and port (host order; 0
// lets the system choose), as ns_bind_opt makes one for IPv4. Its sa holds
// the family AF_INET6 and the bound port only: the record has room for IPv4
// addresses alone, and the peers of its connections are reported the same
// way (platform/socket.h). Null when the system has no IPv6 or the port is
// taken there (the failure text through opts.error_string as for ns_bind).
ns_conn* ns_bind_loopback6(ns_mgr* mgr, uint16_t port, ns_event_handler handler, ns_bind_opts opts);

// Wraps an open socket (made non-blocking and non-inheritable) in a new linked
// connection. On failure returns null and the socket stays the caller's.
ns_conn* ns_add_sock(ns_mgr* mgr, sock_t sock, ns_event_handler handler);
ns_conn* ns_add_sock_opt(ns_mgr* mgr, sock_t sock, ns_event_handler handler, ns_bind_opts opts);

// A bound (and for SOCK_STREAM listening) non-blocking socket with
// SO_REUSEADDR; *sa receives the bound address. -1 on failure.
sock_t ns_open_listening_socket(sockaddr_in* sa, int sock_type);

// Accepts one pending connection of the listener. A plain connection gets
// NS_EV_ACCEPT at once; a TLS one after its handshake. Null when nothing was
// accepted, or when the socket was closed at once: select() could never
// watch it, or its record or TLS object could not be made.
ns_conn* ns_accept_conn(ns_conn* listener);

// What the poll pass runs on a readable listener: accepts (as ns_accept_conn)
// until nothing is pending, at most kMaxAcceptsPerPass. When the process is
// out of descriptors, a failing accept would leave the listener readable and
// every pass would fail again at once; instead the manager's reserve
// descriptor is freed, the pending connections are accepted and closed at
// once (their clients learn it at once), and the reserve is taken back. When
// no reserve can be had, listeners sit out for kAcceptBackoffMs. Returns the
// connections taken off the queue, kept or closed.
int ns_accept_pending(ns_conn* listener);

void ns_set_non_blocking(sock_t sock);
void ns_set_non_inheritable(sock_t sock);
