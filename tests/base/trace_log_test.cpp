#include "base/trace_log.h"

#include <gtest/gtest.h>
#include <stdio.h>

#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "tests/temp_dir.h"

namespace {

class TraceLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(temp_.path().empty());
    dir_ = temp_.path();
    path_ = temp_.File("trace.txt");
  }
  void TearDown() override { TraceLogConfigure(0, ""); }
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
  testutil::TempDir temp_{"kv-trace-"};
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
    remove(path_.c_str());
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

// The poll loop and the device thread write at the same time: every line
// must be one whole entry, and each thread's entries keep their order.
TEST_F(TraceLogTest, EntriesOfTwoThreadsNeverShareALine) {
  TraceLogConfigure(1, path_.c_str());
  constexpr int kEntries = 300;
  const std::string body(4000, 'x');  // near the longest entry
  auto writer = [&](char tag) {
    for (int i = 0; i < kEntries; ++i) trace_log(1, "[%c] %d %s", tag, i, body.c_str());
  };
  std::thread a(writer, 'A'), b(writer, 'B');
  a.join();
  b.join();
  std::istringstream lines(Read());
  int next[2] = {0, 0};
  for (std::string line; std::getline(lines, line);) {
    ASSERT_TRUE(line.size() > 4 && (line[1] == 'A' || line[1] == 'B')) << line.substr(0, 40);
    int& expected = next[line[1] - 'A'];
    EXPECT_EQ(line, std::string("[") + line[1] + "] " + std::to_string(expected) + " " + body);
    ++expected;
  }
  EXPECT_EQ(next[0], kEntries);
  EXPECT_EQ(next[1], kEntries);
}

TEST_F(TraceLogTest, MissingDirectoryDropsTheEntrySilently) {
  TraceLogConfigure(99, (dir_ + "/no/such/dir/t.txt").c_str());
  trace_log(99, "lost");
  SUCCEED();
}

}  // namespace
