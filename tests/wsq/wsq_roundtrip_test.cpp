// Round trips through the encoder and our decoder: size, fidelity and compressed size of
// virtual-reader captures, and images at the edges of what the codec must take.

#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/wsq/wsq_test_util.h"
#include "wsq/wsq.h"

namespace {

struct RateCase {
  float rate;
  double min_psnr;
  double min_bpp, max_bpp;
};
constexpr RateCase kRates[] = {{0.75f, 26, 0.4, 1.0}, {2.25f, 30, 1.4, 2.6}};
constexpr int kReaderSizes[][2] = {{300, 400}, {260, 300}, {258, 336}};

TEST(WsqRoundTrip, ReaderCapturesMeetSizeFidelityAndRate) {
  for (const auto& size : kReaderSizes) {
    const int w = size[0], h = size[1];
    for (unsigned finger : {1u, 7u, 23u}) {
      const Bytes image = FingerImage(finger, finger % 3, w, h);
      ASSERT_FALSE(image.empty());
      for (const RateCase& rc : kRates) {
        SCOPED_TRACE(testing::Message()
                     << w << "x" << h << " finger " << finger << " rate " << rc.rate);
        int code = 0;
        const Bytes file = Encode(image, w, h, rc.rate, &code);
        ASSERT_EQ(code, kWsqOk);
        const double bpp = 8.0 * file.size() / (w * h);
        EXPECT_GE(bpp, rc.min_bpp);
        EXPECT_LE(bpp, rc.max_bpp);
        const Decoded d = Decode(file);
        ASSERT_EQ(d.rc, kWsqOk);
        EXPECT_EQ(d.width, w);
        EXPECT_EQ(d.height, h);
        EXPECT_EQ(d.ppi, 500);
        EXPECT_GE(Psnr(image, d.image), rc.min_psnr);
      }
    }
  }
}

TEST(WsqRoundTrip, PoorImpressionStillRoundTrips) {
  const Bytes image = FingerImage(5, 2, 300, 400, /*poor=*/true);
  int code = 0;
  const Bytes file = Encode(image, 300, 400, 0.75f, &code);
  ASSERT_EQ(code, kWsqOk);
  const Decoded d = Decode(file);
  ASSERT_EQ(d.rc, kWsqOk);
  EXPECT_GE(Psnr(image, d.image), 24);
}

TEST(WsqRoundTrip, HigherRateGivesLargerFileAndBetterImage) {
  const Bytes image = FingerImage(3, 0, 300, 400);
  double last_psnr = 0;
  size_t last_size = 0;
  for (float rate : {0.3f, 0.75f, 1.5f, 2.25f, 4.0f}) {
    SCOPED_TRACE(rate);
    int code = 0;
    const Bytes file = Encode(image, 300, 400, rate, &code);
    ASSERT_EQ(code, kWsqOk);
    const Decoded d = Decode(file);
    ASSERT_EQ(d.rc, kWsqOk);
    const double psnr = Psnr(image, d.image);
    EXPECT_GT(file.size(), last_size);
    EXPECT_GT(psnr, last_psnr);
    last_size = file.size();
    last_psnr = psnr;
  }
}

TEST(WsqRoundTrip, EncodingIsDeterministic) {
  const Bytes image = FingerImage(9, 1, 260, 300);
  int rc1 = 0, rc2 = 0;
  EXPECT_EQ(Encode(image, 260, 300, 0.75f, &rc1), Encode(image, 260, 300, 0.75f, &rc2));
}

// Images a reader never produces but the codec must still carry: flat frames (every subband
// dropped), extreme contrast, noise, and sizes that are odd at every level of the tree.
TEST(WsqRoundTrip, SyntheticEdgeImages) {
  struct Case {
    const char* name;
    int w, h;
    int pattern;  // 0 flat white, 1 flat black, 2 checkerboard, 3 noise, 4 finger
    double min_psnr;
  };
  const Case cases[] = {
      {"flat white", 256, 256, 0, 99},  {"flat black", 300, 400, 1, 99},
      {"checkerboard", 256, 256, 2, 0}, {"noise", 300, 300, 3, 0},
      {"odd sizes", 257, 511, 4, 26},   {"large", 1024, 1000, 4, 26},
      {"minimum", 256, 256, 4, 26},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes image(static_cast<size_t>(c.w) * c.h);
    uint32_t seed = 12345;
    for (int y = 0; y < c.h; ++y) {
      for (int x = 0; x < c.w; ++x) {
        uint8_t v = 0;
        seed = seed * 1664525u + 1013904223u;
        switch (c.pattern) {
          case 0:
            v = 255;
            break;
          case 1:
            v = 0;
            break;
          case 2:
            v = ((x ^ y) & 1) ? 255 : 0;
            break;
          case 3:
            v = static_cast<uint8_t>(seed >> 24);
            break;
        }
        image[static_cast<size_t>(y) * c.w + x] = v;
      }
    }
    if (c.pattern == 4) image = FingerImage(11, 0, c.w, c.h);
    ASSERT_EQ(image.size(), static_cast<size_t>(c.w) * c.h);
    int code = 0;
    const Bytes file = Encode(image, c.w, c.h, 0.75f, &code);
    ASSERT_EQ(code, kWsqOk);
    const Decoded d = Decode(file);
    ASSERT_EQ(d.rc, kWsqOk);
    EXPECT_EQ(d.width, c.w);
    EXPECT_EQ(d.height, c.h);
    EXPECT_GE(Psnr(image, d.image), c.min_psnr);
  }
}

TEST(WsqRoundTrip, UnknownResolutionDecodesAsMinusOne) {
  const Bytes image = FingerImage(2, 0, 256, 256);
  int code = 0;
  const Bytes file = Encode(image, 256, 256, 0.75f, &code, "Kestrav", 0);
  ASSERT_EQ(code, kWsqOk);
  EXPECT_EQ(Decode(file).ppi, -1);
}

TEST(WsqEncodeArguments, RefusedWithDocumentedCodes) {
  const Bytes image(300 * 400, 128);
  const std::string long_comment(kWsqMaxCommentBytes + 1, 'x');
  struct Case {
    const char* why;
    const unsigned char* image;
    int w, h, depth;
    float rate;
    const char* comment;
    int expected;
  };
  const float nan = __builtin_nanf("");
  const Case cases[] = {
      {"null image", nullptr, 300, 400, 8, 0.75f, "", kWsqErrArgument},
      {"depth 16", image.data(), 300, 400, 16, 0.75f, "", kWsqErrArgument},
      {"rate zero", image.data(), 300, 400, 8, 0.0f, "", kWsqErrArgument},
      {"rate negative", image.data(), 300, 400, 8, -0.75f, "", kWsqErrArgument},
      {"rate NaN", image.data(), 300, 400, 8, nan, "", kWsqErrArgument},
      {"rate above 8", image.data(), 300, 400, 8, 8.5f, "", kWsqErrArgument},
      {"width zero", image.data(), 0, 400, 8, 0.75f, "", kWsqErrArgument},
      {"width beyond 16 bits", image.data(), 70000, 1, 8, 0.75f, "", kWsqErrArgument},
      {"comment too long", image.data(), 300, 400, 8, 0.75f, long_comment.c_str(), kWsqErrArgument},
      {"width 255", image.data(), 255, 400, 8, 0.75f, "", kWsqErrTooSmall},
      {"height 255", image.data(), 300, 255, 8, 0.75f, "", kWsqErrTooSmall},
      {"reader-style 120x100", image.data(), 120, 100, 8, 0.75f, "", kWsqErrTooSmall},
      {"rate 8 exactly", image.data(), 300, 400, 8, 8.0f, "", kWsqOk},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    unsigned char* out = reinterpret_cast<unsigned char*>(1);
    int size = 7;
    EXPECT_EQ(WsqEncode(c.image, c.w, c.h, c.depth, 500, c.rate, c.comment, &out, &size),
              c.expected);
    if (c.expected != kWsqOk) {
      EXPECT_EQ(out, nullptr);
      EXPECT_EQ(size, 0);
    }
    std::free(out);
  }
  unsigned char* out = nullptr;
  EXPECT_EQ(WsqEncode(image.data(), 300, 400, 8, 500, 0.75f, "", nullptr, nullptr),
            kWsqErrArgument);
  Bytes big(static_cast<size_t>(65535) * 300);
  int size = 0;
  EXPECT_EQ(WsqEncode(big.data(), 65535, 300, 8, 500, 0.75f, "", &out, &size), kWsqErrTooLarge);
  EXPECT_EQ(out, nullptr);
}

}  // namespace
