#include "certs/local_ca.h"

#include <openssl/bn.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>
#include <stdio.h>

#include <algorithm>
#include <span>

#include "base/service_settings.h"
#include "net/openssl_owners.h"
#include "platform/heap_owner.h"
#include "platform/platform.h"
#include "platform/private_file.h"

namespace {

constexpr long kSecondsPerDay = 86400;
constexpr int kSerialBits = 127;  // positive and below 20 bytes in DER
constexpr size_t kMaxPemBytes = 1 << 20;

struct Extension {
  int nid;
  const char* value;
};

constexpr Extension kRootExtensions[] = {
    {NID_basic_constraints, "critical,CA:TRUE,pathlen:1"},
    {NID_key_usage, "critical,keyCertSign,cRLSign"},
    {NID_subject_key_identifier, "hash"},
    {NID_name_constraints, kLoopbackNameConstraints},
};
constexpr Extension kIssuingExtensions[] = {
    {NID_basic_constraints, "critical,CA:TRUE,pathlen:0"},
    {NID_key_usage, "critical,keyCertSign,cRLSign"},
    {NID_subject_key_identifier, "hash"},
    {NID_authority_key_identifier, "keyid:always"},
    {NID_name_constraints, kLoopbackNameConstraints},
};
constexpr Extension kLeafExtensions[] = {
    {NID_basic_constraints, "critical,CA:FALSE"},
    {NID_key_usage, "critical,digitalSignature"},
    {NID_ext_key_usage, "serverAuth"},
    {NID_subject_alt_name, kLeafNames},
    {NID_subject_key_identifier, "hash"},
    {NID_authority_key_identifier, "keyid:always"},
};

// The issuing CA as its file holds it.
struct IssuingCa {
  PkeyPtr key;
  X509Ptr cert;
  X509Ptr root;
};

struct X509NameFree {
  void operator()(X509_NAME* p) const { X509_NAME_free(p); }
};
struct ExtensionFree {
  void operator()(X509_EXTENSION* p) const { X509_EXTENSION_free(p); }
};

std::string JoinPath(std::string_view dir, const char* name) {
  std::string path(dir);
  if (!path.empty() && path.back() != kPathSeparator) path += kPathSeparator;
  return path + name;
}

// The whole file, or false when it cannot be opened or read (or is huge).
bool ReadWholeFile(const std::string& path, std::string* out) {
  FilePtr file(fopen(path.c_str(), "rb"));
  if (!file) return false;
  out->clear();
  char chunk[4096];
  size_t got = 0;
  while ((got = fread(chunk, 1, sizeof chunk, file.get())) > 0) {
    out->append(chunk, got);
    if (out->size() > kMaxPemBytes) return false;
  }
  return ferror(file.get()) == 0;
}

BioPtr MemoryOf(const std::string& text) {
  return BioPtr(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

PkeyPtr ReadKey(const std::string& pem) {
  BioPtr bio = MemoryOf(pem);
  return PkeyPtr(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

// The certificates of a PEM text in order.
std::vector<X509Ptr> ReadCertificates(const std::string& pem) {
  std::vector<X509Ptr> certs;
  BioPtr bio = MemoryOf(pem);
  if (!bio) return certs;
  while (X509* cert = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
    certs.emplace_back(cert);
  }
  return certs;
}

// Whole days from now to the time (negative when it has passed); -1 also
// when the time cannot be compared, which makes any caller renew.
long DaysLeft(const ASN1_TIME* when, time_t now) {
  Asn1TimePtr from(ASN1_TIME_set(nullptr, now));
  int days = 0, seconds = 0;
  if (!from || ASN1_TIME_diff(&days, &seconds, from.get(), when) != 1) return -1;
  return days;
}

time_t EpochSeconds(const ASN1_TIME* when) {
  Asn1TimePtr epoch(ASN1_TIME_set(nullptr, 0));
  int days = 0, seconds = 0;
  if (when == nullptr || !epoch || ASN1_TIME_diff(&days, &seconds, epoch.get(), when) != 1)
    return 0;
  return static_cast<time_t>(days) * kSecondsPerDay + seconds;
}

bool SignedBy(X509* cert, X509* issuer) {
  EVP_PKEY* key = X509_get0_pubkey(issuer);  // owned by issuer
  return key != nullptr && X509_verify(cert, key) == 1;
}

PkeyPtr NewKey() {
  // ECDSA P-256: fast to make and to verify, accepted by every browser.
  return PkeyPtr(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
}

bool SetName(X509* cert, const char* common_name, X509* issuer) {
  std::unique_ptr<X509_NAME, X509NameFree> name(X509_NAME_new());
  if (!name ||
      !X509_NAME_add_entry_by_txt(name.get(), "O", MBSTRING_UTF8,
                                  reinterpret_cast<const unsigned char*>("Kestrav (this computer)"),
                                  -1, -1, 0) ||
      !X509_NAME_add_entry_by_txt(name.get(), "CN", MBSTRING_UTF8,
                                  reinterpret_cast<const unsigned char*>(common_name), -1, -1, 0))
    return false;
  if (!X509_set_subject_name(cert, name.get())) return false;
  return X509_set_issuer_name(cert, issuer == nullptr ? name.get() : X509_get_subject_name(issuer));
}

bool SetSerial(X509* cert) {
  BnPtr serial(BN_new());
  return serial && BN_rand(serial.get(), kSerialBits, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) &&
         BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(cert)) != nullptr;
}

// A certificate for key named common_name, valid from not_before to
// not_after, signed by issuer_key; issuer null makes it self-signed.
X509Ptr MakeCertificate(const char* common_name, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuer_key,
                        time_t not_before, time_t not_after,
                        std::span<const Extension> extensions) {
  X509Ptr cert(X509_new());
  if (!cert || !X509_set_version(cert.get(), X509_VERSION_3) || !SetSerial(cert.get()) ||
      !SetName(cert.get(), common_name, issuer) || !X509_set_pubkey(cert.get(), key) ||
      !X509_time_adj_ex(X509_getm_notBefore(cert.get()), 0, 0, &not_before) ||
      !X509_time_adj_ex(X509_getm_notAfter(cert.get()), 0, 0, &not_after))
    return nullptr;
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, issuer == nullptr ? cert.get() : issuer, cert.get(), nullptr, nullptr, 0);
  for (const Extension& e : extensions) {
    std::unique_ptr<X509_EXTENSION, ExtensionFree> ext(
        X509V3_EXT_nconf_nid(nullptr, &ctx, e.nid, e.value));
    if (!ext || !X509_add_ext(cert.get(), ext.get(), -1)) return nullptr;
  }
  if (X509_sign(cert.get(), issuer_key, EVP_sha256()) <= 0) return nullptr;
  return cert;
}

bool AppendKey(BIO* bio, EVP_PKEY* key) {
  return PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
}

bool AppendCert(BIO* bio, X509* cert) {
  return PEM_write_bio_X509(bio, cert) == 1;
}

std::string Contents(BIO* bio) {
  char* data = nullptr;
  long len = BIO_get_mem_data(bio, &data);
  return len > 0 ? std::string(data, static_cast<size_t>(len)) : std::string();
}

// Writes the key and the certificates, in that order, as one PEM file.
LocalCertResult WritePem(const std::string& path, EVP_PKEY* key, std::span<X509* const> certs,
                         FileAccess access) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || (key != nullptr && !AppendKey(bio.get(), key))) return LocalCertResult::kCryptoError;
  for (X509* cert : certs) {
    if (!AppendCert(bio.get(), cert)) return LocalCertResult::kCryptoError;
  }
  std::string text = Contents(bio.get());
  return PlatformWriteFile(path.c_str(), text, access) == 0 ? LocalCertResult::kNewLeaf
                                                            : LocalCertResult::kFileError;
}

// A fresh name part for this install, so that two installs' roots (and their
// entries in the trust stores) never share a name.
std::string InstallTag() {
  unsigned char bytes[4] = {0};
  if (RAND_bytes(bytes, sizeof bytes) != 1) return "0000";
  char text[9];
  snprintf(text, sizeof text, "%02X%02X%02X%02X", bytes[0], bytes[1], bytes[2], bytes[3]);
  return text;
}

LocalCertResult NewLeaf(const LocalCertPaths& paths, const IssuingCa& ca, time_t now) {
  PkeyPtr key = NewKey();
  if (!key) return LocalCertResult::kCryptoError;
  // Never beyond the CA: a leaf cannot outlive the certificate that vouches for it.
  time_t end =
      std::min(now + kLeafDays * kSecondsPerDay, EpochSeconds(X509_get0_notAfter(ca.cert.get())));
  X509Ptr leaf = MakeCertificate("localhost", key.get(), ca.cert.get(), ca.key.get(),
                                 now - kBackdateSeconds, end, kLeafExtensions);
  if (!leaf) return LocalCertResult::kCryptoError;
  X509* chain[] = {leaf.get(), ca.cert.get()};
  return WritePem(paths.server, key.get(), chain, FileAccess::kOwnerOnly);
}

LocalCertResult NewChain(const LocalCertPaths& paths, time_t now) {
  const std::string tag = InstallTag();
  const time_t start = now - kBackdateSeconds;
  const time_t end = now + kCaDays * kSecondsPerDay;
  IssuingCa ca;
  {
    // The root's key lives only in this block: it signs the issuing CA and
    // is freed without ever being written.
    PkeyPtr root_key = NewKey();
    if (!root_key) return LocalCertResult::kCryptoError;
    std::string root_name = "Kestrav local root " + tag;
    ca.root = MakeCertificate(root_name.c_str(), root_key.get(), nullptr, root_key.get(), start,
                              end, kRootExtensions);
    ca.key = NewKey();
    if (!ca.root || !ca.key) return LocalCertResult::kCryptoError;
    std::string ca_name = "Kestrav local issuing CA " + tag;
    ca.cert = MakeCertificate(ca_name.c_str(), ca.key.get(), ca.root.get(), root_key.get(), start,
                              end, kIssuingExtensions);
    if (!ca.cert) return LocalCertResult::kCryptoError;
  }
  X509* issuing[] = {ca.cert.get(), ca.root.get()};
  LocalCertResult r = WritePem(paths.issuing, ca.key.get(), issuing, FileAccess::kOwnerOnly);
  if (r != LocalCertResult::kNewLeaf) return r;
  X509* root[] = {ca.root.get()};
  r = WritePem(paths.root, nullptr, root, FileAccess::kReadable);
  if (r != LocalCertResult::kNewLeaf) return r;
  r = NewLeaf(paths, ca, now);
  return r == LocalCertResult::kNewLeaf ? LocalCertResult::kNewChain : r;
}

// Reads the issuing CA file. Returns false when it does not exist; a file
// that exists but does not hold a matching key and certificate sets *broken.
bool ReadIssuingCa(const std::string& path, IssuingCa* ca, bool* broken) {
  *broken = false;
  if (!PlatformPathExists(path.c_str())) return false;
  std::string pem;
  *broken = true;
  if (!ReadWholeFile(path, &pem)) return false;
  ca->key = ReadKey(pem);
  std::vector<X509Ptr> certs = ReadCertificates(pem);
  if (!ca->key || certs.empty() || X509_check_private_key(certs[0].get(), ca->key.get()) != 1)
    return false;
  ca->cert = std::move(certs[0]);
  if (certs.size() > 1) ca->root = std::move(certs[1]);
  *broken = false;
  return true;
}

// The leaf of a server.pem: its first certificate, or null.
X509Ptr ReadLeaf(const std::string& path) {
  std::string pem;
  if (!ReadWholeFile(path, &pem)) return nullptr;
  std::vector<X509Ptr> certs = ReadCertificates(pem);
  return certs.empty() ? nullptr : std::move(certs[0]);
}

std::string AltNames(X509* cert) {
  int at = X509_get_ext_by_NID(cert, NID_subject_alt_name, -1);
  X509_EXTENSION* ext = at < 0 ? nullptr : X509_get_ext(cert, at);
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (ext == nullptr || !bio || X509V3_EXT_print(bio.get(), ext, 0, 0) != 1) return "";
  return Contents(bio.get());
}

std::string CommonName(X509* cert) {
  char text[256] = {0};
  X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, text, sizeof text);
  return text;
}

}  // namespace

