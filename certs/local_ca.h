// The service's own certificate authority for https://localhost: a root made
// for one install, which may vouch only for this machine's loopback names
// (critical name constraints), an issuing CA under it with the same
// constraints, and the server certificate (leaf) the issuing CA signs. The
// root's private key is discarded as soon as the issuing CA is signed; the
// issuing CA's key is kept (owner-only) so that the leaf can be renewed
// without trusting a new root.
//
// Files in the directory of server.pem:
//   server.pem              leaf key, leaf certificate, issuing CA certificate (owner-only)
//   kestrav-issuing-ca.pem  issuing CA key, its certificate, the root certificate (owner-only)
//   kestrav-root.pem        the root certificate to trust (readable by all; no key)
// A server.pem counts as made here when the issuing CA beside it signed its
// leaf; any other server.pem is never touched.
//
// All calls run on the calling thread and keep no state between calls.
// OpenSSL objects are held by the owners of net/openssl_owners.h.
#pragma once

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

inline constexpr char kRootPemName[] = "kestrav-root.pem";
inline constexpr char kIssuingCaPemName[] = "kestrav-issuing-ca.pem";

inline constexpr int kLeafDays = 397;        // a leaf's whole life
inline constexpr int kRenewBelowDays = 120;  // a leaf with less left is made anew
inline constexpr int kCaDays = 3650;         // the root's and the issuing CA's life
// Certificates start this long before they are made: a clock a little behind
// (another machine's, a virtual machine's) still accepts them.
inline constexpr long kBackdateSeconds = 3600;

// The loopback names the root and the issuing CA may vouch for, and the
// names of the leaf: the hosts the API's Host check accepts and the
// loopback addresses.
inline constexpr char kLoopbackNameConstraints[] =
    "critical,permitted;DNS:localhost,permitted;DNS:localhost.localdomain,"
    "permitted;IP:127.0.0.0/255.0.0.0,"
    "permitted;IP:::1/ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff";
inline constexpr char kLeafNames[] = "DNS:localhost,DNS:localhost.localdomain,IP:127.0.0.1,IP:::1";

struct LocalCertPaths {
  std::string dir;      // no trailing separator
  std::string server;   // server.pem
  std::string issuing;  // kestrav-issuing-ca.pem
  std::string root;     // kestrav-root.pem
};

// The three files in dir.
[[nodiscard]] LocalCertPaths LocalCertPathsIn(std::string_view dir);
// The files beside server_pem (the service's cert_path, whatever its name).
[[nodiscard]] LocalCertPaths LocalCertPathsBeside(std::string_view server_pem);

enum class LocalCertMode {
  kMake,       // kestrav-cert make: create what is missing, renew, or make a new chain
  kRenewOnly,  // the service: only a new leaf for a server.pem made here
};

enum class LocalCertResult {
  kUpToDate,      // made here, kRenewBelowDays or more left: nothing written
  kNewLeaf,       // a new leaf (and server.pem) under the same issuing CA
  kNewChain,      // new root, issuing CA and leaf: the new root must be trusted
  kNotOurs,       // server.pem not made here (or, renewing, nothing made here): untouched
  kNotRenewable,  // renewing: the issuing CA itself ends too soon; kMake replaces it
  kFileError,     // a file could not be read or written
  kCryptoError,   // a key or certificate could not be made
};

// Brings the files up to date as of now, as the mode allows.
[[nodiscard]] LocalCertResult UpdateLocalCertificate(const LocalCertPaths& paths, time_t now,
                                                     LocalCertMode mode);

// What status shows. Times are seconds since the epoch; 0 when unknown.
struct LocalCertFacts {
  bool server_present;
  bool made_here;  // signed by the issuing CA beside it
  time_t leaf_not_after;
  std::string leaf_names;  // "DNS:localhost, IP Address:127.0.0.1, ..."
  bool issuing_present;
  time_t issuing_not_after;
  bool root_present;
  std::string root_name;  // the root's common name, also its name in the trust stores
  time_t root_not_after;
};
[[nodiscard]] LocalCertFacts ReadLocalCertFacts(const LocalCertPaths& paths);

// The root certificate as the trust stores take it.
struct RootCertificate {
  std::vector<unsigned char> der;
  std::string name;  // common name: unique to this install
};
// Reads the first certificate of the PEM file; returns 0, or -1 when there is none.
[[nodiscard]] int ReadRootCertificate(const char* pem_path, RootCertificate* out);

// "2027-01-10" for a time, "?" for 0.
[[nodiscard]] std::string DateText(time_t when);
