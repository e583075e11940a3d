// The status route "/health": service version, listening scheme and port, the
// readers the SDK enumerates (never opened) and, under HTTPS, the certificate's
// state and expiry. It answers in milliseconds and never waits for a finger,
// so pages can poll it. What only the host knows comes with the connection's
// ApiContext (HealthHostFacts in router.h); the API never reaches into the
// host for it.
#pragma once

#include <cstddef>
#include <ctime>
#include <span>

#include "api/json_reply.h"
#include "api/router.h"
#include "device/reader_list.h"
#include "net/event_manager.h"
#include "net/http_parser.h"

inline constexpr size_t kHealthMaxReaders = 8;          // readers shown; more are left out
inline constexpr size_t kHealthCertMessageBytes = 128;  // certificate finding text and NUL

// The certificate's state, in rising severity.
enum class CertificateHealth : int {
  kOk = 0,          // nothing found
  kUnreadable = 1,  // server.pem could not be read when last checked
  kExpiresWithin90Days = 2,
  kExpiresWithin30Days = 3,  // or already expired; see not_after
};

struct HealthCertificate {
  CertificateHealth state;
  char message[kHealthCertMessageBytes];  // the host's text for the state; empty when kOk
  time_t not_after;                       // expiry of the certificate served; 0 when unknown
};

// The members "ReaderError" (0 or the SDK's code when enumeration failed)
// and "Readers" (an array of objects with "Model" and "SerialNumber"), as
// /health and the /events "Readers" message show them.
void JsonReaderList(JsonReply* reply, std::span<const ReaderListing> readers, int reader_error);

// Writes the reply's JSON text into *reply (a fresh builder; check its
// `failed` afterwards). cert is null under HTTP. reader_error is 0 or the
// SDK's code when enumeration failed. now decides "Expired".
void BuildHealthJson(const HealthHostFacts& facts, const HealthCertificate* cert,
                     std::span<const ReaderListing> readers, int reader_error, time_t now,
                     JsonReply* reply);

// "/health", any method (a page uses GET, which needs no pre-flight; an
// OPTIONS gets the document too, so that a pre-flighted call fails at once
// rather than hanging). Runs the Host check first, since the reply names the
// readers' serial numbers. The host facts are api->health.
void HandleHealth(ns_conn* nc, http_message* hm, const ApiContext* api);
