// Entry point of the web API: the request router installed as the listener's
// event handler, and the small operations every endpoint shares (Host check,
// User-Agent and Origin readers, CORS pre-flight, the JSON reply envelope,
// heap-string formatting, allocating Base64). Runs on the service thread, one
// request at a time; every reply is written whole into the connection's send
// buffer before the handler returns. Heap results belong to the caller.
#pragma once

#include <cstddef>
#include <string_view>

#include "net/event_manager.h"
#include "net/http_parser.h"

// What the endpoints need from the process that serves them. The host fills
// one before it binds the listener and hands it over as the listener's user
// data, which every accepted connection inherits; it must outlive the
// listener. Read on the service thread only.
struct ApiContext {
  const char* device_name;           // reader model named to the device layer and shown as "Model"
  int com_port;                      // COM port of a serial reader; 0 or less: none configured
  void (*biometric_request_seen)();  // runs before a capture or match is served; may be null
};

// The Origin buffer: values of this size or longer are cut to fit.
inline constexpr size_t kOriginBytes = 256;

// Host names a request may carry, each alone or followed by ":" and a port.
// The third is the conventional hosts-file alias of the loopback address.
inline constexpr const char* kAcceptedHostNames[] = {"localhost", "127.0.0.1",
                                                     "localhost.localdomain"};

// Paths of the API; exact, case-sensitive.
inline constexpr char kCapturePath[] = "/VRNFPCapture";
inline constexpr char kCaptureSynonymPath[] = "/ZAROZuzoder";
inline constexpr char kMatchScorePath[] = "/VRNMatchScore";
inline constexpr char kPublicKeyPath[] = "/VRNGetPublicKey";

// The listener's event handler. Acts on NS_EV_HTTP_REQUEST only: picks the
// endpoint by exact path and method, traces the route at level 99 and runs
// it with the connection's ApiContext (user_data; a connection without one is
// served with an empty device name, no COM port and no callback). Any other
// path gets no reply; the connection stays open.
void ApiRequestHandler(ns_conn* nc, int ev, void* ev_data);

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

// Writes the 204 CORS pre-flight reply (fixed headers, no body).
void SendPreflightReply(ns_conn* nc, const http_message* hm);

// Writes a 200 reply carrying the JSON text: status line,
// "Access-Control-Allow-Origin: *", Content-Length, the empty line and the
// text itself, with nothing after it.
void SendJsonReply(ns_conn* nc, const char* json);

// Writes the JSON reply { "ErrorCode": code }.
void SendErrorCodeReply(int code, ns_conn* nc);

// Formats the arguments and appends them to the heap string *text (which may
// be null; realloc'd). Returns the length of the whole text, or -1 when
// formatting fails, memory runs out or the text would pass INT_MAX; *text is
// then unchanged. Arguments may point into *text.
int AppendFormat(char** text, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The Base64 text of count bytes as a new NUL-terminated heap string, or null
// when count is negative or memory runs out. The caller frees it.
[[nodiscard]] char* Base64EncodeAlloc(const unsigned char* data, int count);

// Decodes the leading Base64 characters of text into a new heap block (NUL
// after the data) and stores the byte count in *count. Null (and *count 0)
// when text is null or memory runs out. The caller frees it.
[[nodiscard]] unsigned char* Base64DecodeAlloc(const char* text, int* count);
