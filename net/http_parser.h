// HTTP request parsing: turns the header block at the front of a receive buffer
// into an http_message of slices into that buffer. Copies and allocates nothing;
// the caller owns the buffer and the record. Runs on the network thread.
#pragma once

#include <cstddef>
#include <cstdint>

// A non-owning slice; not NUL-terminated. data == nullptr with len == 0 is absent.
struct ns_str {
  const char* data;
  uint64_t len;
};

// Body length while it is not known from the header block: a chunked body,
// which the protocol layer decodes (net/http_protocol.h). A request without
// Content-Length and Transfer-Encoding has no body (RFC 9112 section 6.3:
// only a reply may run until the connection closes).
inline constexpr uint64_t HTTP_LEN_TO_CLOSE = ~uint64_t{0};

// Header fields kept per request; a request with more is refused, never cut.
inline constexpr int HTTP_MAX_HEADERS = 40;

// One parsed request. Every slice points into the parsed buffer and goes stale
// as soon as that buffer is changed (mbuf_remove, mbuf_append). Header slots are
// filled from 0 without gaps; the first absent name ends the list.
struct http_message {
  ns_str whole_message;  // from the first byte parsed; len = header block + body, or
                         // HTTP_LEN_TO_CLOSE while a chunked body is not decoded
  ns_str protocol;       // "HTTP/1.1"
  ns_str method;
  ns_str uri;           // request path: the target (of an absolute target its path, "/" when
                        // empty) cut before its first '?'; "*" for OPTIONS *
  ns_str authority;     // an absolute target's host and port; absent for other targets
  int32_t status_code;  // replies only; requests leave it 0
  ns_str status_text;   // replies only; absent for requests
  ns_str query;         // after the first '?'; absent when there is none
  ns_str header_names[HTTP_MAX_HEADERS];
  ns_str header_values[HTTP_MAX_HEADERS];  // may be empty (len 0, data inside the block)
  ns_str body;  // data = first byte after the header block; len = Content-Length, 0 without
                // one, HTTP_LEN_TO_CLOSE for a chunked body
};

// Why a header block was refused (the parse returned -1).
enum class HttpRefusal : uint8_t {
  kNone,
  kMalformed,       // not a request: see http_parse_request
  kBadFraming,      // the body's length is not certain: see http_parse_request
  kTooManyHeaders,  // more than HTTP_MAX_HEADERS field lines
  kBadVersion,      // a well-formed version other than HTTP/1.0 and HTTP/1.1 (505)
};

// Length of the header block, its terminating empty line included (> 0); 0 when
// it has not fully arrived; -1 when the bytes cannot be HTTP: a control byte
// other than HTAB, CR or LF, or a CR that is not followed by LF. Bare LF line
// ends are accepted; bytes 0x80-0xFF too.
[[nodiscard]] int http_header_block_length(const char* buf, int len);

// Parses the request at the front of buf. Returns as http_header_block_length
// does; only on a result > 0 is *hm filled, and the body may not have arrived
// yet (compare hm->whole_message.len with the bytes available). On -1, *why
// (when not null) says which rule refused the block:
// - kMalformed: a control byte or bare CR; a request line other than
//   method SP target SP version exactly (method of token characters, one
//   space each, version "HTTP/" digit "." digit; empty lines before it are
//   skipped); a target other than a path ("/..."), "*" (OPTIONS only) or an
//   absolute "http://" or "https://" URI with a host and no user part (RFC
//   9112 section 3.2); more than one Host field (section 3.2); a field line
//   without a colon, with an empty name
//   or with a byte in the name that is not a token character (so no white
//   space before the colon, RFC 9112 section 5.1); a line that begins with
//   white space (obsolete line folding, RFC 9112 section 5.2).
// - kBadFraming (RFC 9112 section 6.3): a Content-Length that is not all
//   digits or beyond a signed 64-bit count, Content-Length fields that differ
//   (equal ones count as one), a Transfer-Encoding other than one "chunked",
//   or Transfer-Encoding together with Content-Length.
// - kTooManyHeaders: more than HTTP_MAX_HEADERS field lines.
// - kBadVersion: a version of that form other than 1.0 and 1.1.
// Names are compared whole without regard to ASCII case; a value is the line
// after the colon without the white space around it (further colons right
// after the first are skipped too) and may be empty.
[[nodiscard]] int http_parse_request(const char* buf, int len, http_message* hm, HttpRefusal* why);

// http_parse_request without the reason.
[[nodiscard]] int http_parse_message(const char* buf, int len, http_message* hm);

// Value slot of the first header whose name equals name (ASCII case ignored),
// or null.
ns_str* http_find_header(http_message* hm, const char* name);
const ns_str* http_find_header(const http_message* hm, const char* name);

// True when the comma-separated list value holds token as one of its
// elements (white space around elements ignored, ASCII case ignored), as in
// "Connection: keep-alive, Upgrade".
bool http_list_has_token(const ns_str* value, const char* token);

// 0 when the slice equals the NUL-terminated text, else a value whose sign
// orders them: exactly, or with ASCII case ignored.
int ns_str_compare(const ns_str* s, const char* text);
int ns_str_compare_nocase(const ns_str* s, const char* text);

// Compares at most n bytes with ASCII case ignored; stops early at a NUL in a.
int ascii_ncompare_nocase(const char* a, const char* b, size_t n);

// Points *out at pos and extends it up to the first byte of delimiters (a
// NUL-terminated set) or end, then skips every delimiter byte that follows.
// Returns the new position (at most end).
const char* http_take_token(const char* pos, const char* end, const char* delimiters, ns_str* out);
