// The HTTP protocol layer of a connection: sees every event first, passes it on
// to the connection's handler, and turns recv_mbuf into request events, with
// chunked bodies decoded in place. A connection owns its http_chunk_state
// (through proto_data) while a chunked body is arriving. Network thread only.
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

// recv_mbuf size at which a header block that is still incomplete closes the
// connection.
inline constexpr size_t kHttpMaxHeaderBlockBytes = 8192;

// Chunked-body progress of the request at the front of recv_mbuf: the decoded
// bytes sit at the start of its body area. Heap record owned by the connection
// (proto_data), released once the request is delivered or the connection closes.
struct http_chunk_state {
  uint64_t decoded_len;
};

// Makes http_protocol_handler the connection's protocol handler; returns nc.
// Connections accepted on a listener inherit it.
ns_conn* http_attach_protocol(ns_conn* nc);

// The protocol handler. On NS_EV_RECV every complete request in recv_mbuf is
// delivered in order as NS_EV_HTTP_REQUEST and removed; a malformed header
// block, or kHttpMaxHeaderBlockBytes without a complete one, sets
// NCF_CLOSE_IMMEDIATELY. A request with "Sec-WebSocket-Key" upgrades the
// connection instead (net/websocket.h). On NS_EV_CLOSE a request whose body
// runs to the close (PUT/POST without Content-Length) is delivered first.
void http_protocol_handler(ns_conn* nc, int ev, void* ev_data);

// One chunk at p (m bytes): "<hex size>\r\n<data>\r\n". Returns the bytes it
// occupies (> 0) with *data and *size set; 0 when no complete chunk is there
// (also for a chunk extension, a trailer or a malformed line, which never
// complete); -1 when the size does not fit in 64 bits. The terminating chunk is
// exactly "0\r\n\r\n".
[[nodiscard]] ptrdiff_t http_parse_chunk(const char* p, size_t m, const char** data,
                                         uint64_t* size);

// Decodes the chunks that follow the header block (header_len bytes) of the
// request at the front of recv_mbuf, in place, continuing from the connection's
// http_chunk_state. Raises NS_EV_HTTP_CHUNK when anything was consumed; a
// handler that sets NCF_DELETE_CHUNK drops the decoded bytes. Sets hm->body.len
// to the decoded length; once the terminating chunk is in, hm->whole_message.len
// covers the header block and the decoded body (bytes after it stay, for the
// next request); until then HTTP_LEN_TO_CLOSE. Sets NCF_CLOSE_IMMEDIATELY when
// the state cannot be allocated or a chunk size overflows.
void http_decode_chunked(ns_conn* nc, http_message* hm, int header_len);

// Releases the connection's http_chunk_state, if any.
void http_free_chunk_state(ns_conn* nc);
