// kestrav-cert: makes the local CA and server.pem for HTTPS, renews them, and
// adds the root to (or removes it from) the trust stores the browsers read.
//
//   kestrav-cert make DIR       server.pem, kestrav-issuing-ca.pem, kestrav-root.pem
//   kestrav-cert install DIR    trust DIR/kestrav-root.pem
//   kestrav-cert uninstall DIR  stop trusting it
//   kestrav-cert status DIR     what DIR holds and which stores trust the root
// --user before DIR keeps install, uninstall and status to the current
// user's stores when run as root or elevated.
//
// One line per outcome on standard output (errors on standard error); the
// exit codes are those of ToolExit, documented in docs/https.md.
#include <stdio.h>
#include <string.h>

#include <ctime>
#include <string>

#include "certs/local_ca.h"
#include "platform/trust_store.h"

namespace {

enum ToolExit {
  kExitDone = 0,
  kExitUsage = 1,
  kExitFile = 2,     // a file could not be read or written
  kExitNotOurs = 3,  // DIR/server.pem was not made by kestrav-cert (status: or is missing)
  kExitStore = 4,    // a trust store could not be changed
  kExitCrypto = 5,   // a key or certificate could not be made
};

constexpr char kUsage[] =
    "usage: kestrav-cert make|install|uninstall|status [--user] DIR\n"
    "  make       make or renew DIR/server.pem and the local root that vouches for it\n"
    "  install    trust DIR/kestrav-root.pem in this user's (as root/administrator: the\n"
    "             machine's) browser trust stores\n"
    "  uninstall  remove that root from the stores again\n"
    "  status     what DIR holds and which stores trust its root\n"
    "  --user     only this user's stores, also when run as root or administrator\n";

int Make(const LocalCertPaths& paths) {
  switch (UpdateLocalCertificate(paths, time(nullptr), LocalCertMode::kMake)) {
    case LocalCertResult::kUpToDate:
      printf("kestrav-cert: %s valid until %s; nothing to do\n", paths.server.c_str(),
             DateText(ReadLocalCertFacts(paths).leaf_not_after).c_str());
      return kExitDone;
    case LocalCertResult::kNewLeaf:
      printf("kestrav-cert: new %s, valid until %s\n", paths.server.c_str(),
             DateText(ReadLocalCertFacts(paths).leaf_not_after).c_str());
      return kExitDone;
    case LocalCertResult::kNewChain:
      printf(
          "kestrav-cert: new root %s and %s, valid until %s; trust the root: kestrav-cert "
          "install %s\n",
          paths.root.c_str(), paths.server.c_str(),
          DateText(ReadLocalCertFacts(paths).leaf_not_after).c_str(), paths.dir.c_str());
      return kExitDone;
    case LocalCertResult::kNotOurs:
      fprintf(stderr, "kestrav-cert: %s was not made by kestrav-cert; left as it is\n",
              paths.server.c_str());
      return kExitNotOurs;
    case LocalCertResult::kFileError:
    case LocalCertResult::kNotRenewable:
      fprintf(stderr, "kestrav-cert: cannot read or write the files in %s\n", paths.dir.c_str());
      return kExitFile;
    case LocalCertResult::kCryptoError:
      break;
  }
  fprintf(stderr, "kestrav-cert: cannot make a key or certificate\n");
  return kExitCrypto;
}

struct StoreTally {
  TrustAction action;
  int changed;
};

void PrintStore(void* ctx, const char* store, int result, const char* detail) {
  auto* tally = static_cast<StoreTally*>(ctx);
  if (result < 0) {
    fprintf(stderr, "  failed: %s: %s\n", store, detail);
    return;
  }
  if (result > 0) tally->changed++;
  const char* word = "";
  switch (tally->action) {
    case TrustAction::kAdd:
      word = "added to";
      break;
    case TrustAction::kRemove:
      word = result > 0 ? "removed from" : "not in";
      break;
    case TrustAction::kQuery:
      word = result > 0 ? "trusted by" : "not in";
      break;
  }
  printf("  %s %s\n", word, store);
}

// Applies the action to the stores; returns the failures, or -1 when the
// root cannot be read.
int VisitStores(const LocalCertPaths& paths, TrustAction action, bool user_only,
                StoreTally* tally) {
  RootCertificate root;
  if (ReadRootCertificate(paths.root.c_str(), &root) != 0) return -1;
  TrustRoot trust = {paths.root.c_str(), root.der, root.name.c_str()};
  return PlatformTrustStores(action, trust, user_only, PrintStore, tally);
}

int ChangeStores(const LocalCertPaths& paths, TrustAction action, bool user_only) {
  StoreTally tally = {action, 0};
  int failures = VisitStores(paths, action, user_only, &tally);
  if (failures < 0) {
    fprintf(stderr, "kestrav-cert: no root certificate in %s (run kestrav-cert make %s first)\n",
            paths.root.c_str(), paths.dir.c_str());
    return kExitFile;
  }
  const char* done = action == TrustAction::kAdd ? "trusted in" : "removed from";
  if (failures > 0) {
    fprintf(stderr, "kestrav-cert: %s %d store(s); %d failed\n", done, tally.changed, failures);
    return kExitStore;
  }
  printf("kestrav-cert: %s %s %d store(s)\n", paths.root.c_str(), done, tally.changed);
  return kExitDone;
}

int Status(const LocalCertPaths& paths, bool user_only) {
  const LocalCertFacts f = ReadLocalCertFacts(paths);
  if (!f.server_present) {
    printf("server.pem: none in %s\n", paths.dir.c_str());
  } else {
    printf("server.pem: %s, valid until %s, names %s\n",
           f.made_here ? "made by kestrav-cert" : "not made by kestrav-cert",
           DateText(f.leaf_not_after).c_str(), f.leaf_names.empty() ? "?" : f.leaf_names.c_str());
  }
  if (f.issuing_present) {
    printf("issuing CA: valid until %s\n", DateText(f.issuing_not_after).c_str());
  } else {
    printf("issuing CA: none\n");
  }
  // An uninstaller deletes server.pem only when this says it made it.
  const int code = f.made_here ? kExitDone : kExitNotOurs;
  if (!f.root_present) {
    printf("root: none\n");
    return code;
  }
  printf("root: %s, valid until %s\n", f.root_name.c_str(), DateText(f.root_not_after).c_str());
  StoreTally tally = {TrustAction::kQuery, 0};
  return VisitStores(paths, TrustAction::kQuery, user_only, &tally) > 0 ? kExitStore : code;
}

}  // namespace

int main(int argc, char** argv) {
  const bool user_only = argc == 4 && strcmp(argv[2], "--user") == 0;
  if ((argc != 3 && !user_only) || argv[argc - 1][0] == '\0') {
    fputs(kUsage, stderr);
    return kExitUsage;
  }
  const std::string command = argv[1];
  const LocalCertPaths paths = LocalCertPathsIn(argv[argc - 1]);
  if (command == "make" && !user_only) return Make(paths);
  if (command == "install") return ChangeStores(paths, TrustAction::kAdd, user_only);
  if (command == "uninstall") return ChangeStores(paths, TrustAction::kRemove, user_only);
  if (command == "status") return Status(paths, user_only);
  fputs(kUsage, stderr);
  return kExitUsage;
}
