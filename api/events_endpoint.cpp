#include "api/events_endpoint.h"

#include <openssl/crypto.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

#include "api/api_error_codes.h"
#include "api/capture_endpoint.h"
#include "api/device_requests.h"
#include "api/events_command.h"
#include "api/events_messages.h"
#include "api/health_endpoint.h"
#include "api/request_access.h"
#include "api/router.h"
#include "base/trace_log.h"
#include "base/trace_tags.h"
#include "device/capture_guidance.h"
#include "device/fingerprint_device.h"
#include "net/websocket.h"
#include "platform/platform.h"
#include "sdk/image_quality.h"

// One queued message: the header, then len bytes of text in the same block.
struct EventsOutMessage {
  EventsOutMessage* next;
  bool frame;  // a preview, dropped first when the page reads slowly
  size_t len;
  const char* text() const { return reinterpret_cast<const char*>(this + 1); }
};

struct EventsCaptureJob;

struct EventsClient {
  EventsClient* next;
  uint64_t serial;         // given at the upgrade, never given again
  const ns_conn* nc;       // identity in the manager's list; loop thread
  EventsOutMessage* head;  // outbox, oldest first; under the hub's mutex
  EventsOutMessage* tail;
  int queued_frames;      // frames in the outbox; under the hub's mutex
  EventsCaptureJob* job;  // its capture on the device thread; under the hub's mutex
  mbuf readers_sent;      // the "Readers" text it was sent last; loop thread
};

// A capture asked for on /events; see the header for who owns it when.
struct EventsCaptureJob : DeviceJob {
  EventsHub* hub = nullptr;
  uint64_t serial = 0;  // the client that asked
  CaptureParams params;
  GuidanceTrend trend;
  unsigned long long last_frame_ms = 0;
  bool framed = false;  // a frame has been sent
  int code = 0;         // the capture's "ErrorCode"
  JsonReply json;       // the capture reply when code is 0
};

