#include "net/http_protocol.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "net/websocket.h"

namespace {

// Replies the layer writes itself. Refusals carry no body and close the
// connection: after a request that cannot be read, nothing after it can be
// trusted to start a request.
enum class Fixed : uint8_t {
  kContinue,
  kBadRequest,
  kBadWebSocketVersion,
  kTimeout,
  kTooLarge,
  kExpectationFailed,
  kHeadersTooLarge,
  kUriTooLong,
  kVersionNotSupported,
  kBusy,
};

constexpr std::string_view kFixedReplies[] = {
    "HTTP/1.1 100 Continue\r\n\r\n",
    "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n",
    // RFC 6455 section 4.4: a refused version names the one understood.
    "HTTP/1.1 400 Bad Request\r\nSec-WebSocket-Version: 13\r\nContent-Length: 0\r\n"
    "Connection: close\r\n\r\n",
    "HTTP/1.1 408 Request Timeout\r\nContent-Length: 0\r\nConnection: close\r\n\r\n",
    "HTTP/1.1 413 Content Too Large\r\nContent-Length: 0\r\nConnection: close\r\n\r\n",
    "HTTP/1.1 417 Expectation Failed\r\nContent-Length: 0\r\nConnection: close\r\n\r\n",
    "HTTP/1.1 431 Request Header Fields Too Large\r\nContent-Length: 0\r\nConnection: "
    "close\r\n\r\n",
    "HTTP/1.1 414 URI Too Long\r\nContent-Length: 0\r\nConnection: close\r\n\r\n",
    "HTTP/1.1 505 HTTP Version Not Supported\r\nContent-Length: 0\r\nConnection: close\r\n\r\n",
    "HTTP/1.1 503 Service Unavailable\r\nRetry-After: 1\r\nContent-Length: 0\r\nConnection: "
    "close\r\n\r\n",
};

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsControl(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return (u < 0x20 && c != '\t') || u == 0x7f;
}

void RaiseToHandler(ns_conn* nc, int ev, void* ev_data) {
  if (nc->handler != nullptr) nc->handler(nc, ev, ev_data);
}

void Send(ns_conn* nc, Fixed reply) {
  const std::string_view text = kFixedReplies[static_cast<size_t>(reply)];
  ns_send(nc, text.data(), text.size());
}

http_request_state* State(ns_conn* nc) {
  return static_cast<http_request_state*>(nc->proto_data);
}

// The state of the request at the front, made by the read that leaves it
// incomplete: the pass that brought its first byte.
http_request_state* StateForRequest(ns_conn* nc) {
  if (State(nc) == nullptr) {
    auto* st = static_cast<http_request_state*>(calloc(1, sizeof(http_request_state)));
    if (st == nullptr) return nullptr;
    st->started = nc->last_io_time;
    nc->proto_data = st;
  }
  return State(nc);
}

// Drops what was received; nothing on this connection is read any more.
void DropInput(ns_conn* nc) {
  mbuf_remove(&nc->recv_mbuf, nc->recv_mbuf.len);
  http_free_request_state(nc);
}

// The last reply of the connection: queued behind the replies before it,
// which still go out.
void Refuse(ns_conn* nc, Fixed reply) {
  Send(nc, reply);
  nc->flags |= NCF_SEND_AND_CLOSE;
  DropInput(nc);
}

// The parser takes a signed 32-bit count; a larger buffer is parsed over its
// first INT_MAX bytes, which always hold the header block if it is complete.
int ParseFront(const mbuf* r, http_message* hm, HttpRefusal* why) {
  const int len = r->len > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(r->len);
  return http_parse_request(r->buf, len, hm, why);
}

bool IsChunked(const http_message* hm) {
  return http_find_header(hm, "Transfer-Encoding") != nullptr;  // the parser let only chunked in
}

// RFC 9110 section 10.1.1; an HTTP/1.0 client cannot have meant it.
bool ExpectsContinue(const http_message* hm) {
  const ns_str* expect = http_find_header(hm, "Expect");
  return expect != nullptr && ns_str_compare_nocase(expect, "100-continue") == 0 &&
         ns_str_compare(&hm->protocol, "HTTP/1.1") == 0;
}

// Cuts what the handler queued from queued on down to the reply's header
// block (RFC 9110 section 9.3.2).
void KeepReplyHeadOnly(mbuf* send, size_t queued) {
  constexpr std::string_view kBlockEnd = "\r\n\r\n";
  const std::string_view reply(send->buf + queued, send->len - queued);
  const size_t end = reply.find(kBlockEnd);
  if (end != std::string_view::npos) send->len = queued + end + kBlockEnd.size();
}

// RFC 9112 section 9.3: "Connection: close" ends the connection after the
// reply; an HTTP/1.0 request does unless it asks to keep it.
bool IsLastRequest(const http_message* hm) {
  const ns_str* connection = http_find_header(hm, "Connection");
  if (http_list_has_token(connection, "close")) return true;
  return ns_str_compare(&hm->protocol, "HTTP/1.0") == 0 &&
         !http_list_has_token(connection, "keep-alive");
}

// The request line at the front is longer than the bound, arrived or not.
bool RequestLineTooLong(const mbuf* r) {
  const size_t look = r->len < kHttpMaxRequestLineBytes + 2 ? r->len : kHttpMaxRequestLineBytes + 2;
  const void* lf = memchr(r->buf, '\n', look);
  if (lf == nullptr) return r->len > kHttpMaxRequestLineBytes + 1;
  size_t line = static_cast<size_t>(static_cast<const char*>(lf) - r->buf);
  if (line > 0 && r->buf[line - 1] == '\r') line--;
  return line > kHttpMaxRequestLineBytes;
}

void Deliver(ns_conn* nc, http_message* hm) {
  const bool head = ns_str_compare(&hm->method, "HEAD") == 0;
  const size_t queued = nc->send_mbuf.len;
  RaiseToHandler(nc, NS_EV_HTTP_REQUEST, hm);
  if (head && nc->send_mbuf.len > queued) KeepReplyHeadOnly(&nc->send_mbuf, queued);
}

void HandleReceive(ns_conn* nc) {
  mbuf* r = &nc->recv_mbuf;
  // Every complete request in the buffer is delivered now: a client that
  // pipelines sends nothing more until it has its answers.
  for (;;) {
    if (nc->flags & (NCF_CLOSE_IMMEDIATELY | NCF_SEND_AND_CLOSE)) {
      DropInput(nc);
      return;
    }
    if (r->len == 0) {
      http_free_request_state(nc);
      return;
    }
    // Replies not yet taken by the peer, or one still to come, hold the
    // requests behind them (NS_EV_SEND, or the deferred reply, resumes).
    if (nc->send_mbuf.len > kSendHighWaterBytes || (nc->flags & NCF_REPLY_DEFERRED)) return;
    if (RequestLineTooLong(r)) {
      Refuse(nc, Fixed::kUriTooLong);
      return;
    }
    http_message hm;
    HttpRefusal why = HttpRefusal::kNone;
    const int n = ParseFront(r, &hm, &why);
    // However the block arrives, longer than the limit is too long.
    if (n > static_cast<int>(kHttpMaxHeaderBlockBytes)) {
      Refuse(nc, Fixed::kHeadersTooLarge);
      return;
    }
    if (n < 0) {
      Refuse(nc, why == HttpRefusal::kTooManyHeaders ? Fixed::kHeadersTooLarge
                 : why == HttpRefusal::kBadVersion   ? Fixed::kVersionNotSupported
                                                     : Fixed::kBadRequest);
      return;
    }
    if (n == 0) {
      if (r->len >= kHttpMaxHeaderBlockBytes) {
        Refuse(nc, Fixed::kHeadersTooLarge);
      } else if (StateForRequest(nc) == nullptr) {
        nc->flags |= NCF_CLOSE_IMMEDIATELY;
      }
      return;
    }

    switch (ws_handshake_check(&hm)) {
      case WsHandshake::kNone:
        break;
      case WsHandshake::kAccept:
        http_free_request_state(nc);
        ws_upgrade(nc, &hm, n);
        return;
      case WsHandshake::kBadVersion:
        Refuse(nc, Fixed::kBadWebSocketVersion);
        return;
      case WsHandshake::kRefuse:
        Refuse(nc, Fixed::kBadRequest);
        return;
    }

    // RFC 9112 section 6.1: an HTTP/1.0 message with Transfer-Encoding has
    // faulty framing.
    if (IsChunked(&hm) && ns_str_compare(&hm.protocol, "HTTP/1.0") == 0) {
      Refuse(nc, Fixed::kBadRequest);
      return;
    }
    if (IsChunked(&hm) && http_decode_chunked(nc, &hm, n) != 0) {
      Refuse(nc, Fixed::kBadRequest);
      return;
    }
    if (nc->flags & (NCF_CLOSE_IMMEDIATELY | NCF_SEND_AND_CLOSE)) continue;  // set by a chunk event
    // A length given up front is refused before its body is read; a chunked
    // body once it has brought more than the bound in.
    const bool expects_continue = ExpectsContinue(&hm);
    const bool continue_sent = State(nc) != nullptr && State(nc)->continue_sent;
    const bool length_known = hm.whole_message.len != HTTP_LEN_TO_CLOSE;
    if ((length_known ? hm.whole_message.len : r->len) > kHttpMaxRequestBytes) {
      Refuse(nc, expects_continue && !continue_sent ? Fixed::kExpectationFailed : Fixed::kTooLarge);
      return;
    }
    if (!length_known || hm.whole_message.len > r->len) {
      // The body is still to come; from now on only the idle time-out applies.
      http_request_state* st = StateForRequest(nc);
      if (st == nullptr) {
        nc->flags |= NCF_CLOSE_IMMEDIATELY;
        return;
      }
      if (!st->header_done) {
        st->header_done = true;
        st->body_started = nc->last_io_time;
        // Every body under way holds its share of the memory budget from its
        // header block on; past the budget a new one waits for a retry.
        const uint64_t announced = length_known ? hm.whole_message.len : kHttpMaxRequestBytes;
        if (!ns_budget_reserve(nc, static_cast<size_t>(announced))) {
          Refuse(nc, Fixed::kBusy);
          return;
        }
      }
      if (expects_continue && !st->continue_sent) {
        Send(nc, Fixed::kContinue);
        st->continue_sent = true;
      }
      return;
    }

    const bool last = IsLastRequest(&hm);
    Deliver(nc, &hm);
    // A handler that consumed bytes itself must not make us remove past the end.
    const size_t take =
        hm.whole_message.len <= r->len ? static_cast<size_t>(hm.whole_message.len) : r->len;
    mbuf_remove(r, take);
    http_free_request_state(nc);
    if (last) {
      // Its reply (now or, when deferred, later) is the connection's last.
      nc->flags |= NCF_SEND_AND_CLOSE;
      DropInput(nc);
      return;
    }
    if (take == 0) return;
  }
}

void CheckTimeouts(ns_conn* nc, int64_t now) {
  if (nc->flags & (NCF_LISTENING | NCF_UDP | NCF_CLOSE_IMMEDIATELY)) return;
  if (now - nc->last_io_time > ns_deadline(nc, kHttpIdleSeconds)) {
    nc->flags |= NCF_CLOSE_IMMEDIATELY;
    return;
  }
  const http_request_state* st = State(nc);
  if (st == nullptr || (nc->flags & NCF_SEND_AND_CLOSE) != 0) return;
  if (!st->header_done) {
    if (now - st->started > ns_deadline(nc, kHttpHeaderSeconds)) Refuse(nc, Fixed::kTimeout);
    return;
  }
  // A body must keep a minimum average rate once its grace time is over.
  const int64_t elapsed = now - st->body_started;
  if (elapsed > ns_deadline(nc, kHttpBodyGraceSeconds) &&
      st->body_bytes < static_cast<uint64_t>(elapsed) * kHttpBodyMinBytesPerSecond) {
    Refuse(nc, Fixed::kTimeout);
  }
}

}  // namespace

