// What the API's status route shows about the host: version, scheme and
// bound port, and under HTTPS the certificate's state and expiry. The
// service thread puts them into the ApiContext once, after the listener (and
// TLS) are set up and before the first poll.
#pragma once

#include <ctime>

#include "api/router.h"

struct ns_conn;

// Expiry of the certificate in a TLS context's leaf, as seconds since the
// epoch; 0 when ssl_ctx is null or the time cannot be read.
[[nodiscard]] time_t CertificateNotAfter(const ns_conn* listener);

// The facts of this listener, for ApiContext::health. Reads the served
// certificate's expiry once; the certificate callback it names copies the
// state the certificate checks keep.
[[nodiscard]] HealthHostFacts ListenerHealthFacts(const ns_conn* listener);
