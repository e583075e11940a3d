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

// "/VRNGetPublicKey", any method; no Host check.
void HandleGetPublicKey(ns_conn* nc, http_message* hm);
