#include "net/websocket.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "codec/base64.h"
#include "codec/sha1.h"

namespace {

// Per-connection state of an upgraded connection, owned through proto_data
// from the upgrade (or its first frame) until NS_EV_CLOSE.
//
// While a fragmented message is collected, recv_mbuf begins with a prefix:
// one flag byte (the first fragment's header byte, opcode cleared), the
// collected length (32 bits, host order), then the collected payload; the
// frames not yet parsed follow. `reassembling` is set for exactly that time,
// so the prefix is never mistaken for a frame or the reverse.
struct WsState {
  bool reassembling;
  bool in_fragments;       // a message is being delivered fragment by fragment
  int message_op;          // opcode of the message being collected or delivered
  int64_t last_frame;      // pass time of the last complete frame (or the upgrade)
  int64_t last_ping;       // pass time of the service's last ping; 0 = none
  int pings_unanswered;    // pings sent since the peer's last pong
  bool pong_owed;          // a ping is to be answered once output has drained
  unsigned char pong_len;  // its payload
  unsigned char pong[125];
};
constexpr size_t kPrefixBytes = 5;
constexpr size_t kMaxControlPayload = 125;  // RFC 6455 section 5.5

WsState* State(ns_conn* nc) {
  if (nc->proto_data == nullptr) {
    auto* st = static_cast<WsState*>(calloc(1, sizeof(WsState)));
    if (st == nullptr) return nullptr;
    st->last_frame = nc->last_io_time;
    nc->proto_data = st;
  }
  return static_cast<WsState*>(nc->proto_data);
}

struct FrameHeader {
  size_t header_len;
  uint64_t payload_len;
  bool masked;
};

// 1 with *fh set; 0 while the header is incomplete; -1 for a length whose top
// bit is set, which no peer may send.
int ParseFrameHeader(const unsigned char* p, size_t m, FrameHeader* fh) {
  if (m < 2) return 0;
  const unsigned code = p[1] & 0x7f;
  fh->masked = (p[1] & 0x80) != 0;
  if (code < 126) {
    fh->header_len = 2;
    fh->payload_len = code;
  } else if (code == 126) {
    fh->header_len = 4;
    if (m < 4) return 0;
    fh->payload_len = (uint64_t{p[2]} << 8) | p[3];
  } else {
    fh->header_len = 10;
    if (m < 10) return 0;
    uint64_t n = 0;
    for (int i = 2; i < 10; i++) n = (n << 8) | p[i];
    if (n >> 63) return -1;
    fh->payload_len = n;
  }
  if (fh->masked) fh->header_len += 4;
  return m < fh->header_len ? 0 : 1;
}

int Fail(ns_conn* nc) {
  nc->flags |= NCF_CLOSE_IMMEDIATELY;
  return 0;
}

void DropInput(ns_conn* nc) {
  mbuf_remove(&nc->recv_mbuf, nc->recv_mbuf.len);
  if (auto* st = static_cast<WsState*>(nc->proto_data)) {
    st->reassembling = st->in_fragments = false;  // no message is being collected any more
    st->pong_owed = false;
  }
  ns_budget_release(nc);
}

// Fails the connection (RFC 6455 section 7.1.7): a close frame with the
// status, then nothing more is read.
int FailWith(ns_conn* nc, uint16_t status) {
  const unsigned char code[2] = {static_cast<unsigned char>(status >> 8),
                                 static_cast<unsigned char>(status & 0xff)};
  ws_send_frame(nc, WEBSOCKET_OP_CLOSE, code, sizeof code);
  DropInput(nc);
  return 0;
}

bool IsDataOpcode(int op) {
  return op == WEBSOCKET_OP_CONTINUE || op == WEBSOCKET_OP_TEXT || op == WEBSOCKET_OP_BINARY;
}

bool IsControlOpcode(int op) {
  return op == WEBSOCKET_OP_CLOSE || op == WEBSOCKET_OP_PING || op == WEBSOCKET_OP_PONG;
}

// The pong owed goes out once nothing else waits in front of it: a peer that
// pings and never reads gets one pong, for its latest ping (RFC 6455 section
// 5.5.3), not one per ping.
void FlushPong(ns_conn* nc) {
  auto* st = static_cast<WsState*>(nc->proto_data);
  if (st == nullptr || !st->pong_owed || nc->send_mbuf.len != 0 ||
      (nc->flags & (NCF_SEND_AND_CLOSE | NCF_CLOSE_IMMEDIATELY))) {
    return;
  }
  st->pong_owed = false;
  ws_send_frame(nc, WEBSOCKET_OP_PONG, st->pong, st->pong_len);
}

// Every complete frame in recv_mbuf, up to a close: after it the peer may
// send nothing (RFC 6455 section 5.5.1), and an answer to a later frame would
// follow our own close frame. Frames wait while the peer leaves too much
// output unread.
void DeliverFrames(ns_conn* nc) {
  while (!(nc->flags & (NCF_CLOSE_IMMEDIATELY | NCF_SEND_AND_CLOSE)) &&
         nc->send_mbuf.len <= kSendHighWaterBytes && ws_deliver_frame(nc) == 1) {
  }
  if (nc->flags & NCF_SEND_AND_CLOSE) DropInput(nc);
  FlushPong(nc);
}

// Sec-WebSocket-Key: 16 bytes in Base64 are 22 characters of the alphabet
// and "==".
bool IsHandshakeKey(const ns_str* key) {
  constexpr size_t kKeyChars = 24;
  if (key == nullptr || key->len != kKeyChars) return false;
  for (size_t i = 0; i < kKeyChars - 2; i++) {
    const char c = key->data[i];
    const bool alphabet = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                          (c >= '0' && c <= '9') || c == '+' || c == '/';
    if (!alphabet) return false;
  }
  return key->data[kKeyChars - 2] == '=' && key->data[kKeyChars - 1] == '=';
}

// A status a peer may send in a close frame (RFC 6455 section 7.4): the
// defined ones other than those reserved for reports (1004-1006, 1015), and
// the ranges for libraries and applications.
bool IsSendableCloseStatus(unsigned code) {
  if (code >= 3000 && code <= 4999) return true;
  return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1014);
}

