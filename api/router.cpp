#include "api/router.h"

#include "api/device_requests.h"
#include "api/endpoints.h"
#include "api/events_endpoint.h"
#include "api/health_endpoint.h"
#include "api/openapi_endpoint.h"
#include "api/reply_writer.h"
#include "base/trace_log.h"
#include "base/trace_tags.h"
#include "net/http_protocol.h"
#include "net/websocket.h"

namespace {

// For connections that carry no context of their own (tests, fuzzers).
constexpr ApiContext kEmptyContext = {"", 0, nullptr, {"", false, 0, nullptr}, nullptr};

constexpr char kPreflightMethod[] = "OPTIONS";

bool PathIs(const http_message* hm, const char* path) {
  return ns_str_compare(&hm->uri, path) == 0;
}

void Route(ns_conn* nc, http_message* hm, const ApiContext* api) {
  if (PathIs(hm, kCapturePath) || PathIs(hm, kCaptureSynonymPath)) {
    if (ns_str_compare(&hm->method, kPreflightMethod) == 0) {
      trace_log(kTraceEverything, "[%s]: Request -PREFLIGHT-VRNFPCapture", kTagRoutePreflight);
      SendPreflightReply(nc);
    } else {
      trace_log(kTraceEverything, "[%s]: Request VRNFPCapture", kTagRouteCapture);
      HandleCapture(nc, hm, api);
    }
  } else if (PathIs(hm, kMatchScorePath)) {
    trace_log(kTraceEverything, "[%s]: Request VRNMatchScore", kTagRouteMatch);
    HandleMatchScore(nc, hm, api);
  } else if (PathIs(hm, kPublicKeyPath)) {
    trace_log(kTraceEverything, "[%s]: GetPublicKey", kTagRoutePublicKey);
    HandleGetPublicKey(nc, hm);
  } else if (PathIs(hm, kHealthPath)) {
    trace_log(kTraceEverything, "[%s]: Request %s", kTagRouteStatus, kHealthPath);
    HandleHealth(nc, hm, api);
  } else if (PathIs(hm, kOpenApiPath)) {
    trace_log(kTraceEverything, "[%s]: Request %s", kTagRouteStatus, kOpenApiPath);
    HandleOpenApi(nc, hm);
  } else if (PathIs(hm, "*")) {
    SendOptionsAnyReply(nc);  // the parser lets "*" through for OPTIONS only
  } else {
    SendNotFoundReply(nc);
  }
}

}  // namespace

void ApiRequestHandler(ns_conn* nc, int ev, void* ev_data) {
  const ApiContext* api =
      nc->user_data != nullptr ? static_cast<const ApiContext*>(nc->user_data) : &kEmptyContext;
  if (ev == NS_EV_WS_HANDSHAKE_REQUEST && ev_data != nullptr &&
      PathIs(static_cast<http_message*>(ev_data), kEventsPath))
    return EventsHandshake(nc, static_cast<http_message*>(ev_data), api);
  if (ev != NS_EV_HTTP_REQUEST) {
    KeyRotationEvent(nc, ev, ev_data);
    if (api->device_requests != nullptr)
      DeviceRequestsConnectionEvent(nc, ev, api->device_requests);
    return;
  }
  if (ev_data == nullptr) return;
  const size_t queued = nc->send_mbuf.len;
  Route(nc, static_cast<http_message*>(ev_data), api);
  // Every route answers; one that wrote nothing has handed its request to
  // another thread, and its reply comes later: the HTTP layer holds the
  // requests behind it, and a close waits for it.
  if (nc->send_mbuf.len == queued) nc->flags |= NCF_REPLY_DEFERRED;
}
