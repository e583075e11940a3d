#include "api/reply_writer.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kErrorReplyBytes = 40;  // "{ \"ErrorCode\": -2147483648 }" and more
constexpr size_t kJsonHeadBytes = 96;    // the 200 head with a 20-digit length

// The pre-flight reply, whole: its header lines end in a space before CR LF
// and its date is fixed; pages and their browsers have always seen these
// bytes. Sent in one piece: it is the service's most frequent reply.
constexpr std::string_view kPreflightReply =
    "HTTP/1.1 204  No Content\r\n"
    "Date: Tue, 12 Sept 2023 17:00:00 GMT \r\n"
    "Server: IIS \r\n"
    "Access-Control-Allow-Private-Network: true \r\n"
    "Access-Control-Allow-Origin: * \r\n"
    "Access-Control-Allow-Methods: POST \r\n"
    "Access-Control-Max-Age: 86400 \r\n"
    "Vary: Accept-Encoding, Origin \r\n"
    "Keep-Alive: timeout=2, max=10000 \r\n"
    "Connection: Keep-Alive \r\n"
    "\r\n";

int JsonHead(char (&head)[kJsonHeadBytes], size_t json_len) {
  return snprintf(
      head, sizeof head,
      "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\nContent-Length: %zu\r\n\r\n", json_len);
}

}  // namespace

void SendJsonReply(ns_conn* nc, std::string_view json) {
  char head[kJsonHeadBytes];
  const int n = JsonHead(head, json.size());
  if (n > 0) ns_send(nc, head, static_cast<size_t>(n));
  // The body is the JSON text exactly: a kept-open connection's next reply
  // starts right after the counted bytes.
  ns_send(nc, json.data(), json.size());
}

char* FormatJsonReply(std::string_view json, size_t* len) {
  char head[kJsonHeadBytes];
  const int n = JsonHead(head, json.size());
  if (n <= 0) return nullptr;
  const size_t total = static_cast<size_t>(n) + json.size();
  char* text = static_cast<char*>(malloc(total + 1));
  if (text == nullptr) return nullptr;
  memcpy(text, head, static_cast<size_t>(n));
  memcpy(text + n, json.data(), json.size());
  text[total] = '\0';
  *len = total;
  return text;
}

void SendErrorCodeReply(ns_conn* nc, int code) {
  char json[kErrorReplyBytes];
  int len = snprintf(json, sizeof json, "{ \"ErrorCode\": %d }", code);
  SendJsonReply(nc, std::string_view(json, static_cast<size_t>(len)));
}

void SendPreflightReply(ns_conn* nc) {
  ns_send(nc, kPreflightReply.data(), kPreflightReply.size());
}

void SendNotFoundReply(ns_conn* nc) {
  constexpr std::string_view kReply = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
  ns_send(nc, kReply.data(), kReply.size());
}

void SendOptionsAnyReply(ns_conn* nc) {
  constexpr std::string_view kReply =
      "HTTP/1.1 200 OK\r\nAllow: GET, HEAD, POST, OPTIONS\r\nContent-Length: 0\r\n\r\n";
  ns_send(nc, kReply.data(), kReply.size());
}

void SendForbiddenReply(ns_conn* nc) {
  // The zero length tells a client on the kept-open connection that the
  // (empty) body has ended.
  ns_printf(nc, "%s", "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n");
}
