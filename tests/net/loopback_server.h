// Test helper: the real poll loop on its own thread with an HTTP listener on a
// free loopback port, a handler that answers requests and WebSocket messages,
// and a thread-safe log of what the handler saw.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/event_manager.h"
#include "net/http_protocol.h"
#include "net/listener.h"
#include "net/websocket.h"

namespace net_http_test {

struct LoggedEvent {
  const ns_conn* nc;
  int ev;
  std::string text;  // request: "METHOD URI BODY"; WebSocket message: the payload
  uint64_t size;     // WebSocket message size
  unsigned flags;    // WebSocket message flags
};

class LoopServer {
 public:
  LoopServer() {
    ns_mgr_init(&mgr_, this);
    ns_bind_opts opts{};
    opts.user_data = this;
    ns_conn* listener = ns_bind_opt(&mgr_, "127.0.0.1:0", Handler, opts);
    if (listener != nullptr) {
      http_attach_protocol(listener);
      port_ = ntohs(listener->sa.sin_port);
    }
    thread_ = std::thread([this] {
      while (!stop_.load()) ns_mgr_poll(&mgr_, 20);
      ns_mgr_free(&mgr_);
    });
  }
  ~LoopServer() {
    stop_.store(true);
    thread_.join();
  }
  LoopServer(const LoopServer&) = delete;
  LoopServer& operator=(const LoopServer&) = delete;

  int port() const { return port_; }

  std::vector<LoggedEvent> Events() {
    std::lock_guard<std::mutex> lock(mu_);
    return events_;
  }
  std::vector<LoggedEvent> Events(int ev) {
    std::vector<LoggedEvent> out;
    for (const auto& e : Events()) {
      if (e.ev == ev) out.push_back(e);
    }
    return out;
  }
  // Waits until at least n events of code ev were logged.
  bool WaitFor(int ev, size_t n, int timeout_ms = 5000) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
      size_t k = 0;
      for (const auto& e : events_) k += e.ev == ev;
      return k >= n;
    });
  }

 private:
  void Log(LoggedEvent e) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      events_.push_back(std::move(e));
    }
    cv_.notify_all();
  }

  // Runs on the poll thread.
  static void Handler(ns_conn* nc, int ev, void* ev_data) {
    auto* self = static_cast<LoopServer*>(nc->user_data);
    if (ev == NS_EV_HTTP_REQUEST) {
      const auto* hm = static_cast<const http_message*>(ev_data);
      std::string text(hm->method.data, hm->method.len);
      text.append(" ")
          .append(hm->uri.data, hm->uri.len)
          .append(" ")
          .append(hm->body.data, hm->body.len);
      ns_printf(nc, "HTTP/1.1 200 OK\r\nContent-Length: %zu\r\n\r\n%s", text.size(), text.c_str());
      self->Log({nc, ev, text, 0, 0});
    } else if (ev == NS_EV_WS_FRAME || ev == NS_EV_WS_CONTROL_FRAME) {
      const auto* wm = static_cast<const ws_message*>(ev_data);
      std::string text(reinterpret_cast<const char*>(wm->data), wm->size);
      if (ev == NS_EV_WS_FRAME) {
        if (text.rfind("len:", 0) == 0) {
          const std::string reply(std::stoul(text.substr(4)), 'x');
          ws_send_frame(nc, WEBSOCKET_OP_TEXT, reply.data(), reply.size());
        } else {
          ws_send_frame(nc, WEBSOCKET_OP_TEXT, text.data(), text.size());
        }
      }
      self->Log({nc, ev, text, wm->size, wm->flags});
    } else if (ev == NS_EV_WS_HANDSHAKE_REQUEST || ev == NS_EV_WS_HANDSHAKE_DONE ||
               ev == NS_EV_CLOSE) {
      if (self != nullptr) self->Log({nc, ev, {}, 0, 0});
    }
  }

  ns_mgr mgr_{};
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<LoggedEvent> events_;
};

}  // namespace net_http_test
