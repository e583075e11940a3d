// The error box where there is no desktop: one line on standard error and an
// immediate return. (On Windows the box is modal and waits for a click, so
// this test is left out of the Windows build.)
#include <gtest/gtest.h>

#include "base/trace_log.h"

namespace {

TEST(ErrorBox, WritesCaptionAndTextToStandardError) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(ShowErrorBox("Port Bind error to port %d", 8000), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Kestrav India Biometric Service: Port Bind error to port 8000\n");
}

}  // namespace
