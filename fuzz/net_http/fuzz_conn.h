// A connection record for the fuzz targets: bytes are appended to recv_mbuf
// in reads and the protocol handler runs as the poll pass would run it. The
// event handler reads every byte an event points at, so that a slice past the
// received bytes is caught by the address sanitizer.
#pragma once

#include <cstdint>
#include <cstdlib>

#include "net/event_manager.h"
#include "net/http_protocol.h"
#include "net/websocket.h"

namespace fuzz_net_http {

inline void CheckInsideRecv(const ns_conn* nc, const void* p, uint64_t len, bool touch_all = true) {
  const char* lo = nc->recv_mbuf.buf;
  const char* c = static_cast<const char*>(p);
  if (len == 0) return;
  if (c < lo || c > lo + nc->recv_mbuf.len ||
      len > static_cast<uint64_t>(lo + nc->recv_mbuf.len - c))
    abort();
  volatile unsigned sum = 0;
  if (!touch_all) {
    sum = sum + static_cast<unsigned char>(c[0]) + static_cast<unsigned char>(c[len - 1]);
    return;
  }
  for (uint64_t i = 0; i < len; i++) sum = sum + static_cast<unsigned char>(c[i]);
}

struct FuzzOptions {
  bool delete_chunks;
  bool touch_only_chunk_ends;  // for long chunked bodies, whose every event shows all of it
};

inline void FuzzHandler(ns_conn* nc, int ev, void* ev_data) {
  const auto* opts = static_cast<const FuzzOptions*>(nc->user_data);
  if (ev == NS_EV_HTTP_REQUEST || ev == NS_EV_HTTP_CHUNK || ev == NS_EV_WS_HANDSHAKE_REQUEST) {
    const auto* hm = static_cast<const http_message*>(ev_data);
    if (hm->whole_message.len == HTTP_LEN_TO_CLOSE && ev == NS_EV_HTTP_REQUEST) abort();
    if (ev == NS_EV_HTTP_REQUEST) {
      CheckInsideRecv(nc, hm->whole_message.data, hm->whole_message.len);
      if (hm->whole_message.len > kHttpMaxRequestBytes) abort();
    }
    if (hm->body.len != HTTP_LEN_TO_CLOSE && ev != NS_EV_WS_HANDSHAKE_REQUEST) {
      CheckInsideRecv(nc, hm->body.data, hm->body.len,
                      !(ev == NS_EV_HTTP_CHUNK && opts->touch_only_chunk_ends));
    }
    if (ev == NS_EV_HTTP_CHUNK && opts->delete_chunks) nc->flags |= NCF_DELETE_CHUNK;
    if (ev == NS_EV_HTTP_REQUEST) ns_send(nc, "R", 1);
  } else if (ev == NS_EV_WS_FRAME || ev == NS_EV_WS_CONTROL_FRAME) {
    const auto* wm = static_cast<const ws_message*>(ev_data);
    CheckInsideRecv(nc, wm->data, wm->size);
  }
}

struct FuzzConn {
  ns_conn nc{};
  FuzzOptions opts{};

  explicit FuzzConn(bool delete_chunks) {
    opts.delete_chunks = delete_chunks;
    nc.sock = -1;
    nc.recv_limit = SIZE_MAX;
    nc.handler = FuzzHandler;
    nc.user_data = &opts;
    http_attach_protocol(&nc);
  }
  ~FuzzConn() {
    if (nc.proto_handler != nullptr) nc.proto_handler(&nc, NS_EV_CLOSE, nullptr);
    mbuf_free(&nc.recv_mbuf);
    mbuf_free(&nc.send_mbuf);
  }
  // Feeds the bytes in reads of stride bytes until the connection closes.
  void FeedInReads(const uint8_t* data, size_t size, size_t stride) {
    for (size_t off = 0; off < size && !(nc.flags & NCF_CLOSE_IMMEDIATELY); off += stride) {
      const size_t n = size - off < stride ? size - off : stride;
      if (mbuf_append(&nc.recv_mbuf, data + off, n) != n) abort();
      int32_t count = static_cast<int32_t>(n);
      nc.proto_handler(&nc, NS_EV_RECV, &count);
      nc.send_mbuf.len = 0;  // as if written out
    }
  }
};

}  // namespace fuzz_net_http
