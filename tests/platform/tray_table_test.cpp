// The headless notification area: its table, its refusals and its lines.
#include <gtest/gtest.h>

#include <string>

#include "platform/tray.h"

namespace {

TrayIcon MakeIcon(PlatformWindow window, unsigned id, int resource, const char* tip) {
  TrayIcon icon = {};
  icon.window = window;
  icon.id = id;
  icon.flags = kTrayFlagMessage | kTrayFlagIcon | kTrayFlagTip;
  icon.callback_message = 2027;
  icon.icon_resource = resource;
  icon.balloon_icon_resource = resource;
  snprintf(icon.tip, sizeof icon.tip, "%s", tip);
  return icon;
}

TEST(TrayTable, AddModifyDeleteWithOneLineEach) {
  int owner = 0;
  TrayIcon icon = MakeIcon(&owner, 1, 102, "first");
  testing::internal::CaptureStdout();
  EXPECT_EQ(PlatformTrayModify(&icon), 0);  // nothing to modify yet
  EXPECT_EQ(PlatformTrayAdd(&icon), 1);
  EXPECT_EQ(PlatformTrayAdd(&icon), 0);  // the same window and id twice
  icon = MakeIcon(&owner, 1, 104, "second");
  EXPECT_EQ(PlatformTrayModify(&icon), 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "tray add id=1 icon=102 tip=first\ntray modify id=1 icon=104 tip=second\n");
  TrayIcon seen = {};
  ASSERT_EQ(PlatformTrayLookup(&owner, 1, &seen), 1);
  EXPECT_EQ(seen.icon_resource, 104);
  EXPECT_STREQ(seen.tip, "second");
  EXPECT_EQ(PlatformTrayLookup(&owner, 2, &seen), 0);
  EXPECT_EQ(PlatformTrayDelete(&owner, 1), 1);
  EXPECT_EQ(PlatformTrayDelete(&owner, 1), 0);
}

TEST(TrayTable, ModifyChangesOnlyFlaggedMembers) {
  int owner = 0;
  TrayIcon icon = MakeIcon(&owner, 3, 105, "kept");
  testing::internal::CaptureStdout();
  ASSERT_EQ(PlatformTrayAdd(&icon), 1);
  TrayIcon change = MakeIcon(&owner, 3, 106, "ignored");
  change.flags = kTrayFlagIcon;
  ASSERT_EQ(PlatformTrayModify(&change), 1);
  testing::internal::GetCapturedStdout();
  TrayIcon seen = {};
  ASSERT_EQ(PlatformTrayLookup(&owner, 3, &seen), 1);
  EXPECT_EQ(seen.icon_resource, 106);
  EXPECT_STREQ(seen.tip, "kept");
  PlatformTrayDelete(&owner, 3);
}

TEST(TrayTable, UnterminatedTipIsCutToItsField) {
  int owner = 0;
  TrayIcon icon = MakeIcon(&owner, 4, 102, "");
  memset(icon.tip, 'x', sizeof icon.tip);
  testing::internal::CaptureStdout();
  ASSERT_EQ(PlatformTrayAdd(&icon), 1);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "tray add id=4 icon=102 tip=" + std::string(kTrayTipBytes - 1, 'x') + "\n");
  PlatformTrayDelete(&owner, 4);
}

}  // namespace