LocalCertPaths LocalCertPathsIn(std::string_view dir) {
  std::string d(dir);
  while (d.size() > 1 && d.back() == kPathSeparator) d.pop_back();
  return {d, JoinPath(d, kCertFileName), JoinPath(d, kIssuingCaPemName), JoinPath(d, kRootPemName)};
}

LocalCertPaths LocalCertPathsBeside(std::string_view server_pem) {
  size_t cut = server_pem.rfind(kPathSeparator);
  LocalCertPaths paths = LocalCertPathsIn(
      cut == std::string_view::npos ? std::string_view(".") : server_pem.substr(0, cut));
  paths.server = std::string(server_pem);
  return paths;
}

LocalCertResult UpdateLocalCertificate(const LocalCertPaths& paths, time_t now,
                                       LocalCertMode mode) {
  IssuingCa ca;
  bool broken = false;
  const bool have_ca = ReadIssuingCa(paths.issuing, &ca, &broken);
  if (PlatformPathExists(paths.server.c_str())) {
    X509Ptr leaf = ReadLeaf(paths.server);
    if (!have_ca || !leaf || !SignedBy(leaf.get(), ca.cert.get())) {
      return broken ? LocalCertResult::kFileError : LocalCertResult::kNotOurs;
    }
    if (DaysLeft(X509_get0_notAfter(leaf.get()), now) >= kRenewBelowDays)
      return LocalCertResult::kUpToDate;
  } else if (mode == LocalCertMode::kRenewOnly) {
    return LocalCertResult::kNotOurs;
  }
  if (broken) return LocalCertResult::kFileError;
  if (mode == LocalCertMode::kMake && PlatformMakePrivateDir(paths.dir.c_str()) != 0)
    return LocalCertResult::kFileError;
  if (!have_ca) return NewChain(paths, now);
  const long ca_days = DaysLeft(X509_get0_notAfter(ca.cert.get()), now);
  if (ca_days < kLeafDays) {
    if (mode == LocalCertMode::kMake) return NewChain(paths, now);
    // A shorter leaf is still worth having; one shorter than the renewal
    // margin would be renewed at every start.
    if (ca_days < kRenewBelowDays) return LocalCertResult::kNotRenewable;
  }
  return NewLeaf(paths, ca, now);
}