// Checks a received close frame's body; 0 when it may be echoed, else the
// status to fail with.
uint16_t CloseBodyError(const unsigned char* data, uint64_t size) {
  if (size == 0) return 0;
  if (size == 1) return kWsCloseProtocolError;
  const unsigned code = (unsigned{data[0]} << 8) | data[1];
  if (!IsSendableCloseStatus(code)) return kWsCloseProtocolError;
  if (!ws_utf8_valid(data + 2, static_cast<size_t>(size - 2))) return kWsCloseBadData;
  return 0;
}

int Deliver(ns_conn* nc, WsState* st, unsigned char* data, uint64_t size, unsigned char flags,
            int message_op) {
  const int op = flags & 0x0f;
  if (message_op == WEBSOCKET_OP_TEXT && !ws_utf8_valid(data, static_cast<size_t>(size))) {
    return FailWith(nc, kWsCloseBadData);
  }
  if (op == WEBSOCKET_OP_CLOSE) {
    if (const uint16_t error = CloseBodyError(data, size)) return FailWith(nc, error);
  }
  if (op == WEBSOCKET_OP_PONG) st->pings_unanswered = 0;
  st->last_frame = nc->last_io_time;
  ws_message msg{data, size, flags};
  const size_t queued = nc->send_mbuf.len;
  if (nc->handler != nullptr)
    nc->handler(nc, (flags & 0x08) ? NS_EV_WS_CONTROL_FRAME : NS_EV_WS_FRAME, &msg);
  // Peers keep the connection only while their pings are answered and expect
  // their close to be echoed; a handler that answered itself has done it.
  const bool answered = nc->send_mbuf.len != queued;
  if (op == WEBSOCKET_OP_PING && !answered) {
    st->pong_owed = true;
    st->pong_len = static_cast<unsigned char>(size);
    if (size > 0) memcpy(st->pong, data, static_cast<size_t>(size));
  }
  if (op == WEBSOCKET_OP_CLOSE) {
    if (!answered) ws_send_frame(nc, WEBSOCKET_OP_CLOSE, data, size >= 2 ? 2 : 0);
    nc->flags |= NCF_SEND_AND_CLOSE;
  }
  return 1;
}

}  // namespace

