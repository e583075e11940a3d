// The HTTP replies of the API, written whole into the connection's send
// buffer: the 200 envelope around a JSON text, the error-code reply, the CORS
// pre-flight reply and the 403 of the Host check. Service thread only.
#pragma once

#include <string_view>

#include "net/event_manager.h"

// Writes a 200 reply carrying the JSON text: status line,
// "Access-Control-Allow-Origin: *", Content-Length, the empty line and the
// text itself, with nothing after it.
void SendJsonReply(ns_conn* nc, std::string_view json);

// Writes the JSON reply { "ErrorCode": code }. Formats on the stack, so it
// still goes out when the heap is exhausted.
void SendErrorCodeReply(ns_conn* nc, int code);

// Writes the 204 CORS pre-flight reply (fixed headers, no body).
void SendPreflightReply(ns_conn* nc);

// Writes "HTTP/1.1 403 Forbidden" with "Content-Length: 0".
void SendForbiddenReply(ns_conn* nc);
