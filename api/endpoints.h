// The biometric endpoints the router calls, and the service key pair the
// service thread makes at start. Each handler writes its whole reply into the
// connection's send buffer before it returns. Service thread only.
#pragma once

#include "net/event_manager.h"
#include "net/http_parser.h"

// "/VRNFPCapture" and "/ZAROZuzoder", any method but OPTIONS.
void HandleCapture(ns_conn* nc, http_message* hm);

// "/VRNMatchScore", any method.
void HandleMatchScore(ns_conn* nc, http_message* hm);

// "/VRNGetPublicKey", any method; no Host check.
void HandleGetPublicKey(ns_conn* nc, http_message* hm);

// Makes the service's RSA key pair (replacing any earlier one). Returns 0.
int GenerateServiceKeyPair();

// PEM text of the current public key, or null before the first key pair.
// Valid until the next GenerateServiceKeyPair.
const char* ServicePublicKeyPem();