bool ws_utf8_valid(const unsigned char* p, size_t n) {
  size_t i = 0;
  while (i < n) {
    const unsigned char c = p[i];
    if (c < 0x80) {
      i++;
      continue;
    }
    size_t len = 0;
    unsigned lo = 0x80, hi = 0xbf;  // range of the second byte
    if (c >= 0xc2 && c <= 0xdf) {
      len = 2;
    } else if (c >= 0xe0 && c <= 0xef) {
      len = 3;
      if (c == 0xe0) lo = 0xa0;  // no overlong forms
      if (c == 0xed) hi = 0x9f;  // no surrogates
    } else if (c >= 0xf0 && c <= 0xf4) {
      len = 4;
      if (c == 0xf0) lo = 0x90;
      if (c == 0xf4) hi = 0x8f;  // nothing above U+10FFFF
    } else {
      return false;
    }
    if (n - i < len) return false;
    if (p[i + 1] < lo || p[i + 1] > hi) return false;
    for (size_t k = 2; k < len; k++) {
      if ((p[i + k] & 0xc0) != 0x80) return false;
    }
    i += len;
  }
  return true;
}

WsHandshake ws_handshake_check(const http_message* hm) {
  const ns_str* key = http_find_header(hm, "Sec-WebSocket-Key");
  const ns_str* upgrade = http_find_header(hm, "Upgrade");
  const bool websocket = http_list_has_token(upgrade, "websocket");
  if (key == nullptr && !websocket) return WsHandshake::kNone;
  const bool valid =
      ns_str_compare(&hm->method, "GET") == 0 && ns_str_compare(&hm->protocol, "HTTP/1.1") == 0 &&
      hm->body.len == 0 && websocket &&
      http_list_has_token(http_find_header(hm, "Connection"), "upgrade") && IsHandshakeKey(key);
  if (!valid) return WsHandshake::kRefuse;
  const ns_str* version = http_find_header(hm, "Sec-WebSocket-Version");
  if (version == nullptr || ns_str_compare(version, "13") != 0) return WsHandshake::kBadVersion;
  return WsHandshake::kAccept;
}

void ws_handshake_reply(ns_conn* nc, const ns_str* key) {
  char key_guid[kWsKeyGuidBytes];
  const int key_len = key != nullptr && key->len < kWsKeyGuidBytes ? static_cast<int>(key->len)
                      : key != nullptr ? static_cast<int>(kWsKeyGuidBytes - 1)
                                       : 0;
  const int n =
      snprintf(key_guid, sizeof(key_guid), "%.*s%s", key_len, key_len ? key->data : "", kWsGuid);
  const size_t text_len = n < 0
                              ? 0
                              : (static_cast<size_t>(n) < sizeof(key_guid) ? static_cast<size_t>(n)
                                                                           : sizeof(key_guid) - 1);
  unsigned char digest[kSha1DigestBytes];
  if (Sha1Digest(std::string_view(key_guid, text_len), digest) != 0) {
    nc->flags |= NCF_CLOSE_IMMEDIATELY;  // no accept key: no upgrade
    return;
  }
  char accept[32];  // 28 characters and the terminator
  static_assert(sizeof accept >= ((kSha1DigestBytes + 2) / 3) * 4 + 1);
  b64_encode(accept, digest, sizeof(digest));
  ns_printf(nc,
            "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Accept: %s\r\n\r\n",
            accept);
}

