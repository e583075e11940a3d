// The HTTP protocol layer of a connection: sees every event first, passes it on
// to the connection's handler, and turns recv_mbuf into request events, with
// chunked bodies decoded in place. It answers what the API never sees itself:
// "100 Continue", the refusals below, HEAD (the reply's body is dropped), the
// idle and header time-outs. A connection owns its http_request_state (through
// proto_data) while a request is arriving. Network thread only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "net/event_manager.h"
#include "net/http_parser.h"

// Events raised to the connection's handler (called directly, not dispatched).
inline constexpr int NS_EV_HTTP_REQUEST =
    100;  // data: http_message*, the whole request is in recv_mbuf
inline constexpr int NS_EV_HTTP_CHUNK =
    102;  // data: http_message*, body = the chunks decoded so far

// What one request may make the service hold. The largest request a page
// sends (a match with two templates of 2047 Base64 characters, percent-encoded)
// is about 13 kB; the bound leaves two orders of magnitude above that.
// A header block longer than this, or this much without its end: 431.
inline constexpr size_t kHttpMaxHeaderBlockBytes = 8192;
// A request line longer than this (its target, in practice), arrived or
// not: 414 (the line, its CR LF and the empty line fill a block of the bound).
// The longest target a page sends is a path of 16 characters.
inline constexpr size_t kHttpMaxRequestLineBytes = kHttpMaxHeaderBlockBytes - 4;
// Header block and body (a chunked body as received). A request announcing
// more gets 413 (417 when it asked for "100 Continue") before its body is
// read; a chunked one when it gets there. The receive buffer then holds at
// most this plus one read (its capacity at most 1.5 times that).
inline constexpr size_t kHttpMaxRequestBytes = size_t{4} << 20;
// A chunk's size line (size, extension, CR LF) may be this long, and the
// trailer section of a chunked body (its fields and the empty line) as long
// as a header block; longer: 400. Each read parses an unfinished line again
// from its start, so a line without end up to the request bound would keep
// the loop busy for seconds.
inline constexpr size_t kHttpMaxChunkLineBytes = 4096;

// Time-outs in seconds of the poll pass's clock. Browsers keep idle
// connections for minutes and retry a request on one the server closed; the
// pre-flight reply's "Keep-Alive: timeout=2" promises only 2 seconds.
// Nothing read or written for longer: the connection is closed without a word.
inline constexpr int64_t kHttpIdleSeconds = 30;
// A request's header block not complete this long after its first byte: 408.
inline constexpr int64_t kHttpHeaderSeconds = 20;
// A body must have come at this average rate since its header block once
// this many seconds have passed, else 408 (the common server default): a
// page's largest body (about 13 kB) takes milliseconds on the loopback,
// while a peer sending a byte every few seconds would hold its slot (and up
// to 4 MiB) for days.
inline constexpr int64_t kHttpBodyGraceSeconds = 20;
inline constexpr uint64_t kHttpBodyMinBytesPerSecond = 500;

// Progress of the request at the front of recv_mbuf. Heap record owned by the
// connection (proto_data) from the read that leaves a request incomplete (or
// brings a chunked body) until the request is delivered or refused, or the
// connection closes; an idle connection holds none.
struct http_request_state {
  uint64_t decoded_len;  // chunked: decoded body bytes at the start of the body area
  int64_t started;       // last_io_time when the request's first byte was read
  int64_t body_started;  // last_io_time when its header block was complete
  uint64_t body_bytes;   // bytes read since then
  bool header_done;      // its header block is complete
  bool continue_sent;    // "100 Continue" is queued
};

// Makes http_protocol_handler the connection's protocol handler; returns nc.
// Connections accepted on a listener inherit it.
ns_conn* http_attach_protocol(ns_conn* nc);

// The protocol handler.
// NS_EV_RECV: every complete request in recv_mbuf is delivered in order as
// NS_EV_HTTP_REQUEST and removed. A request refused by the parser gets 400
// (431 for too many fields), a header block over kHttpMaxHeaderBlockBytes (or
// that long without its end) 431, a request over kHttpMaxRequestBytes 413 or
// 417 (before its body when the length is given), a malformed chunk 400, a
// bad WebSocket handshake 400; each refusal has an empty body and "Connection:
// close", goes out after the replies queued before it (NCF_SEND_AND_CLOSE),
// and nothing after it is read. A request that asks for
// "100 Continue" (HTTP/1.1) gets it while its body has not fully arrived. A
// valid WebSocket handshake (net/websocket.h) upgrades the connection. For
// HEAD, whatever the handler queued after its reply's header block is
// dropped, so the reply has the GET reply's headers and no body.
// NS_EV_POLL (data: the pass time): a connection silent for more than
// kHttpIdleSeconds is closed; a request whose header block is not complete
// kHttpHeaderSeconds after its first byte gets 408. Listeners are left alone.
// NS_EV_CLOSE: the request state is released; a request cut short is dropped.
void http_protocol_handler(ns_conn* nc, int ev, void* ev_data);

// One chunk at p (m bytes): "<hex size>[;extension]\r\n<data>\r\n"; the last
// one, of size 0, is followed by trailer fields and an empty line. Extensions
// and trailer fields are skipped (RFC 9112 sections 7.1.1 and 7.1.2). Returns
// the bytes it occupies (> 0) with *data and *size set; 0 when it has not
// fully arrived; -1 when it is malformed (no hex digits, a line that does not
// end in CR LF, data not followed by CR LF, a control byte in an extension or
// trailer), the size does not fit in 64 bits, or the size line or the
// trailer section is longer than its bound (kHttpMaxChunkLineBytes,
// kHttpMaxHeaderBlockBytes), arrived or not.
[[nodiscard]] ptrdiff_t http_parse_chunk(const char* p, size_t m, const char** data,
                                         uint64_t* size);

// Decodes the chunks that follow the header block (header_len bytes) of the
// request at the front of recv_mbuf, in place, continuing from the connection's
// http_request_state (made when missing). Raises NS_EV_HTTP_CHUNK when anything
// was consumed; a handler that sets NCF_DELETE_CHUNK drops the decoded bytes.
// Sets hm->body.len to the decoded length; once the last chunk is in,
// hm->whole_message.len covers the header block and the decoded body (bytes
// after it stay, for the next request); until then HTTP_LEN_TO_CLOSE. Returns
// 0, or -1 for a malformed chunk or when the state cannot be allocated.
[[nodiscard]] int http_decode_chunked(ns_conn* nc, http_message* hm, int header_len);

// Releases the connection's http_request_state, if any.
void http_free_request_state(ns_conn* nc);
