// The block analysis on its own: straight ridges at several resolutions read
// back as their direction and period, ridges no finger has flagged as such,
// and the sizes it accepts.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "extract/minutiae_extractor.h"
#include "tests/extract/ridge_pattern.h"

namespace {

using ridge_pattern::Minutia;
using ridge_pattern::Pattern;
using ridge_pattern::Render;

std::vector<ExtractBlockAnalysis> Analyse(const std::vector<uint8_t>& pixels, int width, int height,
                                          int ppi) {
  int bx = 0, by = 0;
  EXPECT_EQ(ExtractAnalysisGrid(width, height, ppi, &bx, &by), kExtractOk);
  std::vector<ExtractBlockAnalysis> blocks(static_cast<size_t>(bx) * static_cast<size_t>(by));
  EXPECT_EQ(ExtractRidgeBlockMaps(ExtractImage{pixels, width, height, ppi}, blocks), kExtractOk);
  return blocks;
}

// Periods are in working pixels: a 1000 ppi image's ridges are half as far
// apart there.
TEST(ExtractBlockMaps, StraightRidgesAtEachResolution) {
  struct Case {
    int ppi;
    double period, degrees;  // in the image's own pixels
    bool finger_like;        // a period of 5-15 px at 500 ppi
  };
  const Case cases[] = {{500, 9, 30, true},
                        {1000, 18, 120, true},
                        {250, 5, 75, true},
                        {500, 3, 10, false},
                        {500, 30, 60, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.ppi << " ppi, period " << c.period);
    const Pattern p{400, 320, c.period, c.degrees, Minutia::kNone, 0, 0};
    const auto blocks = Analyse(Render(p), p.width, p.height, c.ppi);
    const double working_period = c.period * 500 / c.ppi;
    size_t foreground = 0, in_range = 0;
    for (const ExtractBlockAnalysis& b : blocks) {
      in_range += b.period_in_range;
      if (!b.foreground || !c.finger_like) continue;
      ++foreground;
      const double d = std::remainder(b.orientation * 180 / ridge_pattern::kPi - c.degrees, 180.0);
      EXPECT_LE(std::fabs(d), 5.0);
      EXPECT_NEAR(b.period, working_period, 1.0);
      EXPECT_GT(b.coherence, 0.8f);
      EXPECT_GT(b.wave, 0.7f);
      EXPECT_GT(b.deviation, 40.0f);
    }
    if (c.finger_like) {
      EXPECT_GT(foreground, blocks.size() * 3 / 4);
      EXPECT_GT(in_range, blocks.size() * 3 / 4);
    } else {
      EXPECT_LT(in_range, blocks.size() / 4);
    }
  }
}

TEST(ExtractBlockMaps, SizesAndArguments) {
  const std::vector<uint8_t> grey(64 * 64, 200);
  int bx = 0, by = 0;
  ASSERT_EQ(ExtractAnalysisGrid(kExtractAnalysisMinSide, 33, 0, &bx, &by), kExtractOk);
  EXPECT_EQ(bx, 4);
  EXPECT_EQ(by, 5);
  std::vector<ExtractBlockAnalysis> blocks(20);
  ASSERT_EQ(ExtractRidgeBlockMaps(ExtractImage{grey, 32, 33, 0}, blocks), kExtractOk);
  for (const ExtractBlockAnalysis& b : blocks) EXPECT_EQ(b.foreground, 0);
  struct Case {
    int w, h, ppi;
    size_t pixels, blocks;
    const char* why;
  };
  const Case refused[] = {{31, 64, 500, 64 * 64, 64, "narrow"},
                          {64, 40, 1000, 64 * 64, 64, "short once at 500 ppi"},
                          {kExtractMaxSide + 1, 32, 500, 64 * 64, 64, "wide"},
                          {64, 64, 1001, 64 * 64, 64, "resolution"},
                          {64, 64, 500, 64 * 64 - 1, 64, "short pixels"},
                          {64, 64, 500, 64 * 64, 63, "short blocks"}};
  for (const Case& c : refused) {
    std::vector<ExtractBlockAnalysis> out(c.blocks);
    const ExtractImage image{std::span<const uint8_t>(grey.data(), c.pixels), c.w, c.h, c.ppi};
    EXPECT_EQ(ExtractRidgeBlockMaps(image, out), kExtractBadImage) << c.why;
  }
  EXPECT_EQ(ExtractAnalysisGrid(64, 64, 500, nullptr, &by), kExtractBadImage);
}

}  // namespace
