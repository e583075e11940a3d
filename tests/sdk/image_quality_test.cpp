// Image quality and the NFIQ estimate: ranges per capture profile, ordering,
// images that cannot be graded, and hostile dimensions.

#include "sdk/image_quality.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "sdk/nfiq.h"
#include "tests/synth/synth_test_util.h"

namespace {

struct ReaderSize {
  int width, height;
  const char* name;
};
constexpr ReaderSize kReaderSizes[] = {
    {300, 400, "NX51"}, {260, 300, "TRV08"}, {258, 336, "KLM06X"}};

struct Graded {
  int quality;
  int nfiq;
  int nfiq_rc;
};

Graded Grade(unsigned finger, unsigned impression, const ReaderSize& s, SynthQualityProfile profile,
             bool fake = false) {
  SynthImage img;
  const SynthRequest req{finger, impression, s.width, s.height, profile, fake};
  EXPECT_EQ(Synthesize(req, &img), 0);
  Graded g{};
  g.quality = MeasureImageQuality(img.pixels.data(), s.width, s.height);
  float confidence = -1;
  int flags = 0;
  g.nfiq_rc =
      NFIQ_ComputeNfiq(&g.nfiq, &confidence, img.pixels.data(), s.width, s.height, 8, 500, &flags);
  if (g.nfiq_rc == 0) {
    EXPECT_GE(confidence, 0.0f);
    EXPECT_LE(confidence, 1.0f);
    EXPECT_EQ(flags, 0);
  }
  return g;
}

// Each profile lands in its band on every reader size, and for every finger
// good > poor > never-good.
TEST(QualityProfiles, BandsAndOrderingOverManyFingers) {
  for (const ReaderSize& s : kReaderSizes) {
    for (unsigned f = 1; f <= 16; f++) {
      const unsigned imp = f % 4;
      const Graded good = Grade(f, imp, s, kSynthGood);
      const Graded poor = Grade(f, imp, s, kSynthPoor);
      const Graded never = Grade(f, imp, s, kSynthNeverGood);
      SCOPED_TRACE(testing::Message() << s.name << " finger " << f);
      EXPECT_GT(good.quality, 60);
      EXPECT_LE(good.quality, 95);
      EXPECT_GE(poor.quality, 28);
      EXPECT_LE(poor.quality, 58);
      EXPECT_LT(never.quality, 25);
      EXPECT_GT(good.quality, poor.quality);
      EXPECT_GT(poor.quality, never.quality);
      ASSERT_EQ(good.nfiq_rc, 0);
      ASSERT_EQ(poor.nfiq_rc, 0);
      ASSERT_EQ(never.nfiq_rc, 0);
      EXPECT_LE(good.nfiq, 2);
      EXPECT_GE(poor.nfiq, 3);
      EXPECT_LE(poor.nfiq, 4);
      EXPECT_EQ(never.nfiq, 5);
    }
  }
}

TEST(QualityProfiles, FakeFingersStillLookLikePrints) {
  // The liveness cue is not an image defect: a copy must pass the capture
  // threshold so that the fake detection, not the quality gate, catches it.
  for (unsigned f = 1; f <= 6; f++) {
    const Graded fake = Grade(f, 0, kReaderSizes[0], kSynthGood, true);
    EXPECT_GT(fake.quality, 55) << f;
  }
}

TEST(QualityMeasure, FeaturesAreConsistent) {
  SynthImage img;
  ASSERT_EQ(Synthesize(SynthRequest{9, 0, 300, 400, kSynthGood, false}, &img), 0);
  ImageQualityFeatures f;
  ASSERT_EQ(MeasureImageQualityFeatures(img.pixels.data(), 300, 400, &f), 0);
  EXPECT_EQ(f.blocks, (300 / kQualityBlockPixels) * (400 / kQualityBlockPixels));
  EXPECT_GT(f.foreground_blocks, f.blocks / 2);
  EXPECT_LE(f.foreground_blocks, f.blocks);
  EXPECT_NEAR(f.foreground_fraction, static_cast<float>(f.foreground_blocks) / f.blocks, 1e-6);
  EXPECT_GT(f.mean_coherence, 0.8f);
  EXPECT_GT(f.frequency_ok, 0.9f);
  EXPECT_EQ(f.score, MeasureImageQuality(img.pixels.data(), 300, 400));
}

// Images without a print score 0 and NFIQ refuses them; nothing about them is
// an error of the measurement.
TEST(QualityMeasure, BlankAndFlatImages) {
  struct Case {
    int fill;
    bool noise;
    const char* why;
  };
  const Case cases[] = {{255, false, "white"},
                        {0, false, "black"},
                        {128, false, "grey"},
                        {235, true, "glass with sensor noise"}};
  for (const Case& c : cases) {
    std::vector<unsigned char> img(300 * 400, static_cast<unsigned char>(c.fill));
    if (c.noise) {
      unsigned s = 12345;
      for (auto& p : img) {
        s = s * 1103515245u + 12345u;
        p = static_cast<unsigned char>(c.fill + static_cast<int>((s >> 16) % 9) - 4);
      }
    }
    EXPECT_EQ(MeasureImageQuality(img.data(), 300, 400), 0) << c.why;
    int nfiq = 0;
    float conf = 0;
    EXPECT_EQ(NFIQ_ComputeNfiq(&nfiq, &conf, img.data(), 300, 400, 8, 500, nullptr),
              kNfiqNoFingerprint)
        << c.why;
  }
}

TEST(QualityMeasure, PlainStripesAreNotAFinger) {
  // Ridge-like stripes of 9 pixels score high on clarity; stripes of 2 or 40
  // pixels are outside the ridge frequency band and score low.
  struct Case {
    float period;
    bool plausible;
  };
  const Case cases[] = {{9.0f, true}, {2.0f, false}, {40.0f, false}};
  for (const Case& c : cases) {
    std::vector<unsigned char> img(300 * 400);
    for (int y = 0; y < 400; y++)
      for (int x = 0; x < 300; x++)
        img[y * 300 + x] =
            static_cast<unsigned char>(128 + 90 * std::cos(2 * M_PI * (x + 0.3 * y) / c.period));
    const int q = MeasureImageQuality(img.data(), 300, 400);
    if (c.plausible)
      EXPECT_GT(q, 60) << c.period;
    else
      EXPECT_LT(q, 35) << c.period;
  }
}

TEST(QualityMeasure, RefusesBadDimensions) {
  std::vector<unsigned char> img(64 * 64, 200);
  ImageQualityFeatures f;
  struct Case {
    int w, h;
    const char* why;
  };
  const Case cases[] = {{31, 64, "narrow"},
                        {64, 31, "short"},
                        {0, 0, "empty"},
                        {-64, 64, "negative"},
                        {kQualityMaxSide + 1, 32, "too wide"}};
  for (const Case& c : cases) {
    EXPECT_EQ(MeasureImageQuality(img.data(), c.w, c.h), 0) << c.why;
    EXPECT_EQ(MeasureImageQualityFeatures(img.data(), c.w, c.h, &f), -1) << c.why;
  }
  EXPECT_EQ(MeasureImageQuality(nullptr, 64, 64), 0);
  EXPECT_EQ(MeasureImageQualityFeatures(img.data(), 64, 64, nullptr), -1);
  EXPECT_EQ(MeasureImageQualityFeaturesAtPpi(img.data(), 64, 64, 249, &f), -1);
  EXPECT_EQ(MeasureImageQualityFeaturesAtPpi(img.data(), 64, 64, 1001, &f), -1);
}

TEST(NfiqEntry, ArgumentErrors) {
  SynthImage img;
  ASSERT_EQ(Synthesize(SynthRequest{4, 0, 300, 400, kSynthGood, false}, &img), 0);
  const unsigned char* p = img.pixels.data();
  int nfiq = 0;
  float conf = 0;
  int flags = 7;  // comes back cleared
  struct Case {
    int w, h, depth, ppi, expected;
    const char* why;
  };
  const Case cases[] = {
      {300, 400, 8, 500, kNfiqOk, "reader image"},
      {300, 400, 8, 0, kNfiqOk, "unknown resolution taken as 500"},
      {300, 400, 16, 500, kNfiqBadDepth, "16-bit"},
      {300, 400, 1, 500, kNfiqBadDepth, "bitonal"},
      {300, 400, 8, 100, kNfiqBadPpi, "100 ppi"},
      {300, 400, 8, -500, kNfiqBadPpi, "negative ppi"},
      {300, 400, 8, 2000, kNfiqBadPpi, "2000 ppi"},
      {63, 400, 8, 500, kNfiqBadArgument, "too narrow"},
      {300, 63, 8, 500, kNfiqBadArgument, "too short"},
      {kNfiqMaxSide + 1, 64, 8, 500, kNfiqBadArgument, "too wide"},
  };
  for (const Case& c : cases) {
    flags = 7;
    EXPECT_EQ(NFIQ_ComputeNfiq(&nfiq, &conf, p, c.w, c.h, c.depth, c.ppi, &flags), c.expected)
        << c.why;
    EXPECT_EQ(flags, 0) << c.why;
  }
  EXPECT_EQ(NFIQ_ComputeNfiq(nullptr, &conf, p, 300, 400, 8, 500, &flags), kNfiqBadArgument);
  EXPECT_EQ(NFIQ_ComputeNfiq(&nfiq, &conf, nullptr, 300, 400, 8, 500, &flags), kNfiqBadArgument);
  // Confidence and flags are optional.
  EXPECT_EQ(NFIQ_ComputeNfiq(&nfiq, nullptr, p, 300, 400, 8, 500, nullptr), kNfiqOk);
  EXPECT_GE(nfiq, 1);
  EXPECT_LE(nfiq, 5);
}

TEST(NfiqEntry, TooLittleFingerIsWorst) {
  // A good print cut down to a 64x64 window still has clear ridges but not
  // enough of them to match on.
  SynthImage img;
  ASSERT_EQ(Synthesize(SynthRequest{4, 0, 300, 400, kSynthGood, false}, &img), 0);
  std::vector<unsigned char> crop(64 * 64);
  for (int y = 0; y < 64; y++)
    for (int x = 0; x < 64; x++) crop[y * 64 + x] = img.pixels[(y + 170) * 300 + x + 120];
  int nfiq = 0;
  ASSERT_EQ(NFIQ_ComputeNfiq(&nfiq, nullptr, crop.data(), 64, 64, 8, 500, nullptr), kNfiqOk);
  EXPECT_EQ(nfiq, 5);
  EXPECT_GT(MeasureImageQuality(crop.data(), 64, 64), 0);
}

}  // namespace
