// Who may use the API and who is asking: the Host check that keeps pages of
// other sites (and DNS rebinding) away from the reader, and the trace of the
// User-Agent and Origin values. Service thread; no state between requests.
#pragma once

#include <cstddef>
#include <string_view>

#include "net/event_manager.h"
#include "net/http_parser.h"

// The Origin buffer: values of this size or longer are cut to fit.
inline constexpr size_t kOriginBytes = 256;

// Host names a request may carry, each alone or followed by ":" and a port.
// The third is the conventional hosts-file alias of the loopback address.
inline constexpr const char* kAcceptedHostNames[] = {"localhost", "127.0.0.1",
                                                     "localhost.localdomain"};

// True when a Host value names this machine: equal to an accepted name
// (ASCII case ignored) or to "[::1]", or one of those followed by ":" and a
// port of 1 to 5 digits not above 65535. Anything else, e.g.
// "localhost.example.net", fails.
[[nodiscard]] bool HostValueAccepted(std::string_view value);

// Returns 0 when the request's Host header (for an absolute target, the
// target's authority) is accepted. Otherwise (also when
// the header is missing) writes "HTTP/1.1 403 Forbidden" with
// "Content-Length: 0" and returns -1; the endpoint then writes nothing more.
[[nodiscard]] int CheckHostHeader(ns_conn* nc, const http_message* hm);

// Traces at level 99 who is asking: the User-Agent value and the host part
// of the Origin (OriginDomain), each only when there is one.
void TraceRequestOrigin(const http_message* hm);

// The host part of the Origin value ("https://a.b:8443" gives "a.b") written
// into buf, or null when the header is absent or holds no "://". A value of
// kOriginBytes or more is cut to fit before it is read. Points into buf.
[[nodiscard]] const char* OriginDomain(const http_message* hm, char (&buf)[kOriginBytes]);