void ws_upgrade(ns_conn* nc, http_message* hm, int header_len) {
  nc->proto_handler = ws_protocol_handler;
  nc->proto_data = nullptr;
  nc->flags |= NCF_WEBSOCKET;
  if (State(nc) == nullptr) {
    nc->flags |= NCF_CLOSE_IMMEDIATELY;
    mbuf_remove(&nc->recv_mbuf, static_cast<size_t>(header_len));
    return;
  }

  // Replies to earlier pipelined requests may already be queued; only what the
  // handler adds now counts as its own answer to the handshake.
  const size_t queued = nc->send_mbuf.len;
  if (nc->handler != nullptr) nc->handler(nc, NS_EV_WS_HANDSHAKE_REQUEST, hm);
  if (nc->flags & NCF_CLOSE_IMMEDIATELY) {
    mbuf_remove(&nc->recv_mbuf, static_cast<size_t>(header_len));
    return;
  }
  if (nc->send_mbuf.len == queued) {
    ws_handshake_reply(nc, http_find_header(hm, "Sec-WebSocket-Key"));
    if (nc->handler != nullptr) nc->handler(nc, NS_EV_WS_HANDSHAKE_DONE, nullptr);
  }
  mbuf_remove(&nc->recv_mbuf, static_cast<size_t>(header_len));
  DeliverFrames(nc);
}

void ws_protocol_handler(ns_conn* nc, int ev, void* ev_data) {
  if (ev == NS_EV_CLOSE) {
    if (nc->handler != nullptr) nc->handler(nc, ev, ev_data);
    free(nc->proto_data);
    nc->proto_data = nullptr;
    return;
  }
  if (nc->handler != nullptr) nc->handler(nc, ev, ev_data);
  if (ev == NS_EV_RECV) {
    DeliverFrames(nc);
  } else if (ev == NS_EV_SEND) {
    DeliverFrames(nc);  // frames held back behind unread output, and the pong owed
  } else if (ev == NS_EV_POLL && ev_data != nullptr && (nc->flags & NCF_WEBSOCKET)) {
    WsState* st = State(nc);
    if (st == nullptr) return;
    const int64_t now = *static_cast<const int64_t*>(ev_data);
    // Only the peer's frames count as life: the service's own pings are
    // written too, and would otherwise keep a dead peer's slot for ever.
    const int64_t since = st->last_ping > st->last_frame ? st->last_ping : st->last_frame;
    if (now - since <= ns_deadline(nc, kWsPingIdleSeconds)) return;
    if (st->pings_unanswered >= kWsMaxUnansweredPings) {
      nc->flags |= NCF_CLOSE_IMMEDIATELY;
      return;
    }
    ws_send_frame(nc, WEBSOCKET_OP_PING, nullptr, 0);
    st->last_ping = now;
    st->pings_unanswered++;
  }
}

