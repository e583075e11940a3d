// The HTTP replies of the API, written whole into the connection's send
// buffer: the 200 envelope around a JSON text, the error-code reply, the CORS
// pre-flight reply, the 403 of the Host check, the 404 of an unknown path and
// the reply to "OPTIONS *". Service thread only.
#pragma once

#include <string_view>

#include "net/event_manager.h"

// Writes a 200 reply carrying the JSON text: status line,
// "Access-Control-Allow-Origin: *", Content-Length, the empty line and the
// text itself, with nothing after it.
void SendJsonReply(ns_conn* nc, std::string_view json);

// The same 200 reply as one new heap text (malloc; the caller frees it) of
// *len bytes, for a reply sent many times; null when memory runs out.
[[nodiscard]] char* FormatJsonReply(std::string_view json, size_t* len);

// Writes the JSON reply { "ErrorCode": code }. Formats on the stack, so it
// still goes out when the heap is exhausted.
void SendErrorCodeReply(ns_conn* nc, int code);

// Writes the 204 CORS pre-flight reply (fixed headers, no body).
void SendPreflightReply(ns_conn* nc);

// Writes "HTTP/1.1 404 Not Found" with "Content-Length: 0": a path the API
// does not serve still gets its reply, so pipelined replies stay paired.
void SendNotFoundReply(ns_conn* nc);

// Writes the reply to "OPTIONS *": 200 with the methods the API takes.
void SendOptionsAnyReply(ns_conn* nc);

// Writes "HTTP/1.1 403 Forbidden" with "Content-Length: 0".
void SendForbiddenReply(ns_conn* nc);
