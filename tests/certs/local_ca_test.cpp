#include "certs/local_ca.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/temp_dir.h"

namespace {

constexpr time_t kDay = 86400;
constexpr time_t kStart = 1893456000;  // 2030-01-01: far from the test machine's own clock

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class LocalCaTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.path().empty()); }
  LocalCertResult Update(time_t now, LocalCertMode mode = LocalCertMode::kMake) {
    return UpdateLocalCertificate(paths_, now, mode);
  }
  testutil::TempDir dir_{"kv-ca-"};
  LocalCertPaths paths_ = LocalCertPathsIn(dir_.path());
};

TEST_F(LocalCaTest, MakeWritesTheChainAndKeepsNoRootKey) {
  ASSERT_EQ(Update(kStart), LocalCertResult::kNewChain);
  const LocalCertFacts facts = ReadLocalCertFacts(paths_);
  EXPECT_TRUE(facts.made_here);
  EXPECT_EQ(facts.leaf_not_after, kStart + kLeafDays * kDay);
  EXPECT_NE(facts.leaf_names.find("IP Address:127.0.0.1"), std::string::npos);
  // The root file is what users trust: no key in it; the key files are the owner's.
  EXPECT_EQ(Slurp(paths_.root).find("PRIVATE KEY"), std::string::npos);
#ifndef _WIN32
  for (const std::string& key_file : {paths_.server, paths_.issuing}) {
    struct stat st;
    ASSERT_EQ(stat(key_file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << key_file;
  }
#endif
  RootCertificate root;
  ASSERT_EQ(ReadRootCertificate(paths_.root.c_str(), &root), 0);
  EXPECT_NE(root.name.find("Kestrav local root"), std::string::npos);
}

TEST_F(LocalCaTest, RenewsTheLeafOnlyWhenLessThan120DaysAreLeft) {
  ASSERT_EQ(Update(kStart), LocalCertResult::kNewChain);
  const std::string root = Slurp(paths_.root);
  const std::string issuing = Slurp(paths_.issuing);
  const time_t renew_from = kStart + (kLeafDays - kRenewBelowDays) * kDay;
  struct Case {
    time_t now;
    LocalCertMode mode;
    LocalCertResult expected;
  } cases[] = {
      {kStart + kDay, LocalCertMode::kMake, LocalCertResult::kUpToDate},
      {renew_from - kDay, LocalCertMode::kRenewOnly, LocalCertResult::kUpToDate},
      {renew_from + kDay, LocalCertMode::kRenewOnly, LocalCertResult::kNewLeaf},
      {renew_from + kDay, LocalCertMode::kMake, LocalCertResult::kUpToDate},  // renewed above
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Update(c.now, c.mode), c.expected) << (c.now - kStart) / kDay << " days on";
  }
  EXPECT_EQ(ReadLocalCertFacts(paths_).leaf_not_after, renew_from + kDay + kLeafDays * kDay);
  EXPECT_EQ(Slurp(paths_.root), root) << "a new leaf keeps the trusted root";
  EXPECT_EQ(Slurp(paths_.issuing), issuing);
}

TEST_F(LocalCaTest, NearTheIssuingCasEndOnlyMakeReplacesTheChain) {
  ASSERT_EQ(Update(kStart), LocalCertResult::kNewChain);
  const std::string root = Slurp(paths_.root);
  const time_t ca_end = kStart + kCaDays * kDay;
  // A leaf cut to the CA's end, then none: the service cannot go further.
  EXPECT_EQ(Update(ca_end - 200 * kDay, LocalCertMode::kRenewOnly), LocalCertResult::kNewLeaf);
  EXPECT_EQ(ReadLocalCertFacts(paths_).leaf_not_after, ca_end);
  EXPECT_EQ(Update(ca_end - 100 * kDay, LocalCertMode::kRenewOnly), LocalCertResult::kNotRenewable);
  EXPECT_EQ(Update(ca_end - 100 * kDay), LocalCertResult::kNewChain);
  EXPECT_NE(Slurp(paths_.root), root);
}

TEST_F(LocalCaTest, AServerPemMadeElsewhereIsNeverTouched) {
  // Renewing with nothing made here writes nothing.
  EXPECT_EQ(Update(kStart, LocalCertMode::kRenewOnly), LocalCertResult::kNotOurs);
  EXPECT_FALSE(ReadLocalCertFacts(paths_).server_present);

  // A chain made here, then server.pem replaced by the user's own.
  ASSERT_EQ(Update(kStart), LocalCertResult::kNewChain);
  testutil::TempDir other("kv-ca-other-");
  const LocalCertPaths foreign = LocalCertPathsIn(other.path());
  ASSERT_EQ(UpdateLocalCertificate(foreign, kStart, LocalCertMode::kMake),
            LocalCertResult::kNewChain);
  const std::string users = Slurp(foreign.server);
  std::ofstream(paths_.server, std::ios::binary) << users;
  for (LocalCertMode mode : {LocalCertMode::kMake, LocalCertMode::kRenewOnly}) {
    EXPECT_EQ(Update(kStart + 3000 * kDay, mode), LocalCertResult::kNotOurs);
  }
  EXPECT_EQ(Slurp(paths_.server), users);
  EXPECT_FALSE(ReadLocalCertFacts(paths_).made_here);
}

}  // namespace
