// Where the service finds the certificate of a user: the XDG data home first,
// the executable's directory otherwise.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <optional>
#include <string>

#include "base/service_settings.h"
#include "platform/platform.h"
#include "tests/temp_dir.h"

namespace {

// Sets (or with nullopt removes) a variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = getenv(name)) old_ = old;
    EXPECT_EQ(PlatformSetEnv(name, value ? value->c_str() : nullptr), 0);
  }
  ~ScopedEnv() { (void)PlatformSetEnv(name_, old_ ? old_->c_str() : nullptr); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

std::string UserCert() {
  char path[256] = {0};
  return UserCertificatePath(path, sizeof path) == 0 ? path : "(none)";
}

TEST(UserFilesTest, UserDataHomeFollowsTheBaseDirectoryRules) {
  const std::string long_dir = "/" + std::string(300, 'x');
  struct Case {
    std::optional<std::string> xdg, home;
    std::string expected;
  } cases[] = {
      {"/data/u", "/home/u", "/data/u/kestrav/server.pem"},
      {"/data/u/", "/home/u", "/data/u/kestrav/server.pem"},
      {std::nullopt, "/home/u", "/home/u/.local/share/kestrav/server.pem"},
      {"", "/home/u", "/home/u/.local/share/kestrav/server.pem"},
      {"relative/dir", "/home/u", "/home/u/.local/share/kestrav/server.pem"},
      {std::nullopt, std::nullopt, "(none)"},
      {std::nullopt, "not/absolute", "(none)"},
      {long_dir, "/home/u", "(none)"},  // too long for the field: never cut
  };
  for (const Case& c : cases) {
    ScopedEnv xdg("XDG_DATA_HOME", c.xdg);
    ScopedEnv home("HOME", c.home);
    EXPECT_EQ(UserCert(), c.expected) << c.xdg.value_or("unset") << " " << c.home.value_or("unset");
  }
}

TEST(UserFilesTest, TheUsersCertificateComesFirstWhenItCanBeRead) {
  testutil::TempDir data("kv-xdg-");
  ASSERT_FALSE(data.path().empty());
  ScopedEnv xdg("XDG_DATA_HOME", data.path());
  char dir[kExePathBytes] = {0};
  ASSERT_EQ(GetExeDir(dir, sizeof dir), 0);
  const std::string beside_exe = std::string(dir) + "/server.pem";
  const std::string users = data.path() + "/kestrav/server.pem";
  const char* args[] = {"svc", "-s"};
  ServiceSettings settings{};
  char path[256] = {0};

  ASSERT_EQ(ServerCertificatePath(path, sizeof path), 0);
  EXPECT_EQ(path, beside_exe) << "no file of the user's yet";

  ASSERT_EQ(mkdir((data.path() + "/kestrav").c_str(), 0700), 0);
  std::ofstream(users) << "PEM";
  ASSERT_EQ(ServerCertificatePath(path, sizeof path), 0);
  EXPECT_EQ(path, users);
  ParseServiceSettings(2, args, 1, &settings);
  EXPECT_EQ(settings.cert_path, users) << "TLS loads the file the check reads";

  if (geteuid() != 0) {  // root reads any file
    ASSERT_EQ(chmod(users.c_str(), 0), 0);
    ASSERT_EQ(ServerCertificatePath(path, sizeof path), 0);
    EXPECT_EQ(path, beside_exe) << "an unreadable file is passed over";
  }
}

}  // namespace