namespace {

struct WakeMessage {
  EventsHub* hub;
};

void EventsConnectionHandler(ns_conn* nc, int ev, void* ev_data);
void EventsWake(ns_conn* nc, int ev, void* data);

EventsHub* HubOf(const ns_conn* nc) {
  const auto* api = static_cast<const ApiContext*>(nc->user_data);
  return api != nullptr ? api->events : nullptr;
}

EventsClient* FindBySerial(EventsHub* hub, uint64_t serial) {
  for (EventsClient* c = hub->clients; c != nullptr; c = c->next)
    if (c->serial == serial) return c;
  return nullptr;
}

EventsClient* FindByConn(EventsHub* hub, const ns_conn* nc) {
  for (EventsClient* c = hub->clients; c != nullptr; c = c->next)
    if (c->nc == nc) return c;
  return nullptr;
}

void FreeMessages(EventsOutMessage* m) {
  while (m != nullptr) {
    EventsOutMessage* next = m->next;
    free(m);
    m = next;
  }
}

// Drops the oldest queued frame. Under the hub's mutex.
void DropOldestFrame(EventsClient* c) {
  EventsOutMessage* prev = nullptr;
  for (EventsOutMessage* m = c->head; m != nullptr; prev = m, m = m->next) {
    if (!m->frame) continue;
    (prev != nullptr ? prev->next : c->head) = m->next;
    if (c->tail == m) c->tail = prev;
    free(m);
    c->queued_frames--;
    return;
  }
}

void Wake(EventsHub* hub) {
  const WakeMessage wake = {hub};
  // Should it be lost, the connection's next poll event drains the outbox.
  (void)ns_mgr_post(hub->mgr, EventsWake, &wake, sizeof wake);
}

// Any thread: queues text for the client with serial, if it is still there.
void Queue(EventsHub* hub, uint64_t serial, const JsonReply& reply, bool frame) {
  if (reply.failed) return;
  const std::string_view text = JsonText(&reply);
  auto* m = static_cast<EventsOutMessage*>(malloc(sizeof(EventsOutMessage) + text.size()));
  if (m == nullptr) return;
  m->next = nullptr;
  m->frame = frame;
  m->len = text.size();
  memcpy(m + 1, text.data(), text.size());
  {
    std::lock_guard<std::mutex> lock(hub->mutex);
    EventsClient* c = FindBySerial(hub, serial);
    if (c == nullptr) {
      free(m);
      return;
    }
    if (frame && c->queued_frames >= kMaxQueuedFrames) DropOldestFrame(c);
    (c->tail != nullptr ? c->tail->next : c->head) = m;
    c->tail = m;
    if (frame) c->queued_frames++;
  }
  Wake(hub);
}

void QueueCaptured(EventsHub* hub, uint64_t serial, int code, std::string_view capture_json) {
  JsonReply reply;
  // A cancel the page asked for shows as the SDK's own cancel code.
  BuildCapturedEvent(code == kErrCaptureCancelled ? VRFPM_ERR_CANCELLED : code, capture_json,
                     &reply);
  if (reply.failed) {
    JsonReply small;
    BuildCapturedEvent(kErrorOutOfMemory, {}, &small);
    Queue(hub, serial, small, false);
    return;
  }
  Queue(hub, serial, reply, false);
}

bool Writable(const ns_conn* nc) {
  return (nc->flags & NCF_WEBSOCKET) && !(nc->flags & (NCF_CLOSE_IMMEDIATELY | NCF_SEND_AND_CLOSE));
}

void SendText(ns_conn* nc, std::string_view text) {
  ws_send_frame(nc, WEBSOCKET_OP_TEXT, text.data(), text.size());
}

// Loop thread: writes what waits for nc, the reader list first when it
// changed.
void Drain(EventsHub* hub, ns_conn* nc) {
  if (!Writable(nc) || nc->send_mbuf.len > kEventsSendBacklogBytes) return;
  EventsOutMessage* list = nullptr;
  mbuf readers = {};
  EventsClient* c = nullptr;
  {
    std::lock_guard<std::mutex> lock(hub->mutex);
    c = FindByConn(hub, nc);
    if (c == nullptr) return;
    const mbuf& now = hub->readers_text;
    const bool changed = now.len > 0 && (now.len != c->readers_sent.len ||
                                         memcmp(now.buf, c->readers_sent.buf, now.len) != 0);
    if (changed && mbuf_append(&readers, now.buf, now.len) != now.len) mbuf_free(&readers);
    list = c->head;
    c->head = c->tail = nullptr;
    c->queued_frames = 0;
  }
  if (readers.len > 0) {
    SendText(nc, std::string_view(readers.buf, readers.len));
    mbuf_free(&c->readers_sent);
    c->readers_sent = readers;  // the loop alone uses it
  }
  for (EventsOutMessage* m = list; m != nullptr; m = m->next) SendText(nc, {m->text(), m->len});
  FreeMessages(list);
}

// --- the capture, on the device thread ---

void OnFingerNeeded(void* context) {
  auto* job = static_cast<EventsCaptureJob*>(context);
  JsonReply reply;
  BuildBareEvent("FingerNeeded", &reply);
  Queue(job->hub, job->serial, reply, false);
}

void OnFingerPresent(void* context, bool present) {
  auto* job = static_cast<EventsCaptureJob*>(context);
  JsonReply reply;
  BuildFingerEvent(present, &reply);
  Queue(job->hub, job->serial, reply, false);
}

void OnFrame(void* context, const unsigned char* image, uint32_t width, uint32_t height) {
  auto* job = static_cast<EventsCaptureJob*>(context);
  const unsigned long long now = PlatformMonotonicMs();
  if (job->framed && now - job->last_frame_ms < kFrameIntervalMs) return;
  const int w = static_cast<int>(width), h = static_cast<int>(height);
  const std::span<const unsigned char> pixels(image, static_cast<size_t>(width) * height);
  const int quality = MeasureImageQuality(image, w, h);
  const Guidance guidance =
      GuideFrame(MeasureFrame(pixels, w, h), quality, job->params.quality, &job->trend);
  JsonReply reply;
  BuildFrameEvent(pixels, w, h, quality, guidance, &reply);
  job->framed = true;
  job->last_frame_ms = now;
  Queue(job->hub, job->serial, reply, true);
}

void RunEventsCapture(DeviceJob* base) {
  auto* job = static_cast<EventsCaptureJob*>(base);
  JsonReply started;
  BuildBareEvent("CaptureStarted", &started);
  Queue(job->hub, job->serial, started, false);
  const CaptureObserver observer = {job, OnFingerNeeded, OnFrame, OnFingerPresent};
  job->code = RunCaptureJson(job->params, &job->cancel, &observer, &job->json);
  trace_log(kTraceProgress, "[%s]: /events capture, ErrorCode %d", kTagDeviceRequests, job->code);
}

void DeleteJob(EventsCaptureJob* job) {
  OPENSSL_cleanse(job->params.session_key, sizeof job->params.session_key);
  delete job;
}

// Runs once the device thread is idle again: a page that is told the
// capture ended finds the reader free for its next one.
void FinishEventsCapture(DeviceJob* base) {
  auto* job = static_cast<EventsCaptureJob*>(base);
  {
    std::lock_guard<std::mutex> lock(job->hub->mutex);
    EventsClient* c = FindBySerial(job->hub, job->serial);
    if (c != nullptr && c->job == job) c->job = nullptr;
  }
  QueueCaptured(job->hub, job->serial, job->code,
                job->code == 0 ? JsonText(&job->json) : std::string_view());
  DeleteJob(job);
}

// --- commands, on the loop thread ---

void QueueError(EventsHub* hub, uint64_t serial, const char* why) {
  JsonReply reply;
  BuildErrorEvent(kErrorBadCommand, why, &reply);
  Queue(hub, serial, reply, false);
}

void StartCapture(EventsHub* hub, EventsClient* client, const ApiContext* api,
                  const EventsCommand& command) {
  auto* job = new (std::nothrow) EventsCaptureJob();
  if (job == nullptr) {
    QueueCaptured(hub, client->serial, kErrorOutOfMemory, {});
    return;
  }
  job->run = RunEventsCapture;
  job->finished = FinishEventsCapture;
  job->hub = hub;
  job->serial = client->serial;
  job->params.device_name = api->device_name;
  job->params.com_port = api->com_port;
  http_message form = {};
  form.body = {command.form.buf, command.form.len};
  if (const int refused = ReadCaptureParams(&form, &job->params); refused != 0) {
    QueueCaptured(hub, client->serial, refused, {});
    DeleteJob(job);
    return;
  }
  if (api->biometric_request_seen != nullptr) api->biometric_request_seen();
  bool own_running = false;
  {
    // Linked before it is handed over: the device thread may finish it at once.
    std::lock_guard<std::mutex> lock(hub->mutex);
    own_running = client->job != nullptr;
    if (!own_running) client->job = job;
  }
  if (!own_running && DeviceThreadSubmit(hub->device, job) == 0) return;
  if (!own_running) {
    std::lock_guard<std::mutex> lock(hub->mutex);
    client->job = nullptr;
  }
  trace_log(kTraceProgress, "[%s]: reader busy; ErrorCode %d", kTagDeviceRequests,
            kErrorReaderBusy);
  QueueCaptured(hub, client->serial, kErrorReaderBusy, {});
  DeleteJob(job);
}

void Command(EventsHub* hub, ns_conn* nc, const ws_message* msg) {
  uint64_t serial = 0;
  EventsClient* client = nullptr;
  {
    std::lock_guard<std::mutex> lock(hub->mutex);
    client = FindByConn(hub, nc);
    if (client != nullptr) serial = client->serial;
  }
  if (client == nullptr) return;
  if ((msg->flags & 0x0f) != WEBSOCKET_OP_TEXT) {
    QueueError(hub, serial, "commands are text messages");
    return;
  }
  EventsCommand command;
  const char* why = nullptr;
  const std::string_view text(reinterpret_cast<const char*>(msg->data),
                              static_cast<size_t>(msg->size));
  if (ParseEventsCommand(text, &command, &why) != 0) {
    QueueError(hub, serial, why);
    return;
  }
  if (command.kind == EventsCommandKind::kCapture) {
    StartCapture(hub, client, static_cast<const ApiContext*>(nc->user_data), command);
    return;
  }
  std::lock_guard<std::mutex> lock(hub->mutex);
  if (client->job != nullptr) client->job->cancel.store(true);
}

void Greet(EventsHub* hub, ns_conn* nc) {
  ReaderListing readers[kHealthMaxReaders];
  size_t count = 0;
  const int reader_error = ListReaders(readers, &count);
  JsonReply reply;
  BuildReadersEvent(std::span(readers, count), reader_error, &reply);
  if (reply.failed) {
    nc->flags |= NCF_CLOSE_IMMEDIATELY;
    return;
  }
  const std::string_view text = JsonText(&reply);
  SendText(nc, text);
  std::lock_guard<std::mutex> lock(hub->mutex);
  EventsClient* c = FindByConn(hub, nc);
  if (c == nullptr) return;
  c->readers_sent = reply.text;
  reply.text = {};
  // As fresh as anything the watcher has: other pages get it too.
  mbuf_free(&hub->readers_text);
  (void)mbuf_append(&hub->readers_text, text.data(), text.size());
  hub->readers_generation++;
}

void Forget(EventsHub* hub, const ns_conn* nc) {
  EventsClient* gone = nullptr;
  {
    std::lock_guard<std::mutex> lock(hub->mutex);
    for (EventsClient** link = &hub->clients; *link != nullptr; link = &(*link)->next) {
      if ((*link)->nc != nc) continue;
      gone = *link;
      *link = gone->next;
      break;
    }
    if (gone == nullptr) return;
    if (gone->job != nullptr) {
      gone->job->cancel.store(true);
      trace_log(kTraceProgress, "[%s]: /events closed; capture cancelled", kTagDeviceRequests);
    }
    // The watcher's list is stale once nobody listens.
    if (hub->clients == nullptr) mbuf_free(&hub->readers_text);
  }
  FreeMessages(gone->head);
  mbuf_free(&gone->readers_sent);
  free(gone);
}

void EventsConnectionHandler(ns_conn* nc, int ev, void* ev_data) {
  EventsHub* hub = HubOf(nc);
  if (hub == nullptr) return;
  switch (ev) {
    case NS_EV_WS_HANDSHAKE_DONE:
      Greet(hub, nc);
      break;
    case NS_EV_WS_FRAME:
      if (ev_data != nullptr) Command(hub, nc, static_cast<const ws_message*>(ev_data));
      Drain(hub, nc);
      break;
    case NS_EV_POLL:
    case NS_EV_SEND:
      Drain(hub, nc);
      break;
    case NS_EV_CLOSE: {
      Forget(hub, nc);
      const auto* api = static_cast<const ApiContext*>(nc->user_data);
      if (api->device_requests != nullptr)
        DeviceRequestsConnectionEvent(nc, ev, api->device_requests);
      break;
    }
    default:
      break;
  }
}

// The reader watcher's thread.
void Watch(EventsHub* hub) {
  std::unique_lock<std::mutex> lock(hub->mutex);
  while (!hub->stopping) {
    if (hub->clients == nullptr) {
      hub->watch.wait(lock);
      continue;
    }
    const uint64_t generation = hub->readers_generation;
    lock.unlock();
    ReaderListing readers[kHealthMaxReaders];
    size_t count = 0;
    const int reader_error = ListReaders(readers, &count);
    JsonReply reply;
    BuildReadersEvent(std::span(readers, count), reader_error, &reply);
    lock.lock();
    const std::string_view text = JsonText(&reply);
    const mbuf& last = hub->readers_text;
    // Nobody listens any more: the list is not kept (a page that comes
    // later is greeted with a fresh one).
    // A page greeted meanwhile brought a list as fresh as this one.
    if (!reply.failed && hub->clients != nullptr && generation == hub->readers_generation &&
        (last.len != text.size() || memcmp(last.buf, text.data(), text.size()) != 0)) {
      mbuf_free(&hub->readers_text);
      hub->readers_text = reply.text;
      reply.text = {};
      Wake(hub);
    }
    hub->watch.wait_for(lock, std::chrono::milliseconds(kReadersPollMs),
                        [hub] { return hub->stopping; });
  }
}

// The loop's wake-up, run on every connection: only /events ones drain.
void EventsWake(ns_conn* nc, int, void* data) {
  WakeMessage wake;
  memcpy(&wake, data, sizeof wake);
  if (nc->handler == EventsConnectionHandler) Drain(wake.hub, nc);
}

}  // namespace

