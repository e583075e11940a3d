#include "host/certificate_check.h"

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <climits>
#include <memory>
#include <mutex>
#include <string_view>

#include "certs/local_ca.h"
#include "host/service_entry.h"
#include "host/tray_window.h"
#include "net/openssl_owners.h"
#include "platform/heap_owner.h"
#include "platform/platform.h"

namespace {

constexpr std::string_view kCertificateMarker = "-----BEGIN CERTIFICATE-----";

// The state is written on the service thread and read by the window procedure
// on the main thread; the lock keeps a reader from seeing half a message.
std::mutex g_cert_lock;
CertState g_cert_state = {kCertStateOk, ""};

// Compares the certificate's expiry with now + 90 and now + 30 days; a
// comparison that fails records nothing.
void CheckExpiry(const char* pem, size_t len, time_t now) {
  int bio_len = len > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(len);
  BioPtr bio(BIO_new_mem_buf(pem, bio_len));
  if (!bio) return;
  X509Ptr cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
  if (!cert) return;
  const ASN1_TIME* not_after = X509_get0_notAfter(cert.get());
  time_t in_90_days = now + kCertWarnSeconds90;
  time_t in_30_days = now + kCertWarnSeconds30;
  if (X509_cmp_time(not_after, &in_90_days) != -1) return;
  RecordCertFinding(kCertStateExpires90, "SSL Certificate expires in less than 90 days");
  if (X509_cmp_time(not_after, &in_30_days) == -1) {
    RecordCertFinding(kCertStateExpires30, "SSL Certificate expires in less than 30 days");
  }
}

}  // namespace

void RecordCertFinding(int state, const char* message) {
  std::lock_guard<std::mutex> hold(g_cert_lock);
  if (state > g_cert_state.state) {
    g_cert_state.state = state;
    snprintf(g_cert_state.message, sizeof g_cert_state.message, "%s",
             message == nullptr ? "" : message);
  }
}

void CertStateSnapshot(CertState* out) {
  if (out == nullptr) return;
  std::lock_guard<std::mutex> hold(g_cert_lock);
  *out = g_cert_state;
}

void CertStateReset() {
  std::lock_guard<std::mutex> hold(g_cert_lock);
  g_cert_state = CertState{kCertStateOk, ""};
}

bool FindCertificateMarker(const char* data, size_t len, size_t* offset) {
  if (data == nullptr) return false;
  size_t at = std::string_view(data, len).find(kCertificateMarker);
  if (at == std::string_view::npos) return false;
  if (offset != nullptr) *offset = at;
  return true;
}

void CheckCertificateText(const char* data, size_t len, time_t now) {
  size_t marker = 0;
  if (FindCertificateMarker(data, len, &marker)) CheckExpiry(data + marker, len - marker, now);
}

int CheckCertificateFile(const char* path, time_t now) {
  FilePtr file(fopen(path, "r"));
  if (!file) {
    RecordCertFinding(kCertStateUnreadable, "Failure to open SERVER.PEM");
    fprintf(stderr, "unable to open: %s\n", path);
    return -1;
  }
  long size = -1;
  if (fseek(file.get(), 0, SEEK_END) == 0) size = ftell(file.get());
  rewind(file.get());
  if (size < 0) {
    RecordCertFinding(kCertStateUnreadable, "FRead failure to read file");
    return -1;
  }
  // One byte more keeps an empty file from asking malloc for nothing.
  size_t capacity = static_cast<size_t>(size) + 1;
  HeapText buffer(size > kCertFileMaxBytes ? nullptr : static_cast<char*>(calloc(capacity, 1)));
  if (!buffer) {
    RecordCertFinding(kCertStateUnreadable, "Malloc failure to create buffer");
    return -1;
  }
  size_t got = fread(buffer.get(), 1, static_cast<size_t>(size), file.get());
  if (got == 0) {
    RecordCertFinding(kCertStateUnreadable, "FRead failure to read file");
    return -1;
  }
  CheckCertificateText(buffer.get(), got, now);
  return 0;
}

int CheckServerCertificate() {
  // The same file TLS loaded at start (g_settings.cert_path).
  char path[kCertPathBytes] = {0};
  if (ServerCertificatePath(path, sizeof path) != 0) {
    RecordCertFinding(kCertStateUnreadable, "GetExeDir failure");
    fprintf(stderr, "Failure to build path: %s\n", path);
    return -1;
  }
  return CheckCertificateFile(path, time(nullptr));
}

void RenewOwnCertificate(const char* cert_path, time_t now) {
  if (cert_path == nullptr || cert_path[0] == '\0') return;
  const LocalCertPaths paths = LocalCertPathsBeside(cert_path);
  switch (UpdateLocalCertificate(paths, now, LocalCertMode::kRenewOnly)) {
    case LocalCertResult::kNewLeaf:
    case LocalCertResult::kNewChain:
      fprintf(stdout, "Renewed the server certificate %s: valid until %s\n", cert_path,
              DateText(ReadLocalCertFacts(paths).leaf_not_after).c_str());
      fflush(stdout);
      return;
    case LocalCertResult::kNotRenewable:
      fprintf(stderr,
              "Server certificate not renewed: its issuing CA ends too soon; run kestrav-cert make "
              "%s\n",
              paths.dir.c_str());
      return;
    case LocalCertResult::kFileError:
    case LocalCertResult::kCryptoError:
      fprintf(stderr, "Server certificate not renewed: cannot write %s\n", cert_path);
      return;
    case LocalCertResult::kUpToDate:
    case LocalCertResult::kNotOurs:
      return;
  }
}

void RefreshCertificateState() {
  // A failure is recorded in the state the tray shows; nothing more to do.
  if (g_settings.use_https) (void)CheckServerCertificate();
  PlatformPostMessage(g_main_window, TRAY_UPDATE_MESSAGE, 0, 0);
}
