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

// Body length when the header block does not give one: the body runs until the
// peer closes the connection.
inline constexpr uint64_t HTTP_LEN_TO_CLOSE = ~uint64_t{0};

inline constexpr int HTTP_MAX_HEADERS = 40;

// One parsed request. Every slice points into the parsed buffer and goes stale
// as soon as that buffer is changed (mbuf_remove, mbuf_append). Header slots are
// filled from 0 without gaps; the first absent name ends the list.
struct http_message {
  ns_str
      whole_message;  // from the first byte parsed; len = header block + body, or HTTP_LEN_TO_CLOSE
  ns_str protocol;    // "HTTP/1.1"
  ns_str method;
  ns_str uri;           // request target cut before its first '?'
  int32_t status_code;  // replies only; requests leave it 0
  ns_str status_text;   // replies only; absent for requests
  ns_str query;         // after the first '?'; absent when there is none
  ns_str header_names[HTTP_MAX_HEADERS];
  ns_str header_values[HTTP_MAX_HEADERS];
  ns_str
      body;  // data = first byte after the header block; len = declared length or HTTP_LEN_TO_CLOSE
};

// Length of the header block, its terminating empty line included (> 0); 0 when
// it has not fully arrived; -1 when the bytes cannot be HTTP (a control byte
// other than CR or LF). Bare LF line ends are accepted; bytes 0x80-0xFF too.
[[nodiscard]] int http_header_block_length(const char* buf, int len);

// Parses the request at the front of buf. Returns as http_header_block_length
// does, and -1 also for a request line without method and target or a
// Content-Length that is negative, not a number or too large. Only on a result
// > 0 is *hm filled; the body may not have arrived yet (compare
// hm->whole_message.len with the bytes available). A PUT or POST without
// Content-Length gets HTTP_LEN_TO_CLOSE; any other method a body of 0.
[[nodiscard]] int http_parse_message(const char* buf, int len, http_message* hm);

// Value slot of the first header whose name equals name (ASCII case ignored),
// or null.
ns_str* http_find_header(http_message* hm, const char* name);
const ns_str* http_find_header(const http_message* hm, const char* name);

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