int ws_deliver_frame(ns_conn* nc) {
  WsState* st = State(nc);
  if (st == nullptr) return Fail(nc);
  mbuf* r = &nc->recv_mbuf;
  const bool reassembling = st->reassembling;
  size_t pos = 0;
  uint32_t collected = 0;
  if (reassembling) {
    if (r->len < kPrefixBytes) return Fail(nc);
    memcpy(&collected, r->buf + 1, sizeof(collected));
    if (r->len - kPrefixBytes < collected) return Fail(nc);
    pos = kPrefixBytes + collected;
  }
  if (r->len <= pos) return 0;

  unsigned char* p = reinterpret_cast<unsigned char*>(r->buf) + pos;
  const size_t m = r->len - pos;
  FrameHeader fh;
  const int hr = ParseFrameHeader(p, m, &fh);
  if (hr < 0) return FailWith(nc, kWsCloseProtocolError);
  if (hr == 0) return 0;

  const unsigned char b0 = p[0];
  const int op = b0 & 0x0f;
  const bool fin = (b0 & kWsFinBit) != 0;
  const bool control = (op & 0x08) != 0;
  // RFC 6455 section 5: no extension was agreed, so no RSV bit; only the
  // defined opcodes; every client frame masked; control frames whole and
  // short; a continuation only inside a message, a new message only outside.
  const bool in_message = reassembling || st->in_fragments;
  if ((b0 & 0x70) != 0 || !(IsDataOpcode(op) || IsControlOpcode(op)) || !fh.masked ||
      (control && (!fin || fh.payload_len > kMaxControlPayload)) ||
      (!control && (op == WEBSOCKET_OP_CONTINUE) != in_message)) {
    return FailWith(nc, kWsCloseProtocolError);
  }
  const bool collect = !control && (reassembling || (!fin && !(nc->flags & NCF_WS_NO_REASSEMBLY)));
  // Refused from the header alone, before the payload is buffered.
  if (fh.payload_len > kWsMaxMessageBytes - (collect ? collected : 0)) {
    return FailWith(nc, kWsCloseTooBig);
  }
  if (fh.payload_len > m - fh.header_len) {
    // The rest of the frame is to come: its bytes count against the budget.
    const uint64_t hold = (collect ? collected : 0) + fh.payload_len;
    if (!ns_budget_reserve(nc, static_cast<size_t>(hold))) return FailWith(nc, kWsCloseTryLater);
    return 0;
  }

  const size_t h = fh.header_len;
  const size_t payload = static_cast<size_t>(fh.payload_len);
  const size_t frame_len = h + payload;
  const unsigned char* key = p + h - 4;
  for (size_t k = 0; k < payload; k++) p[h + k] ^= key[k & 3];

  if (!collect) {  // whole message, a fragment delivered as is, or a control frame between
                   // fragments
    int message_op = op;
    if (!control && !fin && op != WEBSOCKET_OP_CONTINUE) {
      st->in_fragments = true;
      st->message_op = op;
    }
    // Fragments delivered one by one may split a character: not checked.
    if (!control && (st->in_fragments || op == WEBSOCKET_OP_CONTINUE)) message_op = -1;
    if (!control && fin) st->in_fragments = false;
    if (Deliver(nc, st, p + h, payload, b0, message_op) == 0) return 0;
    memmove(r->buf + pos, r->buf + pos + frame_len, r->len - pos - frame_len);
    r->len -= frame_len;
    if (!st->reassembling) ns_budget_release(nc);
    return 1;
  }
  if (reassembling) {
    memmove(r->buf + pos, r->buf + pos + h, r->len - pos - h);
    r->len -= h;
    collected += static_cast<uint32_t>(payload);
    memcpy(r->buf + 1, &collected, sizeof(collected));
    if (fin) {
      st->reassembling = false;
      if (Deliver(nc, st, reinterpret_cast<unsigned char*>(r->buf) + kPrefixBytes, collected, b0,
                  st->message_op) == 0) {
        return 0;
      }
      mbuf_remove(r, kPrefixBytes + collected);
      ns_budget_release(nc);
    }
    return 1;
  }

  // First fragment, at the front of the buffer: its header becomes the prefix.
  if (h < kPrefixBytes) {
    const size_t need = r->len + (kPrefixBytes - h);
    if (r->size < need) mbuf_resize(r, need);
    if (r->size < need) return Fail(nc);
  }
  memmove(r->buf + kPrefixBytes, r->buf + h, r->len - h);
  r->len = r->len - h + kPrefixBytes;
  r->buf[0] = static_cast<char>(b0 & 0xf0);
  collected = static_cast<uint32_t>(payload);
  memcpy(r->buf + 1, &collected, sizeof(collected));
  st->reassembling = true;
  st->message_op = op;
  return 1;
}

void ws_send_frame(ns_conn* nc, int op, const void* data, size_t len) {
  unsigned char header[10];
  size_t h = 0;
  header[h++] = static_cast<unsigned char>(kWsFinBit | (op & 0x0f));
  if (len < 126) {
    header[h++] = static_cast<unsigned char>(len);
  } else if (len <= 0xffff) {
    header[h++] = 126;
    header[h++] = static_cast<unsigned char>(len >> 8);
    header[h++] = static_cast<unsigned char>(len);
  } else {
    header[h++] = 127;
    const uint64_t n = len;
    for (int shift = 56; shift >= 0; shift -= 8)
      header[h++] = static_cast<unsigned char>(n >> shift);
  }
  ns_send(nc, header, h);
  if (len > 0) ns_send(nc, data, len);
  if (op == WEBSOCKET_OP_CLOSE) nc->flags |= NCF_SEND_AND_CLOSE;
}
