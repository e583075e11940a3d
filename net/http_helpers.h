// Helpers around the HTTP layer: form variables and URL decoding for the API,
// and the network layer's diagnostics (address text, hex dump). Outputs are caller-owned buffers;
// everything runs on the network thread.
#pragma once

#include <cstddef>

#include "net/http_parser.h"
#include "platform/socket.h"

struct ns_conn;

// Flags of sock_addr_to_text.
inline constexpr int NS_SOCK_ADDR_IP = 1;    // the dotted IPv4 address
inline constexpr int NS_SOCK_ADDR_PORT = 2;  // the port (after ':' when with the address)
inline constexpr int NS_SOCK_ADDR_PEER = 4;  // the peer's address instead of the local one

// Decodes the value of form variable name (ASCII case ignored, the whole name
// between a '&' or the start and '=') into dst, NUL-terminated. Returns the
// decoded length; -1 when absent or form/name is missing; -2 when dst is
// missing or dst_len is 0, or the value does not decode into dst (a '%' without
// two hex digits, or longer than dst_len - 1). dst always holds a text when
// dst_len > 0.
[[nodiscard]] int http_form_var(const ns_str* form, const char* name, char* dst, size_t dst_len);

// URL-decodes src into dst (NUL-terminated); with is_form, '+' becomes a space.
// Returns the decoded length, or -1 for a bad escape or when dst (dst_len bytes,
// terminator included) is too small; dst then holds what was decoded so far.
[[nodiscard]] int http_url_decode(const char* src, size_t src_len, char* dst, size_t dst_len,
                                  bool is_form);

// Writes the socket's local (or, with NS_SOCK_ADDR_PEER, peer) IPv4 address
// and/or port into buf as a NUL-terminated text, cut to buf_len. An address
// that cannot be read shows as 0.0.0.0 and port 0.
void sock_addr_to_text(sock_t sock, char* buf, size_t buf_len, int flags);

// Hex dump, 16 bytes a line: "%04x " offset, " %02x" per byte, two spaces and
// the bytes as text ('.' for non-printables); an empty line ends the dump.
// Output is cut to dst_len - 1 characters and NUL-terminated; needs about
// len * 5 + 100 bytes. Returns the characters written.
int hexdump_to_text(const void* data, size_t len, char* dst, size_t dst_len);
