#include "api/router.h"

#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "api/endpoints.h"
#include "codec/base64.h"
#include "base/trace_log.h"
#include "net/http_protocol.h"

namespace {

// For connections that carry no context of their own (tests, fuzzers).
constexpr ApiContext kEmptyContext = {"", 0, nullptr};

// Written anew by every GetOriginDomain call; one request at a time uses it.
char g_origin[kOriginBytes];

constexpr char kPreflightMethod[] = "OPTIONS";
constexpr int kPreflightMaxAgeSeconds = 86400;
constexpr size_t kMaxPortDigits = 5;
constexpr unsigned kMaxPort = 65535;

bool PathIs(const http_message* hm, const char* path) { return ns_str_compare(&hm->uri, path) == 0; }

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
  // The zero length tells a client on the kept-open connection that the
  // (empty) body has ended.
  ns_printf(nc, "%s", "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n");
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

void SendPreflightReply(ns_conn* nc, const http_message*) {
  ns_printf(nc, "%s\r\n", "HTTP/1.1 204  No Content");
  ns_printf(nc, "%s: %s \r\n", "Date", "Tue, 12 Sept 2023 17:00:00 GMT");
  ns_printf(nc, "%s: %s \r\n", "Server", "IIS");
  ns_printf(nc, "%s: %s \r\n", "Access-Control-Allow-Private-Network", "true");
  ns_printf(nc, "%s: %s \r\n", "Access-Control-Allow-Origin", "*");
  ns_printf(nc, "%s: %s \r\n", "Access-Control-Allow-Methods", "POST");
  ns_printf(nc, "%s: %d \r\n", "Access-Control-Max-Age", kPreflightMaxAgeSeconds);
  ns_printf(nc, "%s: %s, %s \r\n", "Vary", "Accept-Encoding", "Origin");
  ns_printf(nc, "%s: %s, %s \r\n", "Keep-Alive", "timeout=2", "max=10000");
  ns_printf(nc, "%s: %s \r\n", "Connection", "Keep-Alive");
  ns_printf(nc, "\r\n");
}

void SendJsonReply(ns_conn* nc, const char* json) {
  if (json == nullptr) json = "";
  size_t len = strlen(json);
  ns_printf(nc, "%s", "HTTP/1.1 200 OK\r\n");
  ns_printf(nc, "%s", "Access-Control-Allow-Origin: *\r\n");
  ns_printf(nc, "Content-Length: %zu\r\n\r\n", len);
  // The body is the JSON text exactly: a kept-open connection's next reply
  // starts right after the counted bytes.
  ns_send(nc, json, len);
}

void SendErrorCodeReply(int code, ns_conn* nc) {
  char* json = nullptr;
  if (AppendFormat(&json, "{ \"ErrorCode\": %d }", code) < 0) return;
  SendJsonReply(nc, json);
  free(json);
}

int AppendFormat(char** text, const char* format, ...) {
  if (text == nullptr || format == nullptr) return -1;
  va_list ap;
  va_start(ap, format);
  va_list again;
  va_copy(again, ap);
  int measured = vsnprintf(nullptr, 0, format, ap);
  va_end(ap);
  if (measured < 0) {
    va_end(again);
    return -1;
  }
  size_t piece_len = static_cast<size_t>(measured);
  size_t old_len = *text == nullptr ? 0 : strlen(*text);
  if (old_len + piece_len > static_cast<size_t>(INT_MAX)) {
    va_end(again);
    return -1;
  }
  // The piece is formatted apart from the text because an argument may point
  // into the text, which the reallocation may move.
  auto* piece = static_cast<char*>(malloc(piece_len + 1));
  if (piece == nullptr) {
    va_end(again);
    return -1;
  }
  vsnprintf(piece, piece_len + 1, format, again);
  va_end(again);
  auto* grown = static_cast<char*>(realloc(*text, old_len + piece_len + 1));
  if (grown == nullptr) {
    free(piece);
    return -1;
  }
  memcpy(grown + old_len, piece, piece_len + 1);
  free(piece);
  *text = grown;
  return static_cast<int>(old_len + piece_len);
}

char* Base64EncodeAlloc(const unsigned char* data, int count) {
  if (count < 0 || (data == nullptr && count > 0)) return nullptr;
  auto* text = static_cast<char*>(malloc(b64_encoded_size(static_cast<size_t>(count))));
  if (text == nullptr) return nullptr;
  b64_encode(text, data, static_cast<size_t>(count));
  return text;
}

unsigned char* Base64DecodeAlloc(const char* text, int* count) {
  if (count != nullptr) *count = 0;
  if (text == nullptr) return nullptr;
  size_t size = b64_decoded_size(text);
  if (size > static_cast<size_t>(INT_MAX)) return nullptr;
  auto* bytes = static_cast<unsigned char*>(malloc(size));
  if (bytes == nullptr) return nullptr;
  size_t n = b64_decode(bytes, text);
  if (count != nullptr) *count = static_cast<int>(n);
  return bytes;
}

void ApiRequestHandler(ns_conn* nc, int ev, void* ev_data) {
  if (ev != NS_EV_HTTP_REQUEST || ev_data == nullptr) return;
  auto* hm = static_cast<http_message*>(ev_data);
  const ApiContext* api =
      nc->user_data != nullptr ? static_cast<const ApiContext*>(nc->user_data) : &kEmptyContext;
  if (PathIs(hm, kCapturePath) || PathIs(hm, kCaptureSynonymPath)) {
    if (ns_str_compare(&hm->method, kPreflightMethod) == 0) {
      trace_log(99, "[%s]: Request -PREFLIGHT-VRNFPCapture", "ravadoviz:236");
      SendPreflightReply(nc, hm);
    } else {
      trace_log(99, "[%s]: Request VRNFPCapture", "ravadoviz:241");
      HandleCapture(nc, hm, api);
    }
  } else if (PathIs(hm, kMatchScorePath)) {
    trace_log(99, "[%s]: Request VRNMatchScore", "ravadoviz:247");
    HandleMatchScore(nc, hm, api);
  } else if (PathIs(hm, kPublicKeyPath)) {
    trace_log(99, "[%s]: GetPublicKey", "ravadoviz:252");
    HandleGetPublicKey(nc, hm);
  }
}
