// The minutia direction from image to record to matcher: record angles count
// counter-clockwise on screen from +x (y down) in 360/256 degree units (ISO)
// or 2 degree units (ANSI); a ridge ending points up its ridge, a bifurcation
// up the valley between its branches; the matcher reads them back in a frame
// where positions and directions agree.
#include <gtest/gtest.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "sdk/fingerprint_template.h"
#include "sdk/minutiae_matcher.h"
#include "sdk/virtual_reader.h"
#include "sdk/vrfplib.h"
#include "synth/synthetic_finger.h"
#include "tests/extract/ridge_pattern.h"

namespace {

constexpr float kPi = 3.14159265358979f;
constexpr float kDeg = kPi / 180.0f;

struct FreeDeleter {
  void operator()(void* p) const { free(p); }
};

template <typename T>
std::unique_ptr<T, FreeDeleter> HeapRecord() {
  return std::unique_ptr<T, FreeDeleter>(static_cast<T*>(calloc(1, sizeof(T))));
}

float RecordAngle(uint32_t format, uint8_t angle) {
  return format == VRFPM_FORMAT_ISO ? angle * (2.0f * kPi / 256.0f) : angle * 2.0f * kDeg;
}

class DirectionTest : public ::testing::Test {
 protected:
  void Open(const char* config) {
    ASSERT_EQ(VirtualReaderConfigure(config), 0);
    ASSERT_EQ(VRFPM_Create(&h_), VRFPM_OK);
    ASSERT_EQ(VRFPM_Init(h_, VRFPM_DEVICE_NX51), VRFPM_OK);
    ASSERT_EQ(VRFPM_OpenDevice(h_, VRFPM_OPEN_USB), VRFPM_OK);
  }
  void TearDown() override {
    if (h_ != nullptr) {
      VRFPM_CloseDevice(h_);
      EXPECT_EQ(VRFPM_Terminate(h_), VRFPM_OK);
    }
    EXPECT_EQ(VirtualReaderConfigure(nullptr), 0);
  }
  VRFPM_HANDLE h_ = nullptr;
};

// Directions of known value in each format's unit: the conversion the SDK
// writes records with, exactly, and the same directions drawn as ridge
// endings and bifurcations and found again by VRFPM_CreateTemplate.
TEST_F(DirectionTest, KnownDirectionsInRecordUnits) {
  Open("finger=1");
  struct Case {
    float degrees;  // counter-clockwise on screen from +x
    int type;       // 1 ending, 2 bifurcation
    uint8_t iso, ansi;
  };
  constexpr Case kCases[] = {
      {0, 1, 0, 0},                            // pointing right
      {90, 2, 64, 45},                         // pointing up the screen (towards smaller y)
      {180, 1, 128, 90},                       // pointing left
      {270, 2, 192, 135},                      // pointing down the screen
      {10, 1, 7, 5},      {358, 2, 255, 179},  // the largest units each format has
      {-90, 1, 192, 135},                      // a negative angle is the same direction as 270
  };
  for (uint32_t format : {VRFPM_FORMAT_ISO, VRFPM_FORMAT_ANSI}) {
    SCOPED_TRACE(format);
    const bool iso = format == VRFPM_FORMAT_ISO;
    ASSERT_EQ(VRFPM_SetTemplateFormat(h_, format), VRFPM_OK);
    auto record = HeapRecord<TemplateRecord>();
    ASSERT_NE(record, nullptr);
    for (const Case& c : kCases) {
      SCOPED_TRACE(c.degrees);
      const uint8_t units = iso ? c.iso : c.ansi;
      EXPECT_EQ(TemplateAngleUnits(format, c.degrees * kDeg), units);

      const ridge_pattern::Pattern p{
          300,
          400,
          9,
          c.degrees,
          c.type == 1 ? ridge_pattern::Minutia::kEnding : ridge_pattern::Minutia::kBifurcation,
          150.4,
          199.7};
      const std::vector<uint8_t> image = ridge_pattern::Render(p);
      VRFPM_FingerInfo info{1, 0, 0, 60};
      unsigned char data[VRFPM_TEMPLATE_BYTES];
      ASSERT_EQ(VRFPM_CreateTemplate(h_, &info, image.data(), data), VRFPM_OK);
      uint32_t size = 0;
      ASSERT_EQ(VRFPM_GetTemplateSize(h_, data, &size), VRFPM_OK);
      ASSERT_EQ(ParseTemplateRecord(format, data, size, record.get()), VRFPM_OK);
      ASSERT_EQ(record->views[0].minutia_count, 1);
      const TemplateMinutia& m = record->views[0].minutiae[0];
      // Rows grow downwards: the record keeps y as the distance from the top.
      EXPECT_NEAR(m.x, 150, 3);
      EXPECT_NEAR(m.y, 200, 3);
      EXPECT_EQ(m.type, c.type == 1 ? kMinutiaEnding : kMinutiaBifurcation);
      // Within 10 degrees, across the wrap of the unit circle.
      const int full = iso ? 256 : 180;
      const int diff = (m.angle - units + full) % full;
      EXPECT_LE(std::min(diff, full - diff), iso ? 7 : 5) << "record angle " << int{m.angle};
    }
  }
}

// Captured impressions: the image itself shows which way each recorded
// minutia points. Along an ending's direction its ridge goes on (dark) and
// behind it the valley opens (light); a bifurcation has the valley between
// its branches ahead and its stem behind. A mirrored or turned-round angle
// would get about half or none of them right.
TEST_F(DirectionTest, ImageShowsTheRecordedDirection) {
  Open("finger=31");
  std::vector<unsigned char> image(300 * 400);
  auto grey = [&](float x, float y) {
    const long ix = lroundf(x), iy = lroundf(y);
    if (ix < 0 || iy < 0 || ix >= 300 || iy >= 400) return 255;
    return static_cast<int>(image[static_cast<size_t>(iy) * 300 + static_cast<size_t>(ix)]);
  };
  auto record = HeapRecord<TemplateRecord>();
  ASSERT_NE(record, nullptr);
  for (uint32_t format : {VRFPM_FORMAT_ISO, VRFPM_FORMAT_ANSI}) {
    SCOPED_TRACE(format);
    ASSERT_EQ(VRFPM_SetTemplateFormat(h_, format), VRFPM_OK);
    int right = 0, total = 0;
    for (int capture = 0; capture < 8; ++capture) {
      ASSERT_EQ(VRFPM_GetImageEx(h_, image.data(), 1000, 0, 0), VRFPM_OK);
      VRFPM_FingerInfo info{1, 0, 0, 60};
      unsigned char data[VRFPM_TEMPLATE_BYTES];
      ASSERT_EQ(VRFPM_CreateTemplate(h_, &info, image.data(), data), VRFPM_OK);
      uint32_t size = 0;
      ASSERT_EQ(VRFPM_GetTemplateSize(h_, data, &size), VRFPM_OK);
      ASSERT_EQ(ParseTemplateRecord(format, data, size, record.get()), VRFPM_OK);
      for (int k = 0; k < record->views[0].minutia_count; ++k) {
        const TemplateMinutia& m = record->views[0].minutiae[k];
        const float a = RecordAngle(format, m.angle);
        const float dx = cosf(a), dy = -sinf(a);
        int ahead = 0, behind = 0;
        for (int r = 3; r <= 6; ++r) {
          ahead += grey(m.x + r * dx, m.y + r * dy);
          behind += grey(m.x - r * dx, m.y - r * dy);
        }
        ++total;
        if ((m.type == kMinutiaEnding && ahead < behind) ||
            (m.type == kMinutiaBifurcation && ahead > behind)) {
          ++right;
        }
      }
    }
    ASSERT_GT(total, 150);
    EXPECT_GT(right, total * 85 / 100) << right << " of " << total;
  }
}

// The matcher turns y upwards; a minutia pointing at another must still point
// at it there, or rotations would be applied the wrong way round.
TEST(MatcherFrame, DirectionPointsWhereThePositionsSay) {
  struct Case {
    uint16_t ax, ay, bx, by;  // record pixels, y down
    uint8_t iso, ansi;        // direction from a towards b
  };
  constexpr Case kCases[] = {
      {100, 200, 100, 150, 64, 45},   // b straight above a on screen
      {100, 200, 130, 170, 32, 23},   // up and to the right
      {100, 200, 70, 230, 160, 113},  // down and to the left
      {100, 200, 150, 200, 0, 0},     // to the right
  };
  for (uint32_t format : {VRFPM_FORMAT_ISO, VRFPM_FORMAT_ANSI}) {
    for (const Case& c : kCases) {
      const uint8_t angle = format == VRFPM_FORMAT_ISO ? c.iso : c.ansi;
      const TemplateMinutia written[2] = {{kMinutiaEnding, c.ax, c.ay, angle, 50},
                                          {kMinutiaBifurcation, c.bx, c.by, 0, 50}};
      TemplateWriteInfo info{};
      info.width = 300;
      info.height = 400;
      info.resolution = kResolution500Ppi;
      unsigned char data[128];
      size_t size = 0;
      ASSERT_EQ(WriteTemplateRecord(format, info, written, 2, data, sizeof data, &size), VRFPM_OK);
      auto record = HeapRecord<TemplateRecord>();
      ASSERT_EQ(ParseTemplateRecord(format, data, size, record.get()), VRFPM_OK);
      MatcherMinutia m[kMaxViewMinutiae];
      ASSERT_EQ(MatcherMinutiaeFromView(*record, 0, m), 2);
      const float towards_b = atan2f(m[1].y - m[0].y, m[1].x - m[0].x);
      const float diff = fabsf(remainderf(towards_b - m[0].angle, 2 * kPi));
      EXPECT_LT(diff, 2.5f * kDeg) << "format " << format << " to (" << c.bx << "," << c.by << ")";
    }
  }
}

}  // namespace
