#include "net/http_protocol.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "net/websocket.h"

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void RaiseToHandler(ns_conn* nc, int ev, void* ev_data) {
  if (nc->handler != nullptr) nc->handler(nc, ev, ev_data);
}

// The parser takes a signed 32-bit count; a larger buffer is parsed over its
// first INT_MAX bytes, which always hold the header block if it is complete.
int ParseFront(const mbuf* r, http_message* hm) {
  const int len = r->len > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(r->len);
  return http_parse_message(r->buf, len, hm);
}

bool IsChunked(const http_message* hm) {
  const ns_str* te = http_find_header(hm, "Transfer-Encoding");
  return te != nullptr && ns_str_compare_nocase(te, "chunked") == 0;
}

// At close, a request whose body runs to the end of the connection is
// complete. A request whose declared or chunked body was cut short is not
// delivered: its body would be wrong.
void DeliverAtClose(ns_conn* nc) {
  mbuf* r = &nc->recv_mbuf;
  if (r->len == 0) return;
  http_message hm;
  const int n = ParseFront(r, &hm);
  if (n <= 0 || hm.body.len != HTTP_LEN_TO_CLOSE || IsChunked(&hm)) return;
  if (http_find_header(&hm, "Sec-WebSocket-Key") != nullptr) return;
  hm.whole_message.len = r->len;
  hm.body.len = r->len - static_cast<size_t>(n);
  RaiseToHandler(nc, NS_EV_HTTP_REQUEST, &hm);
}

void HandleReceive(ns_conn* nc) {
  mbuf* r = &nc->recv_mbuf;
  // Every complete request in the buffer is delivered now: a client that
  // pipelines sends nothing more until it has its answers.
  for (;;) {
    http_message hm;
    const int n = ParseFront(r, &hm);
    if (n > 0 && IsChunked(&hm)) http_decode_chunked(nc, &hm, n);
    if (n < 0 || (n == 0 && r->len >= kHttpMaxHeaderBlockBytes)) {
      nc->flags |= NCF_CLOSE_IMMEDIATELY;
      return;
    }
    if (n == 0 || (nc->flags & NCF_CLOSE_IMMEDIATELY)) return;

    if (http_find_header(&hm, "Sec-WebSocket-Key") != nullptr) {
      http_free_chunk_state(nc);
      ws_upgrade(nc, &hm, n);
      return;
    }
    if (hm.whole_message.len > r->len) return;  // HTTP_LEN_TO_CLOSE always waits

    RaiseToHandler(nc, NS_EV_HTTP_REQUEST, &hm);
    // A handler that consumed bytes itself must not make us remove past the end.
    const size_t take =
        hm.whole_message.len <= r->len ? static_cast<size_t>(hm.whole_message.len) : r->len;
    mbuf_remove(r, take);
    http_free_chunk_state(nc);
    if (take == 0 || r->len == 0) return;
    if (nc->flags & (NCF_CLOSE_IMMEDIATELY | NCF_SEND_AND_CLOSE)) return;
  }
}

}  // namespace

ns_conn* http_attach_protocol(ns_conn* nc) {
  nc->proto_handler = http_protocol_handler;
  return nc;
}

void http_free_chunk_state(ns_conn* nc) {
  free(nc->proto_data);
  nc->proto_data = nullptr;
}

void http_protocol_handler(ns_conn* nc, int ev, void* ev_data) {
  if (ev == NS_EV_CLOSE) {
    DeliverAtClose(nc);
    http_free_chunk_state(nc);
  }
  RaiseToHandler(nc, ev, ev_data);
  if (ev == NS_EV_RECV) HandleReceive(nc);
}

ptrdiff_t http_parse_chunk(const char* p, size_t m, const char** data, uint64_t* size) {
  size_t k = 0;
  uint64_t n = 0;
  for (int d; k < m && (d = HexDigit(p[k])) >= 0; k++) {
    if (n > (UINT64_MAX >> 4)) return -1;
    n = (n << 4) | static_cast<uint64_t>(d);
  }
  if (k == 0 || m - k < 2 || p[k] != '\r' || p[k + 1] != '\n') return 0;
  const size_t avail = m - k - 2;  // bytes after the size line
  if (n > avail || avail - n < 2) return 0;
  const char* start = p + k + 2;
  if (start[n] != '\r' || start[n + 1] != '\n') return 0;
  *data = start;
  *size = n;
  return static_cast<ptrdiff_t>(k + 2 + n + 2);
}

void http_decode_chunked(ns_conn* nc, http_message* hm, int header_len) {
  mbuf* r = &nc->recv_mbuf;
  if (header_len <= 0 || static_cast<size_t>(header_len) > r->len) return;
  auto* state = static_cast<http_chunk_state*>(nc->proto_data);
  if (state == nullptr) {
    state = static_cast<http_chunk_state*>(calloc(1, sizeof(http_chunk_state)));
    if (state == nullptr) {
      nc->flags |= NCF_CLOSE_IMMEDIATELY;
      return;
    }
    nc->proto_data = state;
  }

  char* body = r->buf + header_len;
  size_t avail = r->len - static_cast<size_t>(header_len);
  size_t d = static_cast<size_t>(state->decoded_len);
  if (d > avail) {  // the buffer no longer matches the state
    nc->flags |= NCF_CLOSE_IMMEDIATELY;
    return;
  }
  size_t i = d;
  bool complete = false;
  for (;;) {
    const char* data = nullptr;
    uint64_t size = 0;
    const ptrdiff_t used = http_parse_chunk(body + i, avail - i, &data, &size);
    if (used < 0) {
      nc->flags |= NCF_CLOSE_IMMEDIATELY;
      return;
    }
    if (used == 0) break;
    memmove(body + d, data, static_cast<size_t>(size));
    d += static_cast<size_t>(size);
    hm->body.len = d;
    i += static_cast<size_t>(used);
    if (size == 0) {
      complete = true;
      break;
    }
  }

  if (i > d) {
    const size_t freed = i - d;
    memmove(body + d, body + i, avail - i);
    memset(body + (avail - freed), 0, freed);
    r->len -= freed;
    avail -= freed;
    state->decoded_len = d;

    nc->flags &= ~NCF_DELETE_CHUNK;
    RaiseToHandler(nc, NS_EV_HTTP_CHUNK, hm);
    if (nc->flags & NCF_DELETE_CHUNK) {
      memset(body, 0, d);
      memmove(body, body + d, avail - d);
      r->len -= d;
      state->decoded_len = 0;
      hm->body.len = 0;
      nc->flags &= ~NCF_DELETE_CHUNK;
    }
  }
  // Until the terminating chunk is in, the request waits whatever its
  // Content-Length says; afterwards the bytes behind the body are the next
  // request's and stay in the buffer.
  hm->body.len = state->decoded_len;
  hm->whole_message.len =
      complete ? static_cast<uint64_t>(header_len) + state->decoded_len : HTTP_LEN_TO_CLOSE;
}
