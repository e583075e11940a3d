// Linux form of trust_store.h: NSS databases through certutil, and the
// system's store through update-ca-certificates.
#include <errno.h>
#include <fcntl.h>
#include <glob.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/private_file.h"
#include "platform/trust_store.h"

extern char** environ;

namespace {

constexpr char kSystemAnchors[] = "/usr/local/share/ca-certificates";
constexpr int kNotFound = 127;  // the shell's code for a missing program

// Runs the program found on the search path with its output discarded;
// returns its exit code, kNotFound when it could not be started, -1 when it
// did not end normally.
int Run(std::vector<const char*> argv) {
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  int error =
      posix_spawnp(&pid, argv[0], &actions, nullptr, const_cast<char**>(argv.data()), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) return kNotFound;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (!WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

const char* CertutilFailure(int code) {
  return code == kNotFound ? "certutil not found (Debian package libnss3-tools)"
                           : "certutil failed";
}

// The NSS databases of this user: Chrome's (listed even when it does not
// exist yet: an add makes it) and each Firefox profile's.
std::vector<std::string> NssDatabases() {
  std::vector<std::string> dbs;
  const char* home = getenv("HOME");
  if (home == nullptr || home[0] == '\0') return dbs;
  dbs.push_back(std::string(home) + "/.pki/nssdb");
  for (const char* pattern :
       {"/.mozilla/firefox/*/cert9.db", "/snap/firefox/common/.mozilla/firefox/*/cert9.db"}) {
    std::string full = std::string(home) + pattern;
    glob_t found = {};
    if (glob(full.c_str(), 0, nullptr, &found) == 0) {
      for (size_t i = 0; i < found.gl_pathc; i++) {
        std::string db = found.gl_pathv[i];
        dbs.push_back(db.substr(0, db.size() - strlen("/cert9.db")));
      }
    }
    globfree(&found);
  }
  return dbs;
}

bool NssDatabaseExists(const std::string& dir) {
  return PlatformPathExists((dir + "/cert9.db").c_str());
}

// Chrome's database is made on first use; so is an empty one here.
int MakeNssDatabase(const std::string& dir) {
  std::string parent = dir.substr(0, dir.rfind('/'));
  if (PlatformMakePrivateDir(parent.c_str()) != 0 || PlatformMakePrivateDir(dir.c_str()) != 0)
    return -1;
  std::string db = "sql:" + dir;
  return Run({"certutil", "-d", db.c_str(), "-N", "--empty-password"});
}

void VisitNss(TrustAction action, const TrustRoot& root, const std::string& dir,
              TrustStoreReport report, void* ctx, int* failures) {
  std::string name = "NSS " + dir;
  std::string db = "sql:" + dir;
  auto fail = [&](const char* why) {
    report(ctx, name.c_str(), -1, why);
    (*failures)++;
  };
  if (!NssDatabaseExists(dir)) {
    if (action != TrustAction::kAdd) {
      report(ctx, name.c_str(), 0, "");
      return;
    }
    int code = MakeNssDatabase(dir);
    if (code != 0)
      return fail(code == kNotFound ? CertutilFailure(code) : "cannot make the database");
  }
  int listed = Run({"certutil", "-d", db.c_str(), "-L", "-n", root.nickname});
  if (listed == kNotFound) return fail(CertutilFailure(listed));
  switch (action) {
    case TrustAction::kQuery:
      report(ctx, name.c_str(), listed == 0 ? 1 : 0, "");
      return;
    case TrustAction::kAdd: {
      // "C,,": a CA trusted to issue server certificates, nothing else.
      int code = Run({"certutil", "-d", db.c_str(), "-A", "-t", "C,,", "-n", root.nickname, "-i",
                      root.pem_path});
      if (code != 0) return fail(CertutilFailure(code));
      report(ctx, name.c_str(), 1, "");
      return;
    }
    case TrustAction::kRemove: {
      if (listed != 0) {
        report(ctx, name.c_str(), 0, "");
        return;
      }
      int code = Run({"certutil", "-d", db.c_str(), "-D", "-n", root.nickname});
      if (code != 0) return fail(CertutilFailure(code));
      report(ctx, name.c_str(), 1, "");
      return;
    }
  }
}

// The anchor's file name: the nickname with everything but letters and
// digits turned into '-', and the .crt ending update-ca-certificates wants.
std::string SystemAnchorPath(const char* nickname) {
  std::string file;
  for (const char* p = nickname; *p != '\0'; p++) {
    bool plain = (*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z') || (*p >= '0' && *p <= '9');
    file += plain ? *p : '-';
  }
  return std::string(kSystemAnchors) + "/" + file + ".crt";
}

void VisitSystem(TrustAction action, const TrustRoot& root, TrustStoreReport report, void* ctx,
                 int* failures) {
  std::string path = SystemAnchorPath(root.nickname);
  std::string name = std::string("system ") + path;
  const bool present = PlatformPathExists(path.c_str());
  const bool privileged = geteuid() == 0;
  if (action == TrustAction::kQuery || (action == TrustAction::kRemove && !present)) {
    report(ctx, name.c_str(), present ? 1 : 0, "");
    return;
  }
  // Only root changes it; a user's install leaves it out without a failure,
  // but a root it still holds cannot be removed by a user.
  if (!privileged) {
    if (action == TrustAction::kRemove) {
      report(ctx, name.c_str(), -1, "only root can remove it");
      (*failures)++;
    }
    return;
  }
  int code = 0;
  if (action == TrustAction::kAdd) {
    FILE* in = fopen(root.pem_path, "rb");
    std::string pem;
    char chunk[4096];
    size_t got = 0;
    while (in != nullptr && (got = fread(chunk, 1, sizeof chunk, in)) > 0) pem.append(chunk, got);
    if (in != nullptr) fclose(in);
    if (pem.empty() || PlatformWriteFile(path.c_str(), pem, FileAccess::kReadable) != 0) {
      report(ctx, name.c_str(), -1, "cannot write the file");
      (*failures)++;
      return;
    }
    code = Run({"update-ca-certificates"});
  } else {
    if (PlatformRemoveFile(path.c_str()) != 0) {
      report(ctx, name.c_str(), -1, "cannot remove the file");
      (*failures)++;
      return;
    }
    code = Run({"update-ca-certificates", "--fresh"});
  }
  if (code != 0) {
    report(ctx, name.c_str(), -1, "update-ca-certificates failed");
    (*failures)++;
    return;
  }
  report(ctx, name.c_str(), 1, "");
}

}  // namespace

int PlatformTrustStores(TrustAction action, const TrustRoot& root, bool user_only,
                        TrustStoreReport report, void* ctx) {
  int failures = 0;
  for (const std::string& dir : NssDatabases()) VisitNss(action, root, dir, report, ctx, &failures);
  if (!user_only) VisitSystem(action, root, report, ctx, &failures);
  return failures;
}
