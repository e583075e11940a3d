// Entry point of the web API: the request router installed as the listener's
// event handler, and the context it hands the endpoints. Runs on the service
// thread (the poll loop), one request at a time. Every reply is written whole
// into the connection's send buffer: before the handler returns, except for
// captures and matches, whose reader work runs on the device thread and whose
// replies the loop writes when it is done (device_requests.h).
//
// Where things are: request_access.h (Host check, User-Agent and Origin),
// reply_writer.h (HTTP replies), json_reply.h (the JSON builder),
// endpoints.h (capture, match, public key), health_endpoint.h (status),
// openapi_endpoint.h (the API's description), request_params.h (form
// parameters), session_keys.h (RSA key pair, session keys), bmp_image.h,
// device_requests.h (hand-over to the device thread).
//
// Results, in every header of this folder: predicates return bool; an
// operation that can fail returns 0 or -1, or the "ErrorCode" a page is to
// see (0 success; api_error_codes.h); a function that makes a heap block
// returns it, or null, and the caller frees it. Those results are
// [[nodiscard]]. Endpoints and reply writers return nothing: their outcome is
// the reply they write.
#pragma once

#include "net/event_manager.h"
#include "net/http_parser.h"

struct DeviceRequests;     // device_requests.h
struct EventsHub;          // events_endpoint.h
struct HealthCertificate;  // health_endpoint.h

// What the status route "/health" shows about the process serving it.
struct HealthHostFacts {
  const char* version;  // static text, e.g. "1.1.0.15"; null shows ""
  bool https;           // the listener speaks TLS
  int port;             // the port actually bound (also when -p:0 let the system pick)
  // Fills *out with the certificate's current state; null under HTTP. Must
  // not block: it reads state the host keeps, not the file.
  void (*certificate)(HealthCertificate* out);
};

// What the endpoints need from the process that serves them. The host fills
// one before it binds the listener and hands it over as the listener's user
// data, which every accepted connection inherits; it must outlive the
// listener. The host fills in `health` once the listener is bound and before
// the first poll (the port may be the system's choice). Read on the service
// thread only; the device thread gets copies of what it needs.
struct ApiContext {
  const char* device_name;           // reader model named to the device layer and shown as "Model"
  int com_port;                      // COM port of a serial reader; 0 or less: none configured
  void (*biometric_request_seen)();  // runs before a capture or match is served; may be null
  HealthHostFacts health;            // for "/health"
  // Runs captures and matches off the loop (owned by the host). Null: they
  // run inside the handler and nothing else is served meanwhile (tests,
  // fuzzers).
  DeviceRequests* device_requests;
  // The /events pages (owned by the host). Null: /events is not served.
  EventsHub* events = nullptr;
};

// Paths of the API; exact, case-sensitive.
inline constexpr char kCapturePath[] = "/VRNFPCapture";
inline constexpr char kCaptureSynonymPath[] = "/ZAROZuzoder";
inline constexpr char kMatchScorePath[] = "/VRNMatchScore";
inline constexpr char kPublicKeyPath[] = "/VRNGetPublicKey";
inline constexpr char kHealthPath[] = "/health";
inline constexpr char kOpenApiPath[] = "/openapi.json";

// The listener's event handler. On NS_EV_HTTP_REQUEST it picks the endpoint
// by exact path and method, traces the route at level 99 and runs it with the
// connection's ApiContext (user_data; a connection without one is served with
// an empty device name, no COM port, no callback, empty host facts and no
// device thread). "OPTIONS *" gets 200 with the methods taken; any other
// path 404 with "Content-Length: 0" (a request left unanswered would pair
// the next reply with it). A route that writes nothing has handed its
// request off (capture, match, key generation): the connection is marked
// NCF_REPLY_DEFERRED until the reply comes.
// NS_EV_RECV, NS_EV_POLL and NS_EV_CLOSE go to the key rotation and the
// device requests: holding back the next requests of a connection that waits
// for its reply, writing a reply whose wake-up was lost, cancelling the
// request of a closed one.
void ApiRequestHandler(ns_conn* nc, int ev, void* ev_data);
