// Win32 form of trust_store.h: the CryptoAPI "Root" system stores.
#include <windows.h>
// After windows.h.
#include <wincrypt.h>

#include "platform/trust_store.h"

namespace {

struct StoreLocation {
  DWORD flag;
  const char* name;
};
constexpr StoreLocation kUserRoot = {CERT_SYSTEM_STORE_CURRENT_USER,
                                     "Windows Root store (current user)"};
constexpr StoreLocation kMachineRoot = {CERT_SYSTEM_STORE_LOCAL_MACHINE,
                                        "Windows Root store (local machine)"};

bool Elevated() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  TOKEN_ELEVATION elevation = {};
  DWORD got = 0;
  BOOL ok = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &got);
  CloseHandle(token);
  return ok && elevation.TokenIsElevated != 0;
}

// The store's own registry entries, not the system store's logical view: the
// user's view also shows the machine's roots, and a removal made through
// that view may not reach the registry (Wine keeps the root there).
HCERTSTORE OpenRoot(const StoreLocation& where, bool write) {
  DWORD flags = where.flag | (write ? 0 : CERT_STORE_READONLY_FLAG);
  return CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0, flags, L"Root");
}

// The store's own copy of the certificate, or null.
PCCERT_CONTEXT FindIn(HCERTSTORE store, PCCERT_CONTEXT cert) {
  return CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, cert, nullptr);
}

int Visit(TrustAction action, const StoreLocation& where, PCCERT_CONTEXT cert,
          TrustStoreReport report, void* ctx) {
  // Looked up read-only first: a user may look into the machine's store, and
  // remove nothing from it, without elevation.
  const bool add = action == TrustAction::kAdd;
  HCERTSTORE store = OpenRoot(where, add);
  if (store == nullptr) {
    report(ctx, where.name, -1,
           add ? "cannot open the store (run as administrator)" : "cannot open the store");
    return 1;
  }
  if (add) {
    // Adding to the user's store asks the user to confirm; a refusal fails here.
    BOOL ok =
        CertAddCertificateContextToStore(store, cert, CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    CertCloseStore(store, 0);
    report(ctx, where.name, ok ? 1 : -1, ok ? "" : "the store refused the certificate");
    return ok ? 0 : 1;
  }
  PCCERT_CONTEXT found = FindIn(store, cert);
  CertCloseStore(store, 0);
  if (found == nullptr || action == TrustAction::kQuery) {
    if (found != nullptr) CertFreeCertificateContext(found);
    report(ctx, where.name, found != nullptr ? 1 : 0, "");
    return 0;
  }
  CertFreeCertificateContext(found);
  store = OpenRoot(where, true);
  found = store == nullptr ? nullptr : FindIn(store, cert);
  // CertDeleteCertificateFromStore frees found whatever the outcome.
  BOOL ok = found != nullptr && CertDeleteCertificateFromStore(found);
  if (store != nullptr) CertCloseStore(store, 0);
  report(ctx, where.name, ok ? 1 : -1, ok ? "" : "cannot remove it (run as administrator)");
  return ok ? 0 : 1;
}

}  // namespace

int PlatformTrustStores(TrustAction action, const TrustRoot& root, bool user_only,
                        TrustStoreReport report, void* ctx) {
  PCCERT_CONTEXT cert = CertCreateCertificateContext(X509_ASN_ENCODING, root.der.data(),
                                                     static_cast<DWORD>(root.der.size()));
  if (cert == nullptr) {
    report(ctx, "Windows Root store", -1, "the certificate cannot be read");
    return 1;
  }
  int failures = 0;
  if (action == TrustAction::kAdd) {
    failures +=
        Visit(action, Elevated() && !user_only ? kMachineRoot : kUserRoot, cert, report, ctx);
  } else {
    failures += Visit(action, kUserRoot, cert, report, ctx);
    if (!user_only) failures += Visit(action, kMachineRoot, cert, report, ctx);
  }
  CertFreeCertificateContext(cert);
  return failures;
}
