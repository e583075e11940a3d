#include "api/device_requests.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "api/api_error_codes.h"
#include "base/trace_log.h"
#include "base/trace_tags.h"
#include "device/fingerprint_device.h"
#include "net/http_protocol.h"

namespace {

// What a finished request sends the loop: whose reply is ready.
struct WakeMessage {
  DeviceRequests* owner;
  uint64_t serial;
};

DeviceConnection* Find(DeviceRequests* requests, const ns_conn* nc) {
  for (DeviceConnection* c = requests->connections; c != nullptr; c = c->next) {
    if (c->nc == nc) return c;
  }
  return nullptr;
}

DeviceConnection* FindOrAdd(DeviceRequests* requests, const ns_conn* nc) {
  if (DeviceConnection* c = Find(requests, nc)) return c;
  auto* c = static_cast<DeviceConnection*>(calloc(1, sizeof(DeviceConnection)));
  if (c == nullptr) return nullptr;
  c->nc = nc;
  c->serial = requests->next_serial++;
  c->next = requests->connections;
  requests->connections = c;
  return c;
}

void Remove(DeviceRequests* requests, DeviceConnection* gone) {
  for (DeviceConnection** link = &requests->connections; *link != nullptr; link = &(*link)->next) {
    if (*link == gone) {
      *link = gone->next;
      break;
    }
  }
  mbuf_free(&gone->held);
  free(gone);
}

// Moves bytes into the connection's held bytes; pauses reading once enough
// are held. A connection whose bytes cannot be kept is closed: dropping them
// would answer its later requests wrongly.
void Hold(ns_conn* nc, DeviceConnection* c, const char* data, size_t len) {
  if (len == 0) return;
  if (mbuf_append(&c->held, data, len) != len) {
    nc->flags |= NCF_CLOSE_IMMEDIATELY;
    return;
  }
  if (c->held.len >= kHeldBytesLimit && !c->reading_paused) {
    c->saved_recv_limit = nc->recv_limit;
    c->reading_paused = true;
    nc->recv_limit = 0;  // out of the read set: the socket buffers what follows
  }
}

// Gives the HTTP layer what was held back, as if it had just arrived.
void Resume(ns_conn* nc, DeviceConnection* c) {
  if (c->reading_paused) {
    nc->recv_limit = c->saved_recv_limit;
    c->reading_paused = false;
  }
  if (c->held.len == 0) return;
  // Nothing is read while bytes are held, so they go before anything new.
  if (mbuf_insert(&nc->recv_mbuf, 0, c->held.buf, c->held.len) != c->held.len) {
    nc->flags |= NCF_CLOSE_IMMEDIATELY;
    return;
  }
  mbuf_free(&c->held);
  int32_t none = 0;
  ns_dispatch_event(nc, NS_EV_RECV, &none);
}

// Writes c's reply if its request has finished; then lets nc's next requests
// through.
void Deliver(ns_conn* nc, DeviceRequests* requests, DeviceConnection* c) {
  DeviceRequest* request = c->in_flight;
  if (request == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(requests->mutex);
    if (!request->done) return;
  }
  c->in_flight = nullptr;
  if (request->code == kErrCaptureCancelled) {
    // Only a stopping service cancels a request whose page is still there.
    trace_log(kTraceProgress, "[%s]: cancelled; no reply", kTagDeviceRequests);
  } else {
    request->reply(nc, request);
  }
  request->release(request);
  Resume(nc, c);
}

// The wake-up, run by the loop on every connection: only the one with the
// finished request's serial is answered.
void OnWake(ns_conn* nc, int, void* data) {
  WakeMessage wake;
  memcpy(&wake, data, sizeof wake);
  DeviceConnection* c = Find(wake.owner, nc);
  if (c != nullptr && c->serial == wake.serial) Deliver(nc, wake.owner, c);
}

// Runs on the device thread once the thread is idle again.
void Finished(DeviceJob* job) {
  auto* request = static_cast<DeviceRequest*>(job);
  DeviceRequests* owner = request->owner;
  const WakeMessage wake = {owner, request->conn_serial};
  bool orphaned = false;
  {
    std::lock_guard<std::mutex> lock(owner->mutex);
    orphaned = request->orphaned;
    request->done = !orphaned;
  }
  // From here the request is the loop's and is not touched again here,
  // unless nobody is left to answer.
  if (orphaned) {
    trace_log(kTraceProgress, "[%s]: connection closed; reply dropped, ErrorCode %d",
              kTagDeviceRequests, request->code);
    request->release(request);
    return;
  }
  // Should the wake-up be lost, the connection's next poll event delivers.
  (void)ns_mgr_post(owner->mgr, OnWake, &wake, sizeof wake);
}

void Forget(ns_conn* nc, DeviceRequests* requests) {
  DeviceConnection* c = Find(requests, nc);
  if (c == nullptr) return;
  if (DeviceRequest* request = c->in_flight) {
    bool done = false;
    {
      std::lock_guard<std::mutex> lock(requests->mutex);
      done = request->done;
      if (!done) {
        // Set under the lock: once it is released the device thread may free
        // the request.
        request->orphaned = true;
        request->cancel.store(true);
      }
    }
    if (done) {
      trace_log(kTraceProgress, "[%s]: connection closed; reply dropped, ErrorCode %d",
                kTagDeviceRequests, request->code);
      request->release(request);
    } else {
      trace_log(kTraceProgress, "[%s]: connection closed; request cancelled", kTagDeviceRequests);
    }
  }
  Remove(requests, c);
}

// The bytes of recv_mbuf behind the request hm, or 0 when hm does not lie in
// it (a request not parsed from this connection's buffer).
size_t TailStart(const ns_conn* nc, const http_message* hm) {
  const mbuf& r = nc->recv_mbuf;
  const uintptr_t begin = reinterpret_cast<uintptr_t>(r.buf);
  const uintptr_t at = reinterpret_cast<uintptr_t>(hm->whole_message.data);
  if (r.buf == nullptr || at < begin || at - begin > r.len) return r.len;
  const uint64_t end = (at - begin) + hm->whole_message.len;
  return end < r.len ? static_cast<size_t>(end) : r.len;
}

}  // namespace

