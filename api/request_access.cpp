#include "api/request_access.h"

#include <string.h>

#include "api/reply_writer.h"
#include "base/trace_log.h"
#include "base/trace_tags.h"

namespace {

constexpr size_t kMaxPortDigits = 5;
constexpr unsigned kMaxPort = 65535;

bool PortText(std::string_view digits) {
  if (digits.empty() || digits.size() > kMaxPortDigits) return false;
  unsigned port = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    port = port * 10 + static_cast<unsigned>(c - '0');
  }
  return port <= kMaxPort;
}

}  // namespace

bool HostValueAccepted(std::string_view value) {
  // An IPv6 literal comes from no name lookup, so no DNS answer can rebind
  // it; only the loopback address is this machine.
  constexpr std::string_view kLoopback6 = "[::1]";
  if (value.substr(0, kLoopback6.size()) == kLoopback6) {
    const std::string_view rest = value.substr(kLoopback6.size());
    return rest.empty() || (rest[0] == ':' && PortText(rest.substr(1)));
  }
  for (const char* name : kAcceptedHostNames) {
    size_t n = strlen(name);
    if (value.size() < n || ascii_ncompare_nocase(value.data(), name, n) != 0) continue;
    std::string_view rest = value.substr(n);
    if (rest.empty()) return true;
    if (rest[0] == ':' && PortText(rest.substr(1))) return true;
  }
  return false;
}

int CheckHostHeader(ns_conn* nc, const http_message* hm) {
  // An absolute target's authority takes the Host field's place (RFC 9112
  // section 3.2.2).
  const ns_str* host =
      hm->authority.data != nullptr ? &hm->authority : http_find_header(hm, "Host");
  if (host != nullptr && host->data != nullptr &&
      HostValueAccepted(std::string_view(host->data, host->len))) {
    return 0;
  }
  SendForbiddenReply(nc);
  return -1;
}

void TraceRequestOrigin(const http_message* hm) {
  if (!trace_enabled(kTraceEverything)) return;
  const ns_str* agent = http_find_header(hm, "User-Agent");
  if (agent != nullptr && agent->data != nullptr) {
    trace_log(kTraceEverything, "[%s]: USER-AGENT [%.*s]", kTagUserAgent,
              static_cast<int>(agent->len), agent->data);
  }
  char buf[kOriginBytes];
  if (const char* domain = OriginDomain(hm, buf)) {
    trace_log(kTraceEverything, "[%s]: ORIGIN DOMAIN %s", kTagOriginDomain, domain);
  }
}

const char* OriginDomain(const http_message* hm, char (&buf)[kOriginBytes]) {
  const ns_str* origin = http_find_header(hm, "Origin");
  if (origin == nullptr || origin->data == nullptr) return nullptr;
  memset(buf, 0, sizeof buf);
  size_t copy = origin->len < sizeof buf - 1 ? origin->len : sizeof buf - 1;
  memcpy(buf, origin->data, copy);
  char* scheme_end = strstr(buf, "://");
  if (scheme_end == nullptr) return nullptr;
  char* domain = scheme_end + 3;
  char* port = strchr(domain, ':');
  if (port != nullptr) *port = '\0';
  return domain;
}
