#include "base/service_settings.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "platform/platform.h"
#include "tests/temp_dir.h"

namespace {

using testutil::NativePath;

class ServiceSettingsTest : public ::testing::Test {
 protected:
  // Parsing -dl configures the process's trace log; leave it off.
  void TearDown() override { TraceLogConfigure(0, ""); }

  void Parse(std::vector<const char*> args, int pid = 4242) {
    ParseServiceSettings(static_cast<int>(args.size()), args.data(), pid, &settings_);
  }

  ServiceSettings settings_{};
};

TEST_F(ServiceSettingsTest, NoArgumentsGiveTheDefaults) {
  const std::string program = NativePath("/opt/kestrav/kestrav-service");
  Parse({program.c_str()});
  EXPECT_EQ(settings_.use_https, 0);
  EXPECT_STREQ(settings_.port, "8000");
  EXPECT_STREQ(settings_.device_name, "NX51");
  EXPECT_EQ(settings_.trace_level, 0);
  EXPECT_EQ(settings_.com_port, 0);
  EXPECT_STREQ(settings_.log_path, "");
}

TEST_F(ServiceSettingsTest, OptionsAreMatchedOnTheirLeadingCharacters) {
  struct Case {
    std::vector<const char*> args;
    int https;
    const char* port;
    const char* device;
    int level;
    int com;
    const char* why;
  } cases[] = {
      {{"svc", "-p:8443", "-s"}, 1, "8443", "NX51", 0, 0, "HTTPS on another port"},
      {{"svc", "-sfoo"}, 1, "8000", "NX51", 0, 0, "only two characters of -s count"},
      {{"svc", "-S"}, 1, "8000", "NX51", 0, 0, "-s in any case"},
      {{"svc", "-p:127.0.0.1:8000"},
       0,
       "127.0.0.1:8000",
       "NX51",
       0,
       0,
       "the value is everything after the first colon"},
      {{"svc", "-P:9000", "-D:TRV08"}, 0, "9000", "TRV08", 0, 0, "options in any case"},
      {{"svc", "-cp:3"}, 0, "8000", "NX51", 0, 3, "COM port"},
      {{"svc", "-cp:x"}, 0, "8000", "NX51", 0, 0, "no digits give port 0"},
      {{"svc", "-cp3"}, 0, "8000", "NX51", 0, 0, "no colon: ignored"},
      {{"svc", "-dl:abc"}, 0, "8000", "NX51", 0, 0, "non-numeric level is off"},
      {{"svc", "-dl:2"}, 0, "8000", "NX51", 2, 0, "level 2; -dl: is not -d:"},
      {{"svc", "-d:"}, 0, "8000", "", 0, 0, "empty device name is taken as given"},
      {{"svc", "-p:12345678901234567890"},
       0,
       "123456789012345",
       "NX51",
       0,
       0,
       "over-long port cut to its field"},
      {{"svc", "-d:ABCDEFGHIJKLMNOPQRS"},
       0,
       "8000",
       "ABCDEFGHIJKLMNO",
       0,
       0,
       "over-long device name cut to its field"},
      {{"svc", "-cp:12345"}, 0, "8000", "NX51", 0, 123, "COM port text holds three digits"},
      {{"svc", "-dl:123456789"}, 0, "8000", "NX51", 1234567, 0, "level text holds seven"},
  };
  for (const Case& c : cases) {
    Parse(c.args);
    EXPECT_EQ(settings_.use_https, c.https) << c.why;
    EXPECT_STREQ(settings_.port, c.port) << c.why;
    EXPECT_STREQ(settings_.device_name, c.device) << c.why;
    EXPECT_EQ(settings_.trace_level, c.level) << c.why;
    EXPECT_EQ(settings_.com_port, c.com) << c.why;
  }
}

TEST_F(ServiceSettingsTest, SecondHttpListenerOnlyWithItsOwnOption) {
  const struct {
    std::vector<const char*> args;
    const char* http_port;
    const char* port;
  } cases[] = {
      {{"svc", "-s", "-p:8443"}, "", "8443"},
      {{"svc", "-s", "-p:8443", "-HP:8000"}, "8000", "8443"},
      {{"svc", "-hp8000"}, "", "8000"},  // no colon: ignored
  };
  for (const auto& c : cases) {
    Parse(c.args);
    EXPECT_STREQ(settings_.http_port, c.http_port);
    EXPECT_STREQ(settings_.port, c.port);
  }
}

TEST_F(ServiceSettingsTest, TraceLevelNamesTheTraceFileByProcessId) {
  Parse({"svc", "-dl:1"}, 77);
  EXPECT_EQ(settings_.trace_level, 1);
  EXPECT_EQ(settings_.log_path, NativePath("/logs/trace-00077.txt"));

  Parse({"svc", "-dl1"}, 77);
  EXPECT_EQ(settings_.trace_level, 0) << "-dl without a colon is ignored";
  EXPECT_STREQ(settings_.log_path, "");

  Parse({"svc", "-DL:5"}, 1234567);
  EXPECT_EQ(settings_.log_path, NativePath("/logs/trace-1234567.txt"));
}

// -logs: moves the trace file to a folder the user can write (the installed
// per-user service's), in either order with -dl:, and only when tracing.
TEST_F(ServiceSettingsTest, LogsOptionNamesTheTraceFolder) {
  const std::string dir = NativePath("/home/u/.local/state/log/kestrav");
  const std::string logs = "-logs:" + dir;
  const std::string upper = "-LOGS:" + dir;
  // "/" + folder + "/trace-00077.txt" fills the 127 characters exactly.
  const std::string longest_dir = NativePath("/") + std::string(kTracePathBytes - 18, 'x');
  const std::string longest = "-logs:" + longest_dir;
  const std::string too_long = longest + "x";
  struct Case {
    std::vector<const char*> args;
    std::string log_path;
  } cases[] = {
      {{"svc", logs.c_str(), "-dl:1"}, dir + NativePath("/trace-00077.txt")},
      {{"svc", "-dl:1", upper.c_str()}, dir + NativePath("/trace-00077.txt")},
      {{"svc", logs.c_str()}, ""},                                        // no level: no file
      {{"svc", "-logs:", "-dl:1"}, NativePath("/logs/trace-00077.txt")},  // empty: the default
      {{"svc", "-logs", "-dl:1"}, NativePath("/logs/trace-00077.txt")},   // no colon: ignored
      {{"svc", longest.c_str(), "-dl:1"}, longest_dir + NativePath("/trace-00077.txt")},
      {{"svc", too_long.c_str(), "-dl:1"}, NativePath("/logs/trace-00077.txt")},  // never cut
  };
  for (const Case& c : cases) {
    Parse(c.args, 77);
    EXPECT_EQ(settings_.log_path, c.log_path)
        << c.args[1] << " " << (c.args.size() > 2 ? c.args[2] : "");
  }
  Parse({"svc", logs.c_str(), "-dl:1", "-p:9000"}, 77);
  EXPECT_STREQ(settings_.port, "9000") << "-logs: leaves the other options alone";
  EXPECT_STREQ(settings_.device_name, "NX51");
}

// Regression: the certificate path followed the name the program was started
// by, while the certificate check reads beside the executable itself, so a
// service started through a link or by a bare name on the search path served
// HTTPS while its tray reported "Failure to open SERVER.PEM".
TEST_F(ServiceSettingsTest, CertificateSitsBesideTheExecutableWhateverItWasStartedBy) {
  char dir[kExePathBytes] = {0};
  ASSERT_EQ(GetExeDir(dir, sizeof dir), 0);
  const std::string beside_exe = std::string(dir) + kPathSeparator + "server.pem";
  EXPECT_NE(beside_exe.find(NativePath("tests/base/server.pem")), std::string::npos) << beside_exe;
  char checked[kExePathBytes + 16] = {0};
  ASSERT_EQ(ServerCertificatePath(checked, sizeof checked), 0);
  EXPECT_EQ(checked, beside_exe) << "the certificate check's path";

  const std::string too_long = "/" + std::string(300, 'd') + "/svc";
  const char* started_as[] = {
      "kestrav-service",              // bare name found on the search path
      "/usr/local/bin/kestrav-link",  // a link elsewhere
      "./bin/kestrav-service",        // relative to another directory
      too_long.c_str(),               // longer than the field: never copied
  };
  for (const char* arg0 : started_as) {
    const std::string program = NativePath(arg0);
    Parse({program.c_str(), "-s"});
    EXPECT_EQ(settings_.cert_path, beside_exe.substr(0, sizeof settings_.cert_path - 1))
        << program.substr(0, 40);
  }
}

// The arguments are traced at level 99, before the options are applied.
TEST_F(ServiceSettingsTest, Level99TracesEveryArgument) {
  // The trace file lives under /logs, which the service never creates; make
  // it for the test when we may and tidy up afterwards.
  std::error_code ec;
  const bool made_logs = std::filesystem::create_directory(NativePath("/logs"), ec);
  int pid = 90000 + PlatformProcessId() % 9999;
  // Process ids repeat (soon under Wine): a file of an earlier run goes first.
  char earlier[sizeof settings_.log_path];
  snprintf(earlier, sizeof earlier, kTracePathFormat, pid);
  std::remove(earlier);
  Parse({"svc", "-DL:99", "-p:9001"}, pid);
  std::string path = settings_.log_path;
  std::ifstream in(path);
  if (!in) GTEST_SKIP() << "no /logs directory to write " << path;
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(),
            "[ravadoviz:437]: arg[0]:[svc]\n\n"
            "[ravadoviz:437]: arg[1]:[-DL:99]\n\n"
            "[ravadoviz:437]: arg[2]:[-p:9001]\n\n");
  std::remove(path.c_str());
  if (made_logs) std::filesystem::remove(NativePath("/logs"), ec);
}

}  // namespace
