// Who may use the API and who is asking: the Host check that keeps pages of
// other sites (and DNS rebinding) away from the reader, and the readers of
// the User-Agent and Origin values that the trace records. Service thread,
// one request at a time.
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
// (ASCII case ignored), or such a name followed by ":" and a port of 1 to 5
// digits not above 65535. Anything else, e.g. "localhost.example.net", fails.
[[nodiscard]] bool HostValueAccepted(std::string_view value);

// Returns 1 when the request's Host header is accepted. Otherwise (also when
// the header is missing) writes "HTTP/1.1 403 Forbidden" with
// "Content-Length: 0" and returns 0; the endpoint then writes nothing more.
[[nodiscard]] int CheckHostHeader(ns_conn* nc, const http_message* hm);

// A new heap copy of the User-Agent value (traced at level 99), or null when
// the header is absent or memory runs out. The caller frees it.
[[nodiscard]] char* GetUserAgent(ns_conn* nc, const http_message* hm);

// The host part of the Origin value ("https://a.b:8443" gives "a.b"), traced
// at level 99; null when the header is absent or holds no "://". The result
// points into one process-wide buffer and is valid until the next call.
char* GetOriginDomain(ns_conn* nc, const http_message* hm);
