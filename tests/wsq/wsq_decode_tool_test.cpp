// kv-wsq-decode as a script uses it: a real process reading a real file or standard input.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/platform.h"
#include "tests/wsq/wsq_test_util.h"
#include "wsq/wsq.h"

namespace {

struct ToolRun {
  int status;
  std::string out;
};

// Runs the tool through the system's shell (sh, or cmd on Windows: both take
// the quotes and redirections used here). Its error messages join its output.
// The tool's path stays unquoted: cmd takes a leading quote for one around
// the whole line.
ToolRun RunTool(const std::string& args) {
  const std::string cmd = std::string(KV_WSQ_DECODE_TOOL) + " " + args + " 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return {-1, ""};
  std::string out;
  char buf[256];
  while (std::fgets(buf, sizeof(buf), p) != nullptr) out += buf;
  return {PlatformCommandExitCode(pclose(p)), out};
}

// A path for the command line, quoted.
std::string Quoted(const std::string& path) {
  return "\"" + path + "\"";
}

void WriteFile(const std::string& path, const Bytes& data) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

TEST(WsqDecodeTool, WritesPgmAndPrintsSize) {
  const std::string dir = testing::TempDir();
  const Bytes image = FingerImage(6, 0, 258, 336);
  int rc = 0;
  const Bytes file = Encode(image, 258, 336, 0.75f, &rc);
  ASSERT_EQ(rc, kWsqOk);
  WriteFile(dir + "/tool_in.wsq", file);

  const ToolRun r = RunTool(Quoted(dir + "/tool_in.wsq") + " " + Quoted(dir + "/tool_out.pgm"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "width=258 height=336 ppi=500\n");
  std::ifstream pgm(dir + "/tool_out.pgm", std::ios::binary);
  const std::string got((std::istreambuf_iterator<char>(pgm)), std::istreambuf_iterator<char>());
  const std::string header = "P5\n258 336\n255\n";
  ASSERT_EQ(got.size(), header.size() + 258 * 336);
  EXPECT_EQ(got.substr(0, header.size()), header);
  const Bytes pixels(got.begin() + header.size(), got.end());
  EXPECT_EQ(pixels, Decode(file).image);

  // Standard input carries the file's bytes unchanged, also where the C
  // runtime reads it as text by default (Windows).
  EXPECT_EQ(RunTool("- < " + Quoted(dir + "/tool_in.wsq")).out, "width=258 height=336 ppi=500\n");
}

TEST(WsqDecodeTool, FailuresHaveDistinctStatus) {
  const std::string dir = testing::TempDir();
  int rc = 0;
  Bytes file = Encode(FingerImage(6, 1, 256, 256), 256, 256, 0.75f, &rc);
  file.resize(file.size() / 2);
  WriteFile(dir + "/tool_cut.wsq", file);
  EXPECT_EQ(RunTool(Quoted(dir + "/tool_cut.wsq")).status, 1);
  EXPECT_EQ(RunTool(Quoted(dir + "/tool_no_such_file.wsq")).status, 2);
  EXPECT_EQ(RunTool("").status, 2);
}

}  // namespace
