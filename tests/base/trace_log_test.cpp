#include "base/trace_log.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace {

class TraceLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/kv-trace-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    path_ = dir_ + "/trace.txt";
  }
  void TearDown() override {
    unlink(path_.c_str());
    rmdir(dir_.c_str());
    TraceLogConfigure(0, "");
  }
  std::string Read() {
    std::ifstream in(path_);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  // Writes one entry at each level in use.
  void WriteAllLevels() {
    trace_log(1, "[%s] one", "L1");
    trace_log(2, "Public Key %s \n", "PEM");
    trace_log(99, "[%s]: ninety-nine", "ravavade:383");
  }
  std::string dir_, path_;
};

TEST_F(TraceLogTest, LevelSelectsEntries) {
  struct Case {
    int level;
    const char* expected;
  } cases[] = {
      {0, ""},
      {-1, ""},
      {5, ""},
      {1, "[L1] one\n"},
      {2, "Public Key PEM \n\n"},
      {99, "[L1] one\nPublic Key PEM \n\n[ravavade:383]: ninety-nine\n"},
  };
  for (const Case& c : cases) {
    unlink(path_.c_str());
    TraceLogConfigure(c.level, path_.c_str());
    WriteAllLevels();
    EXPECT_EQ(Read(), c.expected) << "trace level " << c.level;
    EXPECT_EQ(trace_enabled(1), c.level == 1 || c.level == 99);
  }
}

TEST_F(TraceLogTest, LongEntriesAreCut) {
  TraceLogConfigure(99, path_.c_str());
  std::string big(10000, 'x');
  trace_log(99, "%s", big.c_str());
  EXPECT_EQ(Read(), std::string(4095, 'x') + "\n");
}

TEST_F(TraceLogTest, MissingDirectoryDropsTheEntrySilently) {
  TraceLogConfigure(99, (dir_ + "/no/such/dir/t.txt").c_str());
  trace_log(99, "lost");
  SUCCEED();
}

TEST(ErrorBox, WritesCaptionAndTextToStandardError) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(ShowErrorBox("Port Bind error to port %d", 8000), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Kestrav India Biometric Service: Port Bind error to port 8000\n");
}

}  // namespace
