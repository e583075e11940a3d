// The biometric endpoints the router calls, on the service thread. Each
// handler writes its whole reply into the connection's send buffer before it
// returns, except that capture and match hand their reader work to the
// device thread (device_requests.h); their replies follow when it is done.
#pragma once

#include "api/router.h"
#include "net/event_manager.h"
#include "net/http_parser.h"

// "/VRNFPCapture" and "/ZAROZuzoder", any method but OPTIONS.
void HandleCapture(ns_conn* nc, http_message* hm, const ApiContext* api);

// "/VRNMatchScore", any method.
void HandleMatchScore(ns_conn* nc, http_message* hm, const ApiContext* api);

// "/VRNGetPublicKey", any method. The current key without a Host check; with
// "generate" a new pair, for this machine's pages only (Host check), made
// off the loop (session_keys.h): the reply then comes once it is installed,
// and requests that come meanwhile share it.
void HandleGetPublicKey(ns_conn* nc, http_message* hm);

// The router passes every connection event here: NS_EV_POLL (also the
// worker's wake-up) installs a finished pair and answers the connections
// waiting for it; NS_EV_CLOSE forgets a connection that waited.
void KeyRotationEvent(ns_conn* nc, int ev, void* ev_data);
