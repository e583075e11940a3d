// WebSocket on an HTTP connection: the upgrade and its 101 reply, frame parsing
// with unmasking and reassembly of fragmented messages in recv_mbuf, frame
// sending, and the ping of idle connections. Network thread only; frames and
// reassembled messages live in the connection's recv_mbuf.
#pragma once

#include <cstddef>
#include <cstdint>

#include "net/event_manager.h"
#include "net/http_parser.h"
#include "net/http_protocol.h"

// Events raised to the connection's handler (called directly, not dispatched).
inline constexpr int NS_EV_WS_HANDSHAKE_REQUEST =
    111;                                             // data: http_message* of the upgrade request
inline constexpr int NS_EV_WS_HANDSHAKE_DONE = 112;  // data: null
inline constexpr int NS_EV_WS_FRAME = 113;          // data: ws_message*, a data message or fragment
inline constexpr int NS_EV_WS_CONTROL_FRAME = 114;  // data: ws_message*, opcode 8 to 15

inline constexpr int WEBSOCKET_OP_CONTINUE = 0;
inline constexpr int WEBSOCKET_OP_TEXT = 1;
inline constexpr int WEBSOCKET_OP_BINARY = 2;
inline constexpr int WEBSOCKET_OP_CLOSE = 8;
inline constexpr int WEBSOCKET_OP_PING = 9;
inline constexpr int WEBSOCKET_OP_PONG = 10;

inline constexpr unsigned char kWsFinBit = 0x80;
inline constexpr char kWsGuid[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
inline constexpr size_t kWsKeyGuidBytes = 500;  // key + GUID before hashing; longer keys are cut
// A peer that sent no frame for this long is pinged; one that leaves this
// many pings unanswered (no pong) when the next would be due is closed: its
// slot would otherwise be held for ever (browsers answer at once).
inline constexpr int64_t kWsPingIdleSeconds = 5;
inline constexpr int kWsMaxUnansweredPings = 2;
// Most one frame, or one message with all its fragments, may make the service
// hold: the bound of an HTTP request. A longer one gets a close frame with
// status 1009 (RFC 6455 section 7.4.1), and nothing more is read.
inline constexpr uint64_t kWsMaxMessageBytes = kHttpMaxRequestBytes;
inline constexpr uint16_t kWsCloseTooBig = 1009;
inline constexpr uint16_t kWsCloseProtocolError = 1002;
inline constexpr uint16_t kWsCloseBadData = 1007;   // text that is not UTF-8
inline constexpr uint16_t kWsCloseTryLater = 1013;  // the memory budget is spent

// True when the n bytes are well-formed UTF-8 (RFC 3629: no overlong forms,
// surrogates or code points above U+10FFFF).
[[nodiscard]] bool ws_utf8_valid(const unsigned char* p, size_t n);

// How a request is taken as a WebSocket opening handshake.
enum class WsHandshake : uint8_t {
  kNone,        // it asks for none: no Sec-WebSocket-Key, no Upgrade naming websocket
  kAccept,      // a valid handshake (RFC 6455 section 4.2.1): upgrade
  kBadVersion,  // valid but for Sec-WebSocket-Version, which is not 13
  kRefuse,      // anything else that asks for one
};

// Classifies hm. A valid handshake is a GET of HTTP/1.1 without a body whose
// Upgrade lists websocket, whose Connection lists upgrade, whose
// Sec-WebSocket-Version is 13 and whose Sec-WebSocket-Key is the Base64 text
// of 16 bytes.
[[nodiscard]] WsHandshake ws_handshake_check(const http_message* hm);

// One received message, valid only during its event: data points into
// recv_mbuf (already unmasked).
struct ws_message {
  unsigned char* data;
  uint64_t size;
  unsigned char flags;  // the frame's first header byte: kWsFinBit, low four bits the opcode
};

// Upgrades the connection that received hm (header block of header_len bytes)
// for good: ws_protocol_handler becomes its protocol handler and NCF_WEBSOCKET
// is set. Raises NS_EV_WS_HANDSHAKE_REQUEST; a handler that sets
// NCF_CLOSE_IMMEDIATELY refuses it. Unless the handler answered itself, sends
// the 101 reply and raises NS_EV_WS_HANDSHAKE_DONE. Then drops the header block
// and delivers the frames that came with it.
void ws_upgrade(ns_conn* nc, http_message* hm, int header_len);

// Queues "HTTP/1.1 101 Switching Protocols" with the Sec-WebSocket-Accept of key
// (when the key cannot be hashed, sets NCF_CLOSE_IMMEDIATELY instead).
void ws_handshake_reply(ns_conn* nc, const ns_str* key);

// Protocol handler of an upgraded connection: passes each event to the
// handler, then delivers every complete frame on NS_EV_RECV up to a close
// frame (once the connection is closing, received bytes are dropped unread)
// and while less than kSendHighWaterBytes wait to be written (NS_EV_SEND
// goes on); on NS_EV_POLL pings a peer that sent no frame for
// kWsPingIdleSeconds, and closes one that left kWsMaxUnansweredPings
// unanswered; on NS_EV_CLOSE frees its state.
void ws_protocol_handler(ns_conn* nc, int ev, void* ev_data);

// Delivers the frame at the front of recv_mbuf (behind a message being
// reassembled) as NS_EV_WS_FRAME or NS_EV_WS_CONTROL_FRAME and removes it.
// Fragments are collected in place unless NCF_WS_NO_REASSEMBLY was set when
// the message began, and delivered as one message with the last fragment's
// header byte. A close frame sets NCF_SEND_AND_CLOSE and is echoed with its
// status; a ping the handler does not answer is answered once nothing else
// waits to be written, only the latest of several. Returns 1 when a frame
// was consumed, 0 when none is complete, or when the connection failed: a
// close frame with status 1002 for a frame against RFC 6455 (a length with
// its top bit set, an RSV bit, an undefined opcode, an unmasked frame, a
// control frame fragmented or over 125 bytes, a continuation without a
// message or a new message inside one, a close body of 1 byte or with a
// status no peer may send), 1007 for a text message (whole or reassembled)
// or close reason that is not UTF-8, 1009 for a frame or message over
// kWsMaxMessageBytes, 1013 when the memory budget has no room for a frame
// still arriving; then NCF_SEND_AND_CLOSE is set and recv_mbuf emptied.
int ws_deliver_frame(ns_conn* nc);

// Queues one unmasked frame with FIN set; opcode 8 also sets NCF_SEND_AND_CLOSE.
void ws_send_frame(ns_conn* nc, int op, const void* data, size_t len);
