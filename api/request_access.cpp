#include "api/request_access.h"

#include <stdlib.h>
#include <string.h>

#include "api/reply_writer.h"
#include "base/trace_log.h"

namespace {

// Written anew by every GetOriginDomain call; one request at a time uses it.
char g_origin[kOriginBytes];

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
  const ns_str* host = http_find_header(hm, "Host");
  if (host != nullptr && host->data != nullptr &&
      HostValueAccepted(std::string_view(host->data, host->len))) {
    return 1;
  }
  SendForbiddenReply(nc);
  return 0;
}

char* GetUserAgent(ns_conn*, const http_message* hm) {
  const ns_str* agent = http_find_header(hm, "User-Agent");
  if (agent == nullptr || agent->data == nullptr) return nullptr;
  auto* text = static_cast<char*>(malloc(agent->len + 1));
  if (text == nullptr) return nullptr;
  memcpy(text, agent->data, agent->len);
  text[agent->len] = '\0';
  trace_log(99, "[%s]: USER-AGENT [%s]", "ravavade:123", text);
  return text;
}

char* GetOriginDomain(ns_conn*, const http_message* hm) {
  const ns_str* origin = http_find_header(hm, "Origin");
  if (origin == nullptr || origin->data == nullptr) return nullptr;
  memset(g_origin, 0, sizeof g_origin);
  size_t copy = origin->len < sizeof g_origin - 1 ? origin->len : sizeof g_origin - 1;
  memcpy(g_origin, origin->data, copy);
  char* scheme_end = strstr(g_origin, "://");
  if (scheme_end == nullptr) return nullptr;
  char* domain = scheme_end + 3;
  char* port = strchr(domain, ':');
  if (port != nullptr) *port = '\0';
  trace_log(99, "[%s]: ORIGIN DOMAIN %s", "ravavade:148", domain);
  return domain;
}
