// The certificate-file scan of the host: arbitrary file contents through the
// marker search and the PEM read of the certificate that follows it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "host/certificate_check.h"

namespace {

constexpr std::string_view kMarker = "-----BEGIN CERTIFICATE-----";
constexpr time_t kNow = 1767225600;  // 2026-01-01: certificates on both sides of it

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size heap copy, so that ASan sees any read past the file's end.
  char* file = static_cast<char*>(malloc(size == 0 ? 1 : size));
  if (size > 0) memcpy(file, data, size);

  size_t at = 0;
  const bool found = FindCertificateMarker(file, size, &at);
  const size_t first = std::string_view(file, size).find(kMarker);
  if (found != (first != std::string_view::npos) || (found && at != first)) abort();

  CertStateReset();
  CheckCertificateText(file, size, kNow);
  CertState state;
  CertStateSnapshot(&state);
  if (state.state != kCertStateOk && state.state != kCertStateExpires90 &&
      state.state != kCertStateExpires30) {
    abort();
  }
  if (state.state != kCertStateOk && !found) abort();
  free(file);
  return 0;
}
