#include "api/reply_writer.h"

#include <cstdio>

namespace {

constexpr int kPreflightMaxAgeSeconds = 86400;
constexpr size_t kErrorReplyBytes = 40;  // "{ \"ErrorCode\": -2147483648 }" and more

}  // namespace

void SendJsonReply(ns_conn* nc, std::string_view json) {
  ns_printf(nc, "%s", "HTTP/1.1 200 OK\r\n");
  ns_printf(nc, "%s", "Access-Control-Allow-Origin: *\r\n");
  ns_printf(nc, "Content-Length: %zu\r\n\r\n", json.size());
  // The body is the JSON text exactly: a kept-open connection's next reply
  // starts right after the counted bytes.
  ns_send(nc, json.data(), json.size());
}

void SendErrorCodeReply(ns_conn* nc, int code) {
  char json[kErrorReplyBytes];
  int len = snprintf(json, sizeof json, "{ \"ErrorCode\": %d }", code);
  SendJsonReply(nc, std::string_view(json, static_cast<size_t>(len)));
}

void SendPreflightReply(ns_conn* nc) {
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

void SendForbiddenReply(ns_conn* nc) {
  // The zero length tells a client on the kept-open connection that the
  // (empty) body has ended.
  ns_printf(nc, "%s", "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n");
}
