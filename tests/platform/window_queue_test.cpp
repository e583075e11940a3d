// The POSIX window: its queue across threads, its limits and its loop's end.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/window.h"

namespace {

std::vector<unsigned> g_seen;

intptr_t RecordingProc(PlatformWindow window, unsigned message, uintptr_t wparam, intptr_t lparam) {
  g_seen.push_back(message);
  // A procedure may post to its own window while it runs.
  if (message == 1) PlatformPostMessage(window, 99, 0, 0);
  return PlatformDefWindowProc(window, message, wparam, lparam) + static_cast<intptr_t>(wparam);
}

class WindowQueueTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(PlatformRegisterWindowClass("QueueTestClass", RecordingProc, 0xFFFFFF), 1);
  }
  void SetUp() override {
    g_seen.clear();
    window_ = PlatformCreateWindow("QueueTestClass", "queue", 0, 0, 300, 400);
    ASSERT_NE(window_, nullptr);
  }
  void TearDown() override { PlatformDestroyWindow(window_); }
  PlatformWindow window_ = nullptr;
};

TEST(WindowClass, NamesAreUniqueAndTablesBounded) {
  ASSERT_EQ(PlatformRegisterWindowClass("UniqueClass", RecordingProc, 0), 1);
  EXPECT_EQ(PlatformRegisterWindowClass("UniqueClass", RecordingProc, 0), 0);
  EXPECT_EQ(PlatformRegisterWindowClass(nullptr, RecordingProc, 0), 0);
  EXPECT_EQ(PlatformRegisterWindowClass("NoProc", nullptr, 0), 0);
  EXPECT_EQ(PlatformRegisterWindowClass(std::string(64, 'c').c_str(), RecordingProc, 0), 0);
  EXPECT_EQ(PlatformCreateWindow("NoSuchClass", "x", 0, 0, 1, 1), nullptr);
}

TEST_F(WindowQueueTest, MessagesArriveInOrderThenQuit) {
  std::thread poster([&] {
    for (unsigned m = 2025; m <= 2027; m++) EXPECT_EQ(PlatformPostMessage(window_, m, m, 0), 1);
    PlatformPostQuitMessage(window_);
  });
  PlatformMessage msg;
  std::vector<uintptr_t> params;
  while (PlatformGetMessage(window_, &msg) > 0) {
    EXPECT_EQ(msg.window, window_);
    params.push_back(msg.wparam);
    EXPECT_EQ(PlatformDispatchMessage(&msg), static_cast<intptr_t>(msg.wparam));
  }
  poster.join();
  EXPECT_EQ(g_seen, (std::vector<unsigned>{2025, 2026, 2027}));
  EXPECT_EQ(params, (std::vector<uintptr_t>{2025, 2026, 2027}));
}

TEST_F(WindowQueueTest, QuitWaitsForEarlierMessagesOnly) {
  ASSERT_EQ(PlatformPostMessage(window_, 1, 0, 0), 1);
  PlatformPostQuitMessage(window_);
  PlatformMessage msg;
  ASSERT_EQ(PlatformGetMessage(window_, &msg), 1);
  PlatformDispatchMessage(&msg);  // posts 99 behind the quit request
  EXPECT_EQ(PlatformGetMessage(window_, &msg), 0);
  ASSERT_EQ(PlatformGetMessage(window_, &msg), 1);
  EXPECT_EQ(msg.message, 99u);
}

TEST_F(WindowQueueTest, FullQueueRefusesPostsAndRecovers) {
  for (size_t i = 0; i < kWindowQueueCapacity; i++) {
    ASSERT_EQ(PlatformPostMessage(window_, 7, i, 0), 1) << i;
  }
  EXPECT_EQ(PlatformPostMessage(window_, 8, 0, 0), 0);
  PlatformMessage msg;
  ASSERT_EQ(PlatformGetMessage(window_, &msg), 1);
  EXPECT_EQ(msg.wparam, 0u);
  EXPECT_EQ(PlatformPostMessage(window_, 8, 0, 0), 1);
  for (size_t i = 1; i < kWindowQueueCapacity; i++) {
    ASSERT_EQ(PlatformGetMessage(window_, &msg), 1);
    EXPECT_EQ(msg.wparam, i);
  }
  ASSERT_EQ(PlatformGetMessage(window_, &msg), 1);
  EXPECT_EQ(msg.message, 8u);
}

TEST_F(WindowQueueTest, DestroyedWindowEndsWaitingLoop) {
  std::atomic<int> result{2};
  std::thread loop([&] {
    PlatformMessage msg;
    result = PlatformGetMessage(window_, &msg);
  });
  PlatformDestroyWindow(window_);
  loop.join();
  EXPECT_EQ(result.load(), -1);
  EXPECT_EQ(PlatformPostMessage(window_, 1, 0, 0), 0);
  PlatformWindowState state;
  EXPECT_EQ(PlatformGetWindowState(window_, &state), 0);
  int not_a_window = 0;
  EXPECT_EQ(PlatformPostMessage(&not_a_window, 1, 0, 0), 0);
  EXPECT_EQ(PlatformPostMessage(nullptr, 1, 0, 0), 0);
}

}  // namespace
