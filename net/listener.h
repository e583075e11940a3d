// Listeners and accepted connections: ns_bind opens a non-blocking listening
// (or datagram) socket from an address string and wraps it in an ns_conn of
// the manager; ns_accept_conn takes one pending connection off a listener,
// giving it the listener's handlers, user data and TLS context. Manager's
// thread only; the manager owns every connection made here.
#pragma once

#include "net/event_manager.h"

inline constexpr int kListenBacklog = 5;

// A listening connection (NCF_LISTENING; NCF_UDP for "udp://") whose sa holds
// the bound address with the port actually chosen, or null. Failure texts
// through opts.error_string: "cannot parse address", "failed to open listener".
ns_conn* ns_bind(ns_mgr* mgr, const char* address, ns_event_handler handler);
ns_conn* ns_bind_opt(ns_mgr* mgr, const char* address, ns_event_handler handler, ns_bind_opts opts);

// Wraps an open socket (made non-blocking and non-inheritable) in a new linked
// connection. On failure returns null and the socket stays the caller's.
ns_conn* ns_add_sock(ns_mgr* mgr, sock_t sock, ns_event_handler handler);
ns_conn* ns_add_sock_opt(ns_mgr* mgr, sock_t sock, ns_event_handler handler, ns_bind_opts opts);

// A bound (and for SOCK_STREAM listening) non-blocking socket with
// SO_REUSEADDR; *sa receives the bound address. -1 on failure.
sock_t ns_open_listening_socket(sockaddr_in* sa, int sock_type);

// Accepts one pending connection of the listener. A plain connection gets
// NS_EV_ACCEPT at once; a TLS one after its handshake. Null when nothing was
// accepted.
ns_conn* ns_accept_conn(ns_conn* listener);

void ns_set_non_blocking(sock_t sock);
void ns_set_non_inheritable(sock_t sock);
