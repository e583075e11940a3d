#include "host/health_facts.h"

#include <openssl/asn1.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstdlib>

#include "api/health_endpoint.h"
#include "host/certificate_check.h"
#include "host/service_entry.h"
#include "host/tray_window.h"
#include "net/event_manager.h"
#include "net/http_helpers.h"
#include "net/openssl_owners.h"

namespace {

constexpr size_t kPortTextBytes = 8;
constexpr time_t kSecondsPerDay = 86400;

// Read once: TLS keeps serving the certificate it loaded at start, so its
// expiry cannot change while the process runs.
time_t g_not_after = 0;

CertificateHealth FromCertState(int state) {
  switch (state) {
    case kCertStateOk:
      return CertificateHealth::kOk;
    case kCertStateExpires90:
      return CertificateHealth::kExpiresWithin90Days;
    case kCertStateExpires30:
      return CertificateHealth::kExpiresWithin30Days;
    default:
      return CertificateHealth::kUnreadable;
  }
}

// The state the endpoints' certificate checks keep; a copy under its lock,
// never a file read.
void CurrentCertificate(HealthCertificate* out) {
  CertState state;
  CertStateSnapshot(&state);
  out->state = FromCertState(state.state);
  snprintf(out->message, sizeof out->message, "%s", state.message);
  out->not_after = g_not_after;
}

}  // namespace

time_t CertificateNotAfter(const ns_conn* listener) {
  if (listener == nullptr || listener->ssl_ctx == nullptr) return 0;
  X509* cert = SSL_CTX_get0_certificate(listener->ssl_ctx);  // owned by the context
  if (cert == nullptr) return 0;
  // Days and seconds from the epoch, through OpenSSL: timegm is not portable.
  Asn1TimePtr epoch(ASN1_TIME_set(nullptr, 0));
  int days = 0, seconds = 0;
  if (!epoch || ASN1_TIME_diff(&days, &seconds, epoch.get(), X509_get0_notAfter(cert)) != 1)
    return 0;
  return static_cast<time_t>(days) * kSecondsPerDay + seconds;
}

HealthHostFacts ListenerHealthFacts(const ns_conn* listener) {
  char port[kPortTextBytes] = {0};
  sock_addr_to_text(listener->sock, port, sizeof port, NS_SOCK_ADDR_PORT);
  // A plain listener beside the TLS one (-hp:) shows itself as plain.
  const bool https = listener->ssl_ctx != nullptr;
  if (https) g_not_after = CertificateNotAfter(listener);
  return {kServiceVersion, https, atoi(port), https ? CurrentCertificate : nullptr};
}
