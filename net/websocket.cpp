#include "net/websocket.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "codec/base64.h"
#include "codec/sha1.h"

namespace {

// While a fragmented message is collected, recv_mbuf begins with a prefix:
// one flag byte (the first fragment's header byte, opcode cleared), the
// collected length (32 bits, host order), then the collected payload; the
// frames not yet parsed follow. proto_data points at this marker for exactly
// that time, so the prefix is never mistaken for a frame or the reverse.
constexpr char kReassemblingMarker = 0;
constexpr size_t kPrefixBytes = 5;

bool IsReassembling(const ns_conn* nc) {
  return nc->proto_data == &kReassemblingMarker;
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
  nc->proto_data = nullptr;  // no message is being collected any more
}

int RefuseTooBig(ns_conn* nc) {
  const unsigned char status[2] = {kWsCloseTooBig >> 8, kWsCloseTooBig & 0xff};
  ws_send_frame(nc, WEBSOCKET_OP_CLOSE, status, sizeof status);
  DropInput(nc);
  return 0;
}

// Every complete frame in recv_mbuf, up to a close: after it the peer may
// send nothing (RFC 6455 section 5.5.1), and an answer to a later frame would
// follow our own close frame.
void DeliverFrames(ns_conn* nc) {
  while (!(nc->flags & (NCF_CLOSE_IMMEDIATELY | NCF_SEND_AND_CLOSE)) && ws_deliver_frame(nc) == 1) {
  }
  if (nc->flags & NCF_SEND_AND_CLOSE) DropInput(nc);
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

void Deliver(ns_conn* nc, unsigned char* data, uint64_t size, unsigned char flags) {
  ws_message msg{data, size, flags};
  const size_t queued = nc->send_mbuf.len;
  const int op = flags & 0x0f;
  if (nc->handler != nullptr)
    nc->handler(nc, (flags & 0x08) ? NS_EV_WS_CONTROL_FRAME : NS_EV_WS_FRAME, &msg);
  // Peers keep the connection only while their pings are answered and expect
  // their close to be echoed; a handler that answered itself has done it.
  const bool answered = nc->send_mbuf.len != queued;
  if (op == WEBSOCKET_OP_PING && !answered) ws_send_frame(nc, WEBSOCKET_OP_PONG, data, size);
  if (op == WEBSOCKET_OP_CLOSE) {
    if (!answered) ws_send_frame(nc, WEBSOCKET_OP_CLOSE, data, size >= 2 ? 2 : 0);
    nc->flags |= NCF_SEND_AND_CLOSE;
  }
}

}  // namespace

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
  ws_base64_encode(digest, sizeof(digest), accept);
  ns_printf(nc,
            "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Accept: %s\r\n\r\n",
            accept);
}

void ws_upgrade(ns_conn* nc, http_message* hm, int header_len) {
  nc->proto_handler = ws_protocol_handler;
  nc->proto_data = nullptr;
  nc->flags |= NCF_WEBSOCKET;

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
  if (nc->handler != nullptr) nc->handler(nc, ev, ev_data);
  if (ev == NS_EV_RECV) {
    DeliverFrames(nc);
  } else if (ev == NS_EV_POLL && ev_data != nullptr) {
    const int64_t now = *static_cast<const int64_t*>(ev_data);
    if ((nc->flags & NCF_WEBSOCKET) && nc->last_io_time + kWsPingIdleSeconds < now) {
      ws_send_frame(nc, WEBSOCKET_OP_PING, nullptr, 0);
    }
  }
}

int ws_deliver_frame(ns_conn* nc) {
  mbuf* r = &nc->recv_mbuf;
  const bool reassembling = IsReassembling(nc);
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
  if (hr < 0) return Fail(nc);
  if (hr == 0) return 0;

  const unsigned char b0 = p[0];
  const int op = b0 & 0x0f;
  const bool fin = (b0 & kWsFinBit) != 0;
  const bool control = (op & 0x08) != 0;
  const bool fragment = !fin || op == WEBSOCKET_OP_CONTINUE;
  const bool collect = reassembling ? !control : fragment && !(nc->flags & NCF_WS_NO_REASSEMBLY);
  // Decided from the header alone, so a stream that can never be delivered
  // closes now instead of after gigabytes have been buffered.
  if (collect) {
    if (reassembling && op != WEBSOCKET_OP_CONTINUE) return Fail(nc);  // new message inside one
    if (!reassembling && (op == WEBSOCKET_OP_CONTINUE || control))
      return Fail(nc);  // nothing to continue
  }
  // Refused from the header alone, before the payload is buffered.
  if (fh.payload_len > kWsMaxMessageBytes - (collect ? collected : 0)) return RefuseTooBig(nc);
  if (fh.payload_len > m - fh.header_len) return 0;

  const size_t h = fh.header_len;
  const size_t payload = static_cast<size_t>(fh.payload_len);
  const size_t frame_len = h + payload;
  if (fh.masked) {
    const unsigned char* key = p + h - 4;
    for (size_t k = 0; k < payload; k++) p[h + k] ^= key[k & 3];
  }

  if (!collect) {  // whole message, a fragment delivered as is, or a control frame between
                   // fragments
    Deliver(nc, p + h, payload, b0);
    memmove(r->buf + pos, r->buf + pos + frame_len, r->len - pos - frame_len);
    r->len -= frame_len;
    return 1;
  }
  if (reassembling) {
    memmove(r->buf + pos, r->buf + pos + h, r->len - pos - h);
    r->len -= h;
    collected += static_cast<uint32_t>(payload);
    memcpy(r->buf + 1, &collected, sizeof(collected));
    if (fin) {
      Deliver(nc, reinterpret_cast<unsigned char*>(r->buf) + kPrefixBytes, collected, b0);
      nc->proto_data = nullptr;
      mbuf_remove(r, kPrefixBytes + collected);
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
  nc->proto_data = const_cast<char*>(&kReassemblingMarker);
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
