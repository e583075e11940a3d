// The tray window procedure driven through a real window and message queue.
#include "host/tray_window.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "host/service_entry.h"

namespace {

TEST(ChooseTrayIcon, IconAndTooltipFollowTheState) {
  struct Case {
    int state;
    const char* message;
    int use_https;
    int icon;
    const char* tip;
  } cases[] = {
      {kCertStateOk, "", 0, 102, "Kestrav Biometric HTTP:1.1.0.15"},
      {kCertStateOk, "", 1, 102, "Kestrav Biometric HTTPS:1.1.0.15"},
      {kCertStateUnreadable, "Failure to open SERVER.PEM", 1, 106, "Failure to open SERVER.PEM"},
      {kCertStateExpires90, "SSL Certificate expires in less than 90 days", 1, 105,
       "SSL Certificate expires in less than 90 days"},
      {kCertStateExpires30, "SSL Certificate expires in less than 30 days", 1, 104,
       "SSL Certificate expires in less than 30 days"},
      {3, "odd", 1, 106, "odd"},
      {-1, "negative", 0, 106, "negative"},
  };
  for (const Case& c : cases) {
    CertState cert = {c.state, ""};
    snprintf(cert.message, sizeof cert.message, "%s", c.message);
    TrayChoice choice = ChooseTrayIcon(cert, c.use_https);
    EXPECT_EQ(choice.icon_resource, c.icon) << c.state;
    EXPECT_STREQ(choice.tip, c.tip) << c.state;
  }
}

class TrayWindowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(PlatformRegisterWindowClass(kWindowClassName, TrayWndProc, kWindowBackgroundRgb), 1);
  }
  void SetUp() override {
    ServiceSettingsDefaults(&g_settings);
    CertStateReset();
    tray_added.store(0);
    window_ =
        PlatformCreateWindow(kWindowClassName, kWindowTitle, 10, 20, kWindowWidth, kWindowHeight);
    ASSERT_NE(window_, nullptr);
  }
  void TearDown() override {
    PlatformTrayDelete(window_, kTrayIconId);
    PlatformDestroyWindow(window_);
    CertStateReset();
    ServiceSettingsDefaults(&g_settings);
  }

  // Posts the message from another thread, as the service does, then runs
  // the loop on this thread until the quit request behind it.
  std::string PostAndRun(unsigned message) {
    testing::internal::CaptureStdout();
    std::thread poster([&] {
      EXPECT_EQ(PlatformPostMessage(window_, message, 0, 0), 1);
      PlatformPostQuitMessage(window_);
    });
    poster.join();
    PlatformMessage msg;
    int handled = 0;
    while (PlatformGetMessage(window_, &msg) > 0) {
      PlatformDispatchMessage(&msg);
      handled++;
    }
    EXPECT_EQ(handled, 1);
    return testing::internal::GetCapturedStdout();
  }

  TrayIcon Icon() {
    TrayIcon icon = {};
    EXPECT_EQ(PlatformTrayLookup(window_, kTrayIconId, &icon), 1);
    return icon;
  }

  PlatformWindow window_ = nullptr;
};

TEST_F(TrayWindowTest, FirstUpdateAddsIconAndHidesWindow) {
  std::string out = PostAndRun(TRAY_UPDATE_MESSAGE);
  EXPECT_EQ(out, "tray add id=1 icon=102 tip=Kestrav Biometric HTTP:1.1.0.15\n");
  EXPECT_EQ(tray_added.load(), 1);
  TrayIcon icon = Icon();
  EXPECT_EQ(icon.icon_resource, kIconCertOk);
  EXPECT_EQ(icon.balloon_icon_resource, kIconCertOk);
  EXPECT_EQ(icon.callback_message, TRAY_NOTIFY_MESSAGE);
  EXPECT_EQ(icon.flags, 7u);
  PlatformWindowState state;
  ASSERT_EQ(PlatformGetWindowState(window_, &state), 1);
  EXPECT_EQ(state.visible, 0);
  EXPECT_EQ(state.minimised, 1);
}

TEST_F(TrayWindowTest, LaterUpdatesModifyTheSameIcon) {
  g_settings.use_https = 1;
  PostAndRun(TRAY_UPDATE_MESSAGE);
  RecordCertFinding(kCertStateExpires30, "SSL Certificate expires in less than 30 days");
  std::string out = PostAndRun(TRAY_UPDATE_MESSAGE);
  EXPECT_EQ(out, "tray modify id=1 icon=104 tip=SSL Certificate expires in less than 30 days\n");
  EXPECT_EQ(Icon().icon_resource, kIconCertExpires30);
  EXPECT_STREQ(Icon().tip, "SSL Certificate expires in less than 30 days");
}

TEST_F(TrayWindowTest, RefusedIconShowsErrorAndStillCountsAsAdded) {
  TrayIcon existing = {};
  existing.window = window_;
  existing.id = kTrayIconId;
  testing::internal::CaptureStdout();
  ASSERT_EQ(PlatformTrayAdd(&existing), 1);
  testing::internal::GetCapturedStdout();

  testing::internal::CaptureStderr();
  PostAndRun(TRAY_UPDATE_MESSAGE);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Kestrav Biometric Service: Error creating Tray Icon"), std::string::npos);
  EXPECT_EQ(tray_added.load(), 1);
  PlatformWindowState state;
  ASSERT_EQ(PlatformGetWindowState(window_, &state), 1);
  EXPECT_EQ(state.minimised, 1);
  EXPECT_EQ(state.topmost, 0);
}

TEST_F(TrayWindowTest, ShowCentredPutsWindowOnTop) {
  PostAndRun(SHOW_CENTRED_MESSAGE);
  PlatformWindowState state;
  ASSERT_EQ(PlatformGetWindowState(window_, &state), 1);
  EXPECT_EQ(state.visible, 1);
  EXPECT_EQ(state.minimised, 0);
  EXPECT_EQ(state.topmost, 1);
  EXPECT_EQ(state.x, 10);
  EXPECT_EQ(state.width, kWindowWidth);
  EXPECT_EQ(tray_added.load(), 0);
}

TEST_F(TrayWindowTest, RefreshWithoutHttpsOnlyRedrawsTheIcon) {
  PostAndRun(TRAY_UPDATE_MESSAGE);
  // The test program's directory has no server.pem; with HTTP it is not read.
  g_main_window = window_;
  RefreshCertificateState();
  g_main_window = nullptr;
  PlatformPostQuitMessage(window_);
  testing::internal::CaptureStdout();
  PlatformMessage msg;
  while (PlatformGetMessage(window_, &msg) > 0) PlatformDispatchMessage(&msg);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "tray modify id=1 icon=102 tip=Kestrav Biometric HTTP:1.1.0.15\n");
  CertState cert;
  CertStateSnapshot(&cert);
  EXPECT_EQ(cert.state, kCertStateOk);
}

}  // namespace