void DeviceRequestsStart(DeviceRequests* requests, ns_mgr* mgr) {
  requests->mgr = mgr;
  DeviceThreadStart(&requests->device);
}

void DeviceRequestsStop(DeviceRequests* requests) {
  DeviceThreadStop(&requests->device);
}

void SubmitDeviceRequest(ns_conn* nc, DeviceRequests* requests, DeviceRequest* request,
                         const http_message* hm) {
  if (requests == nullptr) {
    request->run(request);
    request->reply(nc, request);
    request->release(request);
    return;
  }
  DeviceConnection* c = FindOrAdd(requests, nc);
  if (c == nullptr) {
    request->code = kErrorOutOfMemory;
    request->reply(nc, request);
    request->release(request);
    return;
  }
  request->finished = Finished;
  request->owner = requests;
  request->conn_serial = c->serial;
  if (DeviceThreadSubmit(&requests->device, request) != 0) {
    trace_log(kTraceProgress, "[%s]: reader busy; ErrorCode %d", kTagDeviceRequests,
              kErrorReaderBusy);
    request->code = kErrorReaderBusy;
    request->reply(nc, request);
    request->release(request);
    return;
  }
  // The device thread may finish it at once; its reply still waits for this
  // thread, which sets in_flight first.
  c->in_flight = request;
  // The HTTP layer removes this request from recv_mbuf when the handler
  // returns and would deliver what follows right away: keep that back.
  mbuf* r = &nc->recv_mbuf;
  const size_t tail = TailStart(nc, hm);
  Hold(nc, c, r->buf + tail, r->len - tail);
  r->len = tail;
}

void DeviceRequestsConnectionEvent(ns_conn* nc, int ev, DeviceRequests* requests) {
  if (ev == NS_EV_CLOSE) {
    Forget(nc, requests);
    return;
  }
  if (ev != NS_EV_RECV && ev != NS_EV_POLL) return;
  DeviceConnection* c = Find(requests, nc);
  if (c == nullptr || c->in_flight == nullptr) return;
  if (ev == NS_EV_POLL) {
    Deliver(nc, requests, c);
    return;
  }
  // Raised before the HTTP layer parses: what it would see is held instead.
  Hold(nc, c, nc->recv_mbuf.buf, nc->recv_mbuf.len);
  mbuf_remove(&nc->recv_mbuf, nc->recv_mbuf.len);
}
