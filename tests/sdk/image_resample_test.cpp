// Scaling a reader's image to 500 ppi: which sizes result, and that the
// pixels survive the trip (exact at 500 ppi, smooth otherwise).
#include "sdk/image_resample.h"

#include <gtest/gtest.h>
#include <math.h>

#include <vector>

namespace {

struct SizeCase {
  int width, height;
  double ppmm;
  int expected_width, expected_height;
  const char* why;
};

TEST(ImageResample, DimensionsAt500Ppi) {
  const double at500 = kPixelsPerMmAt500Ppi;
  const SizeCase cases[] = {
      {300, 400, 0.0, 300, 400, "libfprint gives no resolution: taken as 500 ppi"},
      {300, 400, -3.0, 300, 400, "a negative resolution is as unknown"},
      {300, 400, NAN, 300, 400, "so is one that is not a number"},
      {300, 400, at500, 300, 400, "already 500 ppi"},
      {300, 400, at500 * 1.009, 300, 400, "within the 1 % tolerance: left alone"},
      {300, 400, at500 * 2.0, 150, 200, "a 1000 ppi sensor halves"},
      {192, 300, at500 / 1.25, 240, 375, "a 400 ppi sensor grows by a quarter"},
      {1, 1, at500 * 4.0, 1, 1, "never below one pixel"},
  };
  for (const SizeCase& c : cases) {
    const ImageDimensions d = DimensionsAt500Ppi(c.width, c.height, c.ppmm);
    EXPECT_EQ(d.width, c.expected_width) << c.why;
    EXPECT_EQ(d.height, c.expected_height) << c.why;
  }
}

TEST(ImageResample, SameSizeCopiesTheBytesExactly) {
  std::vector<unsigned char> src(7 * 5), dst(7 * 5, 0);
  for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<unsigned char>(i * 37);
  ASSERT_EQ(ResampleImage(src, {7, 5}, dst, {7, 5}), 0);
  EXPECT_EQ(dst, src);
}

TEST(ImageResample, ScalingKeepsLevelsAndGradients) {
  // A flat image stays flat either way; a left-to-right ramp stays a ramp.
  std::vector<unsigned char> flat(40 * 30, 173), out(80 * 60, 0);
  ASSERT_EQ(ResampleImage(flat, {40, 30}, out, {80, 60}), 0);
  for (unsigned char p : out) ASSERT_EQ(p, 173);
  std::vector<unsigned char> ramp(64 * 8);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 64; ++x)
      ramp[static_cast<size_t>(y * 64 + x)] = static_cast<unsigned char>(x * 4);
  std::vector<unsigned char> small(32 * 4);
  ASSERT_EQ(ResampleImage(ramp, {64, 8}, small, {32, 4}), 0);
  for (int x = 1; x < 32; ++x)
    EXPECT_GT(small[static_cast<size_t>(x)], small[static_cast<size_t>(x - 1)]);
  EXPECT_EQ(small[0], 2);  // the mean of the two source pixels it covers
}

TEST(ImageResample, RefusesSizesItsSpansDoNotHold) {
  std::vector<unsigned char> src(10 * 10, 9), dst(10 * 10, 0);
  const struct {
    ImageDimensions src_size, dst_size;
    const char* why;
  } cases[] = {
      {{0, 10}, {10, 10}, "empty source"},
      {{10, 10}, {10, -1}, "negative target"},
      {{11, 10}, {10, 10}, "source span shorter than its size"},
      {{10, 10}, {20, 10}, "target span shorter than its size"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ResampleImage(src, c.src_size, dst, c.dst_size), -1) << c.why;
    EXPECT_EQ(dst[0], 0) << c.why << ": nothing written";
  }
}

}  // namespace