ns_conn* http_attach_protocol(ns_conn* nc) {
  nc->proto_handler = http_protocol_handler;
  return nc;
}

void http_free_request_state(ns_conn* nc) {
  if (nc->proto_data != nullptr) ns_budget_release(nc);
  free(nc->proto_data);
  nc->proto_data = nullptr;
}

void http_protocol_handler(ns_conn* nc, int ev, void* ev_data) {
  if (ev == NS_EV_CLOSE) http_free_request_state(nc);
  if (ev == NS_EV_RECV && ev_data != nullptr && State(nc) != nullptr && State(nc)->header_done) {
    const int32_t count = *static_cast<const int32_t*>(ev_data);
    if (count > 0) State(nc)->body_bytes += static_cast<uint64_t>(count);
  }
  RaiseToHandler(nc, ev, ev_data);
  if (ev == NS_EV_RECV) {
    HandleReceive(nc);
    // A peer that sends a byte now and then is still held to its deadlines.
    if ((nc->flags & NCF_WEBSOCKET) == 0) CheckTimeouts(nc, nc->last_io_time);
  } else if (ev == NS_EV_SEND) {
    // Requests held back behind unread replies go on as the replies drain.
    if (nc->recv_mbuf.len > 0 && (nc->flags & NCF_WEBSOCKET) == 0) HandleReceive(nc);
  } else if (ev == NS_EV_POLL && ev_data != nullptr) {
    CheckTimeouts(nc, *static_cast<const int64_t*>(ev_data));
  }
}

