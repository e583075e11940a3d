// The /events socket: a WebSocket on which a page watches the readers come
// and go and runs captures that report their progress (the wait for a
// finger, preview frames with guidance, the result), and may cancel them.
// docs/events.md describes the messages.
//
// Threads. The loop owns the connections and writes every message. A capture
// runs on the device thread (device/device_thread.h), shared with the HTTP
// captures and matches, so the busy rule is theirs: while any of them runs,
// a Capture is answered "Captured" with kErrorReaderBusy. A watcher thread
// lists the readers every kReadersPollMs while any /events page is
// connected. Both threads hand messages to the loop through the hub: they
// queue the text on the connection's outbox (found by serial number under
// `mutex`, so a connection that has gone simply gets nothing) and wake the
// loop with ns_mgr_post; the loop drains outboxes on that wake-up and on
// every poll and send event, so a lost wake-up only delays.
//
// Ownership. The host owns the hub and starts it after ns_mgr_init; the
// service runs until the process exits, so only tests stop it: after the
// device thread has stopped and before ns_mgr_free, whose closing of every
// connection frees the clients. A client
// record belongs to the hub's list from the upgrade to NS_EV_CLOSE. A capture
// job belongs to the device thread from submission until its `finished` has
// queued "Captured"; the client's link to it is cleared under `mutex` before
// the job is freed, so the loop's Cancel never touches a freed job. A closed
// connection cancels its capture.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "device/device_thread.h"
#include "net/event_manager.h"
#include "net/http_parser.h"
#include "net/mbuf.h"

struct ApiContext;
struct EventsClient;
struct EventsOutMessage;

inline constexpr char kEventsPath[] = "/events";
// How often the watcher lists the readers while a page listens.
inline constexpr unsigned kReadersPollMs = 500;
// Frames waiting for a slow page: beyond this the oldest waiting one is
// dropped (a preview is worth nothing once a newer one exists).
inline constexpr int kMaxQueuedFrames = 4;
// Queued bytes on a connection beyond which its outbox waits for the socket.
inline constexpr size_t kEventsSendBacklogBytes = 512 * 1024;
// Frames sent to a page at most this often; the reader may deliver faster.
inline constexpr unsigned kFrameIntervalMs = 80;

struct EventsHub {
  ns_mgr* mgr = nullptr;           // woken when messages are queued
  DeviceThread* device = nullptr;  // where captures run (the HTTP requests' thread)
  std::mutex mutex;                // everything below
  EventsClient* clients = nullptr;
  uint64_t next_serial = 1;
  mbuf readers_text = {};           // the last "Readers" message; empty while nobody listens
  uint64_t readers_generation = 0;  // counts lists taken at a greeting (a watcher's list
                                    // started before one is stale)
  bool stopping = false;
  std::condition_variable watch;  // wakes the watcher (a page came, or stop)
  std::thread watcher;
};

// Starts the reader watcher. Captures go to device, which must run until
// EventsHubStop.
void EventsHubStart(EventsHub* hub, ns_mgr* mgr, DeviceThread* device);

// Ends the watcher and frees the last reader list. Loop thread; the device
// thread must have stopped already (its captures queue messages here).
void EventsHubStop(EventsHub* hub);

// Router, loop thread: the WebSocket handshake request hm for kEventsPath.
// Refuses a foreign Host with 403 and closes (no upgrade); otherwise traces
// the Origin, makes nc an /events connection (its handler becomes the
// hub's) and lets the upgrade go on. Without a hub in api the request is
// left alone.
void EventsHandshake(ns_conn* nc, http_message* hm, const ApiContext* api);
