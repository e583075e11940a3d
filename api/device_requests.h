// Capture and match requests served off the poll loop. The loop hands each
// one to the device thread (device/device_thread.h) and writes its reply when
// the thread has finished, woken through the network manager's control pair
// (ns_mgr_post). Meanwhile the loop serves every other connection. A reader
// that is busy with another request refuses at once with kErrorReaderBusy.
//
// Order on one connection: from a request's hand-over until its reply is
// queued, the bytes the connection sends after it are held back here (reading
// pauses once kHeldBytesLimit are held), then handed to the HTTP layer again,
// so pipelined requests are answered in the order they came.
//
// Closing: a connection that closes while its request runs is never written
// to; the request is cancelled (a capture ends at its next SDK call and frees
// the reader) and its result is dropped and traced.
//
// Threads and ownership: the host owns the DeviceRequests record, starts it
// after ns_mgr_init and stops it before ns_mgr_free. Its connection list is
// used by the loop thread only. A DeviceRequest belongs to the loop until it
// is submitted, to the device thread while it runs, and then to the loop
// again, unless its connection has closed, in which case the device thread
// releases it; `mutex` decides that hand-over. Connections are known by a
// serial number given by the loop; a finished request names the serial, so a
// connection record that the manager reuses for a later connection can never
// receive another connection's reply.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "device/device_thread.h"
#include "net/event_manager.h"
#include "net/http_parser.h"
#include "net/mbuf.h"

struct DeviceRequests;

// Bytes held back from one connection while its request runs; beyond this the
// connection is not read until its reply is queued.
inline constexpr size_t kHeldBytesLimit = 64 * 1024;

// One capture or match. The endpoint allocates it (new (std::nothrow)), sets
// `run`, `reply` and `release` and passes it to SubmitDeviceRequest, which
// owns it from then on.
struct DeviceRequest : DeviceJob {
  // Loop thread: writes the reply to nc from what run left in the request.
  void (*reply)(ns_conn* nc, DeviceRequest* request) = nullptr;
  // Any thread: frees the whole request.
  void (*release)(DeviceRequest* request) = nullptr;
  int code = 0;  // the reply's "ErrorCode": set by run, or kErrorReaderBusy

  DeviceRequests* owner = nullptr;  // set at hand-over
  uint64_t conn_serial = 0;         // the serial of the connection that asked
  bool done = false;                // run has returned; under owner->mutex
  bool orphaned = false;            // its connection closed first; under owner->mutex
};

// A connection that has handed a request to the device thread, from then
// until it closes. Loop thread only.
struct DeviceConnection {
  DeviceConnection* next;
  const ns_conn* nc;         // identity in the manager's list; reused after close
  uint64_t serial;           // given when the entry is made; never given again
  DeviceRequest* in_flight;  // handed over, reply not yet written; null otherwise
  mbuf held;                 // bytes received behind in_flight, not yet parsed
  size_t saved_recv_limit;   // the connection's recv_limit while reading pauses
  bool reading_paused;
};

struct DeviceRequests {
  DeviceThread device;
  ns_mgr* mgr = nullptr;                    // woken when a request finishes
  std::mutex mutex;                         // `done` and `orphaned` of every request
  DeviceConnection* connections = nullptr;  // loop thread only; heap entries
  uint64_t next_serial = 1;                 // loop thread only
};

// Starts the device thread; finished requests wake mgr's loop.
void DeviceRequestsStart(DeviceRequests* requests, ns_mgr* mgr);

// Cancels the request running, waits for the device thread to end, and from
// then on refuses new requests as busy. The connections' entries go when the
// connections close (ns_mgr_free). Loop thread.
void DeviceRequestsStop(DeviceRequests* requests);

// Loop thread, from an endpoint: hands request (for the request hm that nc
// sent) to the device thread and holds back what nc sent after it; when the
// reader is busy, answers kErrorReaderBusy through request->reply instead.
// With requests null (tests, fuzzers) the request runs here and is answered
// at once. Takes ownership of request in every case.
void SubmitDeviceRequest(ns_conn* nc, DeviceRequests* requests, DeviceRequest* request,
                         const http_message* hm);

// Loop thread, from the router, for nc's events: NS_EV_RECV holds back what
// arrived while a request of nc is in flight; NS_EV_POLL writes nc's reply
// if its request has finished and the wake-up has not yet done so;
// NS_EV_CLOSE forgets nc, cancelling its request. Other events are ignored.
void DeviceRequestsConnectionEvent(ns_conn* nc, int ev, DeviceRequests* requests);
