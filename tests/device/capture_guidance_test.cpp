// Guidance from frames made here: ridges drawn where a finger would lie, at
// chosen grey levels, and the advice each must give.
#include "device/capture_guidance.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr int kW = 240, kH = 320;

// A frame with a white background and ridges (period 8 px) inside the
// rectangle [x0, x1) x [y0, y1) given as shares of the sides, swinging
// between dark and light.
std::vector<unsigned char> Frame(double x0, double y0, double x1, double y1, int dark = 40,
                                 int light = 220) {
  std::vector<unsigned char> image(static_cast<size_t>(kW) * kH, 255);
  for (int y = static_cast<int>(y0 * kH); y < static_cast<int>(y1 * kH); y++)
    for (int x = static_cast<int>(x0 * kW); x < static_cast<int>(x1 * kW); x++)
      image[static_cast<size_t>(y) * kW + x] =
          static_cast<unsigned char>((x + y) % 8 < 4 ? dark : light);
  return image;
}

Guidance Advice(const std::vector<unsigned char>& image, int quality, int threshold = 50) {
  GuidanceTrend trend;
  return GuideFrame(MeasureFrame(image, kW, kH), quality, threshold, &trend);
}

TEST(CaptureGuidance, AdviceFromWhereAndHowTheFingerLies) {
  const struct {
    std::vector<unsigned char> frame;
    int quality;
    Guidance want;
    const char* why;
  } cases[] = {
      {std::vector<unsigned char>(kW * kH, 255), 0, Guidance::kNoFinger, "bare sensor"},
      {Frame(0.45, 0.45, 0.52, 0.52), 0, Guidance::kNoFinger, "a speck under 10 %"},
      {Frame(0.1, 0.0, 0.9, 0.3), 10, Guidance::kMoveDown, "finger at the top edge"},
      {Frame(0.1, 0.7, 0.9, 1.0), 10, Guidance::kMoveUp, "finger at the bottom edge"},
      {Frame(0.0, 0.1, 0.3, 0.9), 10, Guidance::kMoveRight, "finger at the left edge"},
      {Frame(0.7, 0.1, 1.0, 0.9), 10, Guidance::kMoveLeft, "finger at the right edge"},
      {Frame(0.1, 0.1, 0.9, 0.9, 200, 250), 10, Guidance::kTooLight, "faint ridges"},
      {Frame(0.1, 0.1, 0.9, 0.9, 0, 60), 10, Guidance::kTooDark, "ridges run together"},
      {Frame(0.1, 0.1, 0.9, 0.9), 50, Guidance::kGood, "centred, threshold reached"},
      {Frame(0.1, 0.1, 0.9, 0.9), 49, Guidance::kHold, "centred, just under the threshold"},
  };
  for (const auto& c : cases)
    EXPECT_STREQ(GuidanceName(Advice(c.frame, c.quality)), GuidanceName(c.want)) << c.why;
}

TEST(CaptureGuidance, StalledQualityIsBlamedOnPressure) {
  const auto frame = Frame(0.1, 0.1, 0.9, 0.9, 90, 250);  // light, but not too light
  const FrameMeasure m = MeasureFrame(frame, kW, kH);
  GuidanceTrend trend;
  EXPECT_EQ(GuideFrame(m, 20, 50, &trend), Guidance::kHold);
  EXPECT_EQ(GuideFrame(m, 30, 50, &trend), Guidance::kHold) << "still improving";
  for (int i = 1; i < kStalledFrames; i++)
    EXPECT_EQ(GuideFrame(m, 30, 50, &trend), Guidance::kHold) << i;
  EXPECT_EQ(GuideFrame(m, 25, 50, &trend), Guidance::kTooLight) << "stalled on a light frame";
  EXPECT_EQ(GuideFrame(m, 31, 50, &trend), Guidance::kHold) << "a gain starts again";
}

TEST(CaptureGuidance, FramesTooSmallOrShortMeasureAsEmpty) {
  const std::vector<unsigned char> tiny(7 * 7, 0);
  EXPECT_EQ(MeasureFrame(tiny, 7, 7).coverage, 0.0);
  const auto frame = Frame(0.1, 0.1, 0.9, 0.9);
  EXPECT_EQ(MeasureFrame(std::span(frame).first(100), kW, kH).coverage, 0.0);
}

}  // namespace