void EventsHubStart(EventsHub* hub, ns_mgr* mgr, DeviceThread* device) {
  hub->mgr = mgr;
  hub->device = device;
  hub->watcher = std::thread(Watch, hub);
}

void EventsHubStop(EventsHub* hub) {
  {
    std::lock_guard<std::mutex> lock(hub->mutex);
    hub->stopping = true;
  }
  hub->watch.notify_all();
  if (hub->watcher.joinable()) hub->watcher.join();
  std::lock_guard<std::mutex> lock(hub->mutex);
  mbuf_free(&hub->readers_text);
}

void EventsHandshake(ns_conn* nc, http_message* hm, const ApiContext* api) {
  EventsHub* hub = api->events;
  if (hub == nullptr) return;
  if (CheckHostHeader(nc, hm) != 0) {
    // The 403 is the whole answer: no upgrade, and nothing more is read.
    nc->flags |= NCF_SEND_AND_CLOSE;
    return;
  }
  TraceRequestOrigin(hm);
  auto* c = static_cast<EventsClient*>(calloc(1, sizeof(EventsClient)));
  if (c == nullptr) {
    nc->flags |= NCF_CLOSE_IMMEDIATELY;
    return;
  }
  c->nc = nc;
  {
    std::lock_guard<std::mutex> lock(hub->mutex);
    c->serial = hub->next_serial++;
    c->next = hub->clients;
    hub->clients = c;
  }
  hub->watch.notify_all();
  nc->handler = EventsConnectionHandler;
}
