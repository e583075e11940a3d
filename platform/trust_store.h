// The certificate trust stores the browsers of this machine read, for a root
// certificate that a local tool adds, removes or looks for.
//
// Windows: the CryptoAPI "Root" system store of the current user, or the
// machine's when the process runs elevated (removal and the query look in
// both). Linux: the user's NSS database ~/.pki/nssdb (Chrome, Chromium; made
// when missing) and every Firefox profile's, through NSS's certutil; for root
// also the system store (/usr/local/share/ca-certificates and
// update-ca-certificates). Runs on the calling thread; starts and waits for
// those programs on Linux.
#pragma once

#include <cstddef>
#include <span>

struct TrustRoot {
  const char* pem_path;                // the certificate as a PEM file (read by certutil)
  std::span<const unsigned char> der;  // the same certificate, DER (CryptoAPI)
  const char* nickname;  // its name where stores name entries; unique to this certificate
};

enum class TrustAction { kAdd, kRemove, kQuery };

// One call per store visited. result: 1 added / removed / trusted; 0 nothing
// to remove / not trusted; -1 failed, with the reason in detail ("" otherwise).
using TrustStoreReport = void (*)(void* ctx, const char* store, int result, const char* detail);

// Applies the action to each store as described above and reports each;
// user_only keeps to the current user's stores also when the process runs
// as root or elevated. Returns the number of stores in which it failed.
[[nodiscard]] int PlatformTrustStores(TrustAction action, const TrustRoot& root, bool user_only,
                                      TrustStoreReport report, void* ctx);