LocalCertFacts ReadLocalCertFacts(const LocalCertPaths& paths) {
  LocalCertFacts facts = {};
  IssuingCa ca;
  bool broken = false;
  facts.issuing_present = ReadIssuingCa(paths.issuing, &ca, &broken);
  if (facts.issuing_present)
    facts.issuing_not_after = EpochSeconds(X509_get0_notAfter(ca.cert.get()));
  X509Ptr leaf = ReadLeaf(paths.server);
  facts.server_present = PlatformPathExists(paths.server.c_str());
  if (leaf) {
    facts.leaf_not_after = EpochSeconds(X509_get0_notAfter(leaf.get()));
    facts.leaf_names = AltNames(leaf.get());
    facts.made_here = facts.issuing_present && SignedBy(leaf.get(), ca.cert.get());
  }
  std::string pem;
  std::vector<X509Ptr> roots;
  if (ReadWholeFile(paths.root, &pem)) roots = ReadCertificates(pem);
  if (!roots.empty()) {
    facts.root_present = true;
    facts.root_name = CommonName(roots[0].get());
    facts.root_not_after = EpochSeconds(X509_get0_notAfter(roots[0].get()));
  }
  return facts;
}

int ReadRootCertificate(const char* pem_path, RootCertificate* out) {
  std::string pem;
  if (pem_path == nullptr || out == nullptr || !ReadWholeFile(pem_path, &pem)) return -1;
  std::vector<X509Ptr> certs = ReadCertificates(pem);
  if (certs.empty()) return -1;
  unsigned char* der = nullptr;
  int len = i2d_X509(certs[0].get(), &der);
  if (len <= 0) return -1;
  out->der.assign(der, der + len);
  OPENSSL_free(der);
  out->name = CommonName(certs[0].get());
  return out->name.empty() ? -1 : 0;
}

std::string DateText(time_t when) {
  if (when == 0) return "?";
  Asn1TimePtr t(ASN1_TIME_set(nullptr, when));
  struct tm parts = {};
  if (!t || ASN1_TIME_to_tm(t.get(), &parts) != 1) return "?";
  char text[32];
  snprintf(text, sizeof text, "%04d-%02d-%02d", parts.tm_year + 1900, parts.tm_mon + 1,
           parts.tm_mday);
  return text;
}
