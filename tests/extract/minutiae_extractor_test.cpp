// The minutiae extractor on images with known answers: single minutiae of
// known type, place and direction, straight ridges of known direction, images
// with no ridges, every accepted size and resolution, and concurrent calls.
#include "extract/minutiae_extractor.h"

#include <gtest/gtest.h>

#include <cmath>
#include <thread>
#include <vector>

#include "tests/extract/ridge_pattern.h"

namespace {

using ridge_pattern::Minutia;
using ridge_pattern::Pattern;
using ridge_pattern::Render;

constexpr float kPi = 3.14159265358979f;

float DegreesBetween(float a_radians, double b_degrees) {
  const double d = std::remainder(a_radians * 180.0 / kPi - b_degrees, 360.0);
  return static_cast<float>(std::fabs(d));
}

std::vector<ExtractedMinutia> Extract(const std::vector<uint8_t>& pixels, int width, int height,
                                      int ppi = 500, int* rc = nullptr) {
  std::vector<ExtractedMinutia> out(kExtractMaxSide);
  int count = -1;
  const int result = ExtractMinutiae(ExtractImage{pixels, width, height, ppi}, out, &count);
  if (rc != nullptr) *rc = result;
  if (result != kExtractOk) {
    EXPECT_EQ(count, 0);
  }
  out.resize(static_cast<size_t>(std::max(count, 0)));
  return out;
}

// One ending or bifurcation in the middle of straight ridges: exactly it is
// found, within 3 pixels and 10 degrees, with its type.
TEST(ExtractKnownMinutiae, EndingsAndBifurcationsAtKnownPlaceAndDirection) {
  struct Case {
    Minutia type;
    double degrees, period;
    const char* why;
  };
  constexpr Case kCases[] = {
      {Minutia::kEnding, 0, 9, "ending pointing right, along +x"},
      {Minutia::kEnding, 90, 9, "ending pointing up the screen: y counts down"},
      {Minutia::kEnding, 215, 11, "ending down and to the left, wide ridges"},
      {Minutia::kEnding, 333, 8, "ending just below +x, narrow ridges"},
      {Minutia::kBifurcation, 30, 9, "bifurcation opening up and to the right"},
      {Minutia::kBifurcation, 135, 10, "bifurcation opening up and to the left"},
      {Minutia::kBifurcation, 181, 9, "bifurcation opening left, just past 180"},
      {Minutia::kBifurcation, 270, 8, "bifurcation opening down the screen"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.why);
    const Pattern p{200, 180, c.period, c.degrees, c.type, 100.3, 89.6};
    const std::vector<ExtractedMinutia> found = Extract(Render(p), p.width, p.height);
    ASSERT_EQ(found.size(), 1u);
    const ExtractedMinutia& m = found[0];
    EXPECT_LE(std::hypot(m.x - p.x, m.y - p.y), 3.0) << m.x << "," << m.y;
    EXPECT_LE(DegreesBetween(m.angle, c.degrees), 10.0f) << m.angle * 180 / kPi;
    EXPECT_EQ(m.type, c.type == Minutia::kEnding ? kExtractEnding : kExtractBifurcation);
    EXPECT_GE(m.quality, 50);
  }
}

// Where the print is faint (a light touch, a halo) the same minutia is still
// found, but trusted less than where the print is clear.
TEST(ExtractKnownMinutiae, FaintPartOfThePrintLowersTheQuality) {
  const Pattern p{200, 180, 9, 0, Minutia::kEnding, 100.3, 89.6};
  const std::vector<uint8_t> clear = Render(p);
  std::vector<uint8_t> faint = clear;
  for (int y = 0; y < p.height; ++y) {
    for (int x = 0; x < p.width; ++x) {
      if (std::hypot(x - p.x, y - p.y) > 40) continue;
      uint8_t& v = faint[static_cast<size_t>(y) * p.width + x];
      v = static_cast<uint8_t>(130 + (v - 130) * 0.4);
    }
  }
  const auto a = Extract(clear, p.width, p.height);
  const auto b = Extract(faint, p.width, p.height);
  ASSERT_EQ(a.size(), 1u);
  ASSERT_EQ(b.size(), 1u);
  EXPECT_LE(std::hypot(b[0].x - p.x, b[0].y - p.y), 3.0);
  EXPECT_LT(b[0].quality, a[0].quality * 0.7) << int{a[0].quality} << " " << int{b[0].quality};
}

// Ridges of one direction everywhere: the orientation map shows it in every
// foreground block, within 5 degrees, whatever the direction and period.
TEST(ExtractOrientation, StraightRidgesWithinFiveDegrees) {
  constexpr double kDirections[] = {0, 17, 45, 90, 120, 178};
  constexpr double kPeriods[] = {7, 9.5, 12};
  for (double period : kPeriods) {
    for (double degrees : kDirections) {
      SCOPED_TRACE(testing::Message() << degrees << " degrees, period " << period);
      const Pattern p{160, 144, period, degrees, Minutia::kNone, 0, 0};
      int bx = 0, by = 0;
      ASSERT_EQ(ExtractBlockGrid(p.width, p.height, 500, &bx, &by), kExtractOk);
      std::vector<float> orientation(static_cast<size_t>(bx * by));
      std::vector<uint8_t> quality(orientation.size());
      std::vector<float> periods(orientation.size());
      ASSERT_EQ(ExtractRidgeMaps(ExtractImage{Render(p), p.width, p.height, 500},
                                 ExtractMaps{orientation, periods, quality}),
                kExtractOk);
      int foreground = 0;
      for (size_t i = 0; i < orientation.size(); ++i) {
        if (quality[i] == 0) continue;
        ++foreground;
        // An axis: 178 and -2 degrees are the same ridges.
        const double d = std::remainder(orientation[i] * 180.0 / kPi - degrees, 180.0);
        ASSERT_LE(std::fabs(d), 5.0) << "block " << i;
        ASSERT_NEAR(periods[i], period, 1.0) << "block " << i;
      }
      EXPECT_GT(foreground, bx * by / 2);
    }
  }
}

// Nothing that has no ridges gives a minutia, and nothing crashes on it.
TEST(ExtractNoRidges, BlankAndFlatImagesGiveNoMinutiae) {
  constexpr int kW = 120, kH = 96;
  struct Case {
    const char* why;
    uint8_t (*pixel)(int x, int y);
  };
  const Case kCases[] = {
      {"white", [](int, int) -> uint8_t { return 255; }},
      {"black", [](int, int) -> uint8_t { return 0; }},
      {"mid grey", [](int, int) -> uint8_t { return 128; }},
      {"smooth ramp", [](int x, int) -> uint8_t { return static_cast<uint8_t>(x * 2); }},
      {"one dark speck", [](int x, int y) -> uint8_t { return x == 60 && y == 40 ? 0 : 230; }},
      {"a step from dark to light", [](int x, int) -> uint8_t { return x < kW / 2 ? 30 : 220; }},
  };
  for (const Case& c : kCases) {
    std::vector<uint8_t> image(kW * kH);
    for (int y = 0; y < kH; ++y) {
      for (int x = 0; x < kW; ++x) image[static_cast<size_t>(y) * kW + x] = c.pixel(x, y);
    }
    int rc = -1;
    EXPECT_EQ(Extract(image, kW, kH, 500, &rc).size(), 0u) << c.why;
    EXPECT_EQ(rc, kExtractOk) << c.why;
  }
}

// Every accepted size, from the smallest to 1024 x 1024, odd sides and sides
// that are not whole blocks included; the sizes just outside are refused.
TEST(ExtractSizes, EveryAcceptedSizeAndTheLimits) {
  struct Case {
    int width, height, ppi;
    int rc;
    const char* why;
  };
  constexpr Case kCases[] = {
      {64, 64, 500, kExtractOk, "smallest accepted"},
      {64, 1024, 500, kExtractOk, "a thin strip"},
      {1024, 64, 0, kExtractOk, "unknown resolution is 500 ppi"},
      {65, 97, 500, kExtractOk, "sides that are not whole blocks"},
      {258, 336, 500, kExtractOk, "a reader's size with a stride"},
      {300, 400, 500, kExtractOk, "the usual reader"},
      {1024, 1024, 500, kExtractOk, "largest accepted"},
      {1024, 1024, 1000, kExtractOk, "halved to 512 x 512"},
      {500, 480, 250, kExtractOk, "doubled to 1000 x 960"},
      {63, 64, 500, kExtractBadImage, "a side below the smallest"},
      {64, 1025, 500, kExtractBadImage, "a side above the largest"},
      {600, 600, 250, kExtractBadImage, "doubled beyond 1024"},
      {64, 64, 1000, kExtractBadImage, "halved below the smallest working side"},
      {300, 400, 249, kExtractBadImage, "resolution too low"},
      {300, 400, 1001, kExtractBadImage, "resolution too high"},
      {0, 0, 500, kExtractBadImage, "empty"},
      {-300, 400, 500, kExtractBadImage, "negative"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.why);
    const int w = std::max(c.width, 1), h = std::max(c.height, 1);
    const double scale = (c.ppi == 0 ? 500 : c.ppi) / 500.0;
    const Pattern p{w, h, 9 * scale, 35, Minutia::kBifurcation, w * 0.5, h * 0.5};
    int rc = 0;
    const std::vector<ExtractedMinutia> found = Extract(Render(p), c.width, c.height, c.ppi, &rc);
    ASSERT_EQ(rc, c.rc);
    for (const ExtractedMinutia& m : found) {
      EXPECT_TRUE(m.x >= 0 && m.y >= 0 && m.x < c.width && m.y < c.height);
      EXPECT_TRUE(m.angle >= 0 && m.angle < 2 * kPi);
      EXPECT_TRUE(m.quality >= 1 && m.quality <= 100);
    }
    // Wherever the middle is far enough from the edges, the minutia is found.
    if (c.rc == kExtractOk &&
        std::min(c.width, c.height) * 500 / (c.ppi == 0 ? 500 : c.ppi) >= 96) {
      int near = 0;
      for (const ExtractedMinutia& m : found) {
        near += std::hypot(m.x - p.x, m.y - p.y) <= 3 * scale ? 1 : 0;
      }
      EXPECT_EQ(near, 1);
    }
  }
}

TEST(ExtractArguments, ShortPixelsNullCountAndSmallOutput) {
  const Pattern p{200, 180, 9, 60, Minutia::kEnding, 100, 90};
  const std::vector<uint8_t> image = Render(p);
  std::vector<ExtractedMinutia> out(4);
  int count = -1;
  EXPECT_EQ(ExtractMinutiae(ExtractImage{std::span(image).first(image.size() - 1), 200, 180, 500},
                            out, &count),
            kExtractBadImage);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(ExtractMinutiae(ExtractImage{{}, 200, 180, 500}, out, &count), kExtractBadImage);
  EXPECT_EQ(ExtractMinutiae(ExtractImage{image, 200, 180, 500}, out, nullptr), kExtractBadImage);
  // No room at all: success with nothing written.
  EXPECT_EQ(ExtractMinutiae(ExtractImage{image, 200, 180, 500}, std::span(out).first(0), &count),
            kExtractOk);
  EXPECT_EQ(count, 0);
}

// A resolution other than 500 ppi is brought to 500 and the minutiae come
// back in the image's own pixels.
TEST(ExtractResolution, MinutiaeInTheGivenImagesPixels) {
  for (int ppi : {400, 500, 750, 1000}) {
    SCOPED_TRACE(ppi);
    const double scale = ppi / 500.0;
    const Pattern p{static_cast<int>(200 * scale),
                    static_cast<int>(180 * scale),
                    9 * scale,
                    300,
                    Minutia::kEnding,
                    101 * scale,
                    88 * scale};
    const std::vector<ExtractedMinutia> found = Extract(Render(p), p.width, p.height, ppi);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_LE(std::hypot(found[0].x - p.x, found[0].y - p.y), 3 * scale);
    EXPECT_LE(DegreesBetween(found[0].angle, 300), 10.0f);
  }
}

// The SDK may extract on several threads at once: each call is on its own.
TEST(ExtractThreads, ConcurrentCallsGiveTheSameMinutiae) {
  const Pattern p{300, 300, 9, 70, Minutia::kBifurcation, 150, 150};
  const std::vector<uint8_t> image = Render(p);
  const std::vector<ExtractedMinutia> alone = Extract(image, 300, 300);
  std::vector<ExtractedMinutia> results[4];
  std::vector<std::thread> threads;
  for (auto& r : results) {
    threads.emplace_back([&image, &r] {
      for (int i = 0; i < 5; ++i) r = Extract(image, 300, 300);
    });
  }
  for (std::thread& t : threads) t.join();
  for (const auto& r : results) {
    ASSERT_EQ(r.size(), alone.size());
    for (size_t i = 0; i < r.size(); ++i) {
      EXPECT_EQ(r[i].x, alone[i].x);
      EXPECT_EQ(r[i].angle, alone[i].angle);
    }
  }
}

}  // namespace