ptrdiff_t http_parse_chunk(const char* p, size_t m, const char** data, uint64_t* size) {
  // An unfinished line waits for more, unless it is already over its bound.
  auto wait = [](size_t seen, size_t bound) -> ptrdiff_t { return seen >= bound ? -1 : 0; };
  size_t k = 0;
  uint64_t n = 0;
  for (int d; k < m && (d = HexDigit(p[k])) >= 0; k++) {
    if (n > (UINT64_MAX >> 4)) return -1;
    n = (n << 4) | static_cast<uint64_t>(d);
  }
  if (k == m) return wait(m, kHttpMaxChunkLineBytes);
  if (k == 0) return -1;
  // The rest of the size line: an extension (after optional white space,
  // RFC 9112 section 7.1.1), then CR LF.
  size_t line_end = k;
  while (line_end < m && (p[line_end] == ' ' || p[line_end] == '\t')) line_end++;
  if (line_end < m && p[line_end] == ';') {
    while (line_end < m && p[line_end] != '\r' && !IsControl(p[line_end])) line_end++;
  }
  if (line_end == m) return wait(m, kHttpMaxChunkLineBytes);
  if (p[line_end] != '\r') return -1;
  if (line_end + 1 == m) return wait(m, kHttpMaxChunkLineBytes);
  if (p[line_end + 1] != '\n') return -1;
  const size_t start = line_end + 2;
  if (start > kHttpMaxChunkLineBytes) return -1;
  const size_t avail = m - start;

  if (n == 0) {
    // Trailer fields, each ending in CR LF, then the empty line.
    size_t q = start;
    for (;;) {
      if (q == m) return wait(m - start, kHttpMaxHeaderBlockBytes);
      if (p[q] == '\r') {
        if (q + 1 == m) return wait(m - start, kHttpMaxHeaderBlockBytes);
        if (p[q + 1] != '\n') return -1;
        if (q + 2 - start > kHttpMaxHeaderBlockBytes) return -1;
        *data = p + start;
        *size = 0;
        return static_cast<ptrdiff_t>(q + 2);
      }
      while (q < m && p[q] != '\r' && !IsControl(p[q])) q++;
      if (q == m) return wait(m - start, kHttpMaxHeaderBlockBytes);
      if (p[q] != '\r') return -1;
      if (q + 1 == m) return wait(m - start, kHttpMaxHeaderBlockBytes);
      if (p[q + 1] != '\n') return -1;
      q += 2;
    }
  }
  if (n > avail) return 0;
  if (avail - n < 2) {
    if (avail - n == 1 && p[start + n] != '\r') return -1;
    return 0;
  }
  if (p[start + n] != '\r' || p[start + n + 1] != '\n') return -1;
  *data = p + start;
  *size = n;
  return static_cast<ptrdiff_t>(start + n + 2);
}

int http_decode_chunked(ns_conn* nc, http_message* hm, int header_len) {
  mbuf* r = &nc->recv_mbuf;
  if (header_len <= 0 || static_cast<size_t>(header_len) > r->len) return -1;
  http_request_state* state = StateForRequest(nc);
  if (state == nullptr) return -1;

  char* body = r->buf + header_len;
  size_t avail = r->len - static_cast<size_t>(header_len);
  size_t d = static_cast<size_t>(state->decoded_len);
  if (d > avail) return -1;  // the buffer no longer matches the state
  size_t i = d;
  bool complete = false;
  for (;;) {
    const char* data = nullptr;
    uint64_t size = 0;
    const ptrdiff_t used = http_parse_chunk(body + i, avail - i, &data, &size);
    if (used < 0) return -1;
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
  // Until the last chunk is in, the request waits; afterwards the bytes
  // behind the body are the next request's and stay in the buffer.
  hm->body.len = state->decoded_len;
  hm->whole_message.len =
      complete ? static_cast<uint64_t>(header_len) + state->decoded_len : HTTP_LEN_TO_CLOSE;
  return 0;
}
