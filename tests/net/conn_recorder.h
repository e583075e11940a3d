// Test helper: a connection record driven by calling its protocol handler the
// way the poll pass does, with a handler that records every event it gets.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "net/event_manager.h"
#include "net/http_protocol.h"
#include "net/websocket.h"

namespace net_http_test {

struct RecordedEvent {
  int ev;
  std::string body;  // 100/102: the body; 113/114: the payload
  uint64_t size;     // 113/114: ws_message size
  unsigned flags;    // 113/114: ws_message flags
};

struct Recorder {
  std::vector<RecordedEvent> events;
  uint32_t set_on_chunk = 0;      // flags the handler sets during event 102
  uint32_t set_on_request = 0;    // flags the handler sets during event 100
  uint32_t set_on_handshake = 0;  // flags the handler sets during event 111
  std::string reply;              // queued with ns_send during event 100

  std::vector<int> Codes(bool with_transport = false) const {
    std::vector<int> out;
    for (const auto& e : events) {
      if (with_transport || e.ev >= 100) out.push_back(e.ev);
    }
    return out;
  }
  std::vector<std::string> Bodies(int ev) const {
    std::vector<std::string> out;
    for (const auto& e : events) {
      if (e.ev == ev) out.push_back(e.body);
    }
    return out;
  }
};

inline void RecordingHandler(ns_conn* nc, int ev, void* ev_data) {
  auto* rec = static_cast<Recorder*>(nc->user_data);
  RecordedEvent e{ev, {}, 0, 0};
  if (ev == NS_EV_HTTP_REQUEST || ev == NS_EV_HTTP_CHUNK) {
    const auto* hm = static_cast<const http_message*>(ev_data);
    if (hm->body.len != HTTP_LEN_TO_CLOSE) e.body.assign(hm->body.data, hm->body.len);
    if (ev == NS_EV_HTTP_CHUNK) nc->flags |= rec->set_on_chunk;
    if (ev == NS_EV_HTTP_REQUEST) {
      nc->flags |= rec->set_on_request;
      if (!rec->reply.empty()) ns_send(nc, rec->reply.data(), rec->reply.size());
    }
  } else if (ev == NS_EV_WS_FRAME || ev == NS_EV_WS_CONTROL_FRAME) {
    const auto* wm = static_cast<const ws_message*>(ev_data);
    e.body.assign(reinterpret_cast<const char*>(wm->data), wm->size);
    e.size = wm->size;
    e.flags = wm->flags;
  } else if (ev == NS_EV_WS_HANDSHAKE_REQUEST) {
    nc->flags |= rec->set_on_handshake;
  }
  rec->events.push_back(e);
}

// A connection record as the manager would hold it, without a socket.
struct TestConn {
  ns_conn nc{};
  Recorder rec;

  TestConn() {
    nc.sock = -1;
    nc.recv_limit = SIZE_MAX;
    nc.handler = RecordingHandler;
    nc.user_data = &rec;
    http_attach_protocol(&nc);
  }
  ~TestConn() {
    // Raise the close event so that the layer releases what it holds.
    Raise(NS_EV_CLOSE, nullptr);
    mbuf_free(&nc.recv_mbuf);
    mbuf_free(&nc.send_mbuf);
  }
  TestConn(const TestConn&) = delete;
  TestConn& operator=(const TestConn&) = delete;

  void Raise(int ev, void* data) {
    if (nc.proto_handler != nullptr) {
      nc.proto_handler(&nc, ev, data);
    } else if (nc.handler != nullptr) {
      nc.handler(&nc, ev, data);
    }
  }
  // Appends bytes as one read and raises the receive event.
  void Feed(std::string_view bytes) {
    if (!bytes.empty() && mbuf_append(&nc.recv_mbuf, bytes.data(), bytes.size()) != bytes.size())
      abort();
    int32_t n = static_cast<int32_t>(bytes.size());
    Raise(NS_EV_RECV, &n);
  }
  void Close() {
    Raise(NS_EV_CLOSE, nullptr);
    nc.proto_handler = nullptr;
    nc.handler = nullptr;
  }
  std::string Received() const {
    return std::string(nc.recv_mbuf.buf ? nc.recv_mbuf.buf : "", nc.recv_mbuf.len);
  }
  std::string Sent() const {
    return std::string(nc.send_mbuf.buf ? nc.send_mbuf.buf : "", nc.send_mbuf.len);
  }
  // The connection ends: at once, or once its queued replies are out.
  bool Closing() const { return (nc.flags & (NCF_CLOSE_IMMEDIATELY | NCF_SEND_AND_CLOSE)) != 0; }
  // Raises the poll event with the pass time now.
  void Poll(int64_t now) {
    int64_t t = now;
    Raise(NS_EV_POLL, &t);
  }
};

}  // namespace net_http_test
