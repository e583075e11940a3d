// Synthetic impressions: arguments, determinism, identity, and whether the
// reported minutiae really are where the image shows them.

#include "synth/synthetic_finger.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

#include "tests/synth/synth_test_util.h"

namespace {

constexpr float kDeg = static_cast<float>(M_PI / 180.0);

struct ReaderSize {
  int width, height;
  const char* name;
};
constexpr ReaderSize kReaderSizes[] = {
    {300, 400, "NX51"}, {260, 300, "TRV08"}, {258, 336, "KLM06X"}};

SynthRequest Request(unsigned finger, unsigned impression, int w = 300, int h = 400,
                     SynthQualityProfile profile = kSynthGood, bool fake = false) {
  return SynthRequest{finger, impression, w, h, profile, fake};
}

TEST(SynthArguments, RefusesBadRequests) {
  std::vector<unsigned char> image(1025 * 1025);
  SynthImpression out;
  struct Case {
    SynthRequest req;
    int expected;
    const char* why;
  };
  const Case cases[] = {
      {Request(1, 0, 64, 64), 0, "smallest size"},
      {Request(1, 0, 1024, 1024), 0, "largest size"},
      {Request(1, 0, 63, 100), -1, "width below 64"},
      {Request(1, 0, 100, 63), -1, "height below 64"},
      {Request(1, 0, 1025, 100), -1, "width above 1024"},
      {Request(1, 0, 100, 1025), -1, "height above 1024"},
      {Request(1, 0, -300, 400), -1, "negative width"},
      {Request(1, 0, 300, 400, static_cast<SynthQualityProfile>(3)), -1, "unknown profile"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(SynthesizeImpression(&c.req, image.data(), &out), c.expected) << c.why;
  const SynthRequest ok = Request(1, 0);
  EXPECT_EQ(SynthesizeImpression(nullptr, image.data(), &out), -1);
  EXPECT_EQ(SynthesizeImpression(&ok, nullptr, &out), -1);
  EXPECT_EQ(SynthesizeImpression(&ok, image.data(), nullptr), -1);
  EXPECT_EQ(SynthesizeContactMask(&ok, nullptr), -1);
  EXPECT_EQ(SynthesizeContactMask(nullptr, image.data()), -1);
}

TEST(SynthArguments, WritesExactlyTheImage) {
  // A guard zone after width*height bytes must stay untouched.
  for (const ReaderSize& s : kReaderSizes) {
    const size_t n = static_cast<size_t>(s.width) * s.height;
    std::vector<unsigned char> image(n + 64, 0xA5);
    SynthImpression out;
    const SynthRequest req = Request(3, 1, s.width, s.height);
    ASSERT_EQ(SynthesizeImpression(&req, image.data(), &out), 0) << s.name;
    for (size_t i = n; i < image.size(); i++) ASSERT_EQ(image[i], 0xA5) << s.name;
  }
}

TEST(SynthDeterminism, SameRequestSameImageAndMinutiae) {
  for (const ReaderSize& s : kReaderSizes) {
    for (int profile = kSynthGood; profile <= kSynthNeverGood; profile++) {
      const SynthRequest req =
          Request(11, 4, s.width, s.height, static_cast<SynthQualityProfile>(profile));
      SynthImage a, b;
      ASSERT_EQ(Synthesize(req, &a), 0);
      ASSERT_EQ(Synthesize(req, &b), 0);
      EXPECT_EQ(a.pixels, b.pixels) << s.name << " profile " << profile;
      ASSERT_EQ(a.info.minutia_count, b.info.minutia_count);
      EXPECT_EQ(std::memcmp(a.info.minutiae, b.info.minutiae,
                            sizeof(SynthMinutia) * a.info.minutia_count),
                0);
      EXPECT_EQ(a.info.liveness, b.info.liveness);
    }
  }
}

TEST(SynthDeterminism, SameAfterTheMasterCacheWasFlushed) {
  const SynthRequest req = Request(5, 2);
  SynthImage before, after, other;
  ASSERT_EQ(Synthesize(req, &before), 0);
  // More fingers than the cache holds push finger 5's master out.
  for (unsigned f = 1000; f < 1080; f++) ASSERT_EQ(Synthesize(Request(f, 0, 64, 64), &other), 0);
  ASSERT_EQ(Synthesize(req, &after), 0);
  EXPECT_EQ(before.pixels, after.pixels);
  EXPECT_EQ(before.info.minutia_count, after.info.minutia_count);
}

TEST(SynthDeterminism, ThreadsGetTheSameImagesAsOneThread) {
  constexpr int kThreads = 4, kPerThread = 6;
  std::vector<SynthImage> serial(kThreads * kPerThread), parallel(kThreads * kPerThread);
  auto req_of = [](int i) { return Request(2000 + i % 5, static_cast<unsigned>(i), 160, 200); };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([&, t] {
      for (int k = 0; k < kPerThread; k++)
        Synthesize(req_of(t * kPerThread + k), &parallel[t * kPerThread + k]);
    });
  }
  for (auto& th : threads) th.join();
  for (int i = 0; i < kThreads * kPerThread; i++) {
    ASSERT_EQ(Synthesize(req_of(i), &serial[i]), 0);
    EXPECT_EQ(serial[i].pixels, parallel[i].pixels) << i;
  }
}

TEST(SynthIdentity, DifferentFingersAndImpressionsDiffer) {
  SynthImage a, b, c;
  ASSERT_EQ(Synthesize(Request(21, 0), &a), 0);
  ASSERT_EQ(Synthesize(Request(22, 0), &b), 0);
  ASSERT_EQ(Synthesize(Request(21, 1), &c), 0);
  EXPECT_NE(a.pixels, b.pixels);
  EXPECT_NE(a.pixels, c.pixels);
  // Different fingers have different minutiae: few of them line up by chance.
  int shared = 0;
  for (int i = 0; i < a.info.minutia_count; i++) {
    for (int j = 0; j < b.info.minutia_count; j++) {
      const float dx = a.info.minutiae[i].x - b.info.minutiae[j].x,
                  dy = a.info.minutiae[i].y - b.info.minutiae[j].y;
      if (dx * dx + dy * dy < 16 && a.info.minutiae[i].type == b.info.minutiae[j].type) {
        shared++;
        break;
      }
    }
  }
  EXPECT_LT(shared, a.info.minutia_count / 4);
}

TEST(SynthImpressionPose, RotationAndLivenessWithinTheirRanges) {
  for (unsigned f = 1; f <= 12; f++) {
    for (unsigned imp = 0; imp < 3; imp++) {
      SynthImage real, fake;
      ASSERT_EQ(Synthesize(Request(f, imp), &real), 0);
      ASSERT_EQ(Synthesize(Request(f, imp, 300, 400, kSynthGood, true), &fake), 0);
      EXPECT_LE(std::fabs(real.info.rotation), 15 * kDeg + 1e-6f);
      EXPECT_GT(real.info.liveness, 0.7f);
      EXPECT_LT(fake.info.liveness, 0.3f);
      EXPECT_GE(real.info.ridge_period, 8.0f);
      EXPECT_LE(real.info.ridge_period, 10.0f);
    }
  }
}

// Every minutia of a good impression lies inside the contact region, at
// least a ridge period from its faded edge, and on dark ridge pixels.
TEST(SynthMinutiae, InsideTheContactRegionAndOnARidge) {
  for (const ReaderSize& s : kReaderSizes) {
    for (unsigned f = 30; f < 38; f++) {
      const SynthRequest req = Request(f, f % 3, s.width, s.height);
      SynthImage img;
      ASSERT_EQ(Synthesize(req, &img), 0);
      std::vector<unsigned char> mask(img.pixels.size());
      ASSERT_EQ(SynthesizeContactMask(&req, mask.data()), 0);
      const int reach = static_cast<int>(img.info.ridge_period);
      for (int k = 0; k < img.info.minutia_count; k++) {
        const SynthMinutia& m = img.info.minutiae[k];
        const int mx = static_cast<int>(std::lround(m.x)), my = static_cast<int>(std::lround(m.y));
        ASSERT_TRUE(mx >= reach && my >= reach && mx < s.width - reach && my < s.height - reach)
            << s.name << " finger " << f << " minutia " << k << " at " << m.x << "," << m.y;
        EXPECT_TRUE(m.type == 1 || m.type == 2);
        EXPECT_GE(m.angle, 0.0f);
        EXPECT_LT(m.angle, 2 * M_PI);
        EXPECT_GE(m.quality, 0);
        EXPECT_LE(m.quality, 100);
        // Contact all around, a ridge period out.
        bool inside = true;
        for (int dy = -reach; dy <= reach; dy++)
          for (int dx = -reach; dx <= reach; dx++)
            if (dx * dx + dy * dy <= reach * reach)
              inside &= mask[(my + dy) * s.width + mx + dx] != 0;
        EXPECT_TRUE(inside) << s.name << " finger " << f << " minutia " << k;
        // A ridge pixel (darker than the local mean by a clear margin) within
        // a third of a period: an ending or a fork sits on the ridge.
        double mean = 0;
        int n = 0;
        for (int dy = -reach; dy <= reach; dy++)
          for (int dx = -reach; dx <= reach; dx++, n++)
            mean += img.pixels[(my + dy) * s.width + mx + dx];
        mean /= n;
        int darkest = 255;
        for (int dy = -3; dy <= 3; dy++)
          for (int dx = -3; dx <= 3; dx++)
            darkest = std::min<int>(darkest, img.pixels[(my + dy) * s.width + mx + dx]);
        EXPECT_LT(darkest, mean - 25) << s.name << " finger " << f << " minutia " << k;
      }
    }
  }
}

// The ridge flow of the image around a minutia runs along its direction.
TEST(SynthMinutiae, DirectionFollowsTheImagesRidgeFlow) {
  int checked = 0, off = 0;
  for (unsigned f = 40; f < 55; f++) {
    SynthImage img;
    ASSERT_EQ(Synthesize(Request(f, 1), &img), 0);
    for (int k = 0; k < img.info.minutia_count; k++) {
      const SynthMinutia& m = img.info.minutiae[k];
      float coherence;
      const float ridge =
          RidgeOrientationAt(img, static_cast<int>(m.x), static_cast<int>(m.y), 10, &coherence);
      if (coherence < 0.5f) continue;  // next to a core or delta there is no single direction
      checked++;
      const float diff = AxisDifference(ridge, m.angle);
      if (diff > 20 * kDeg) {
        off++;
        ADD_FAILURE() << "finger " << f << " minutia " << k << " angle " << m.angle / kDeg
                      << " ridge " << ridge / kDeg;
      }
    }
  }
  EXPECT_GT(checked, 300);
  EXPECT_EQ(off, 0);
}

// An ending has ridge on one side only: along its direction the ridge goes on
// (dark), behind it the valley opens (light). A bifurcation is the reverse:
// valley between the branches ahead, the stem behind. Each type is counted on
// its own: a branch whose skeleton turns a right angle next to the junction
// once made about one bifurcation in nine point at its stem.
TEST(SynthMinutiae, TopologyMatchesTheType) {
  int right = 0, total = 0;
  int bifurcations_right = 0, bifurcations = 0;
  for (unsigned f = 60; f < 75; f++) {
    SynthImage img;
    ASSERT_EQ(Synthesize(Request(f, 0), &img), 0);
    const int w = img.width;
    auto grey = [&](float x, float y) {
      const int ix = static_cast<int>(std::lround(x)), iy = static_cast<int>(std::lround(y));
      if (ix < 0 || iy < 0 || ix >= img.width || iy >= img.height) return 255;
      return static_cast<int>(img.pixels[iy * w + ix]);
    };
    for (int k = 0; k < img.info.minutia_count; k++) {
      const SynthMinutia& m = img.info.minutiae[k];
      const float dx = std::cos(m.angle), dy = -std::sin(m.angle);
      int ahead = 0, behind = 0;
      for (int r = 3; r <= 6; r++) {
        ahead += grey(m.x + r * dx, m.y + r * dy);
        behind += grey(m.x - r * dx, m.y - r * dy);
      }
      total++;
      // Endings: ridge (dark) ahead; bifurcations: valley (light) ahead.
      if ((m.type == 1 && ahead < behind) || (m.type == 2 && ahead > behind)) right++;
      bifurcations += m.type == 2 ? 1 : 0;
      bifurcations_right += (m.type == 2 && ahead > behind) ? 1 : 0;
    }
  }
  ASSERT_GT(total, 300);
  EXPECT_GT(right, total * 9 / 10) << right << " of " << total;
  ASSERT_GT(bifurcations, 100);
  EXPECT_GT(bifurcations_right, bifurcations * 96 / 100)
      << bifurcations_right << " of " << bifurcations;
}

TEST(SynthMinutiae, CountsLikeARealPrint) {
  for (const ReaderSize& s : kReaderSizes) {
    int low = 1 << 30, high = 0;
    double sum = 0;
    constexpr int kFingers = 20;
    for (unsigned f = 100; f < 100 + kFingers; f++) {
      SynthImage img;
      ASSERT_EQ(Synthesize(Request(f, 0, s.width, s.height), &img), 0);
      low = std::min(low, img.info.minutia_count);
      high = std::max(high, img.info.minutia_count);
      sum += img.info.minutia_count;
    }
    const double mean = sum / kFingers;
    if (s.width == 300) {
      EXPECT_GE(mean, 30) << s.name;
      EXPECT_LE(mean, 60) << s.name;
    }
    EXPECT_GE(low, 12) << s.name << ": too few to enrol";
    EXPECT_LE(high, 90) << s.name;
  }
}

// The same finger shows the same minutiae in every impression: the pairwise
// distances between them survive rotation and translation.
TEST(SynthMinutiae, SameFingerKeepsItsLayoutAcrossImpressions) {
  for (unsigned f = 80; f < 86; f++) {
    SynthImage a, b;
    ASSERT_EQ(Synthesize(Request(f, 0), &a), 0);
    ASSERT_EQ(Synthesize(Request(f, 3), &b), 0);
    // Undo each impression's rotation about its own origin, then find the
    // translation that lines up most minutiae.
    auto unrotate = [](const SynthImage& img, int k, float* x, float* y) {
      const SynthMinutia& m = img.info.minutiae[k];
      const float r = img.info.rotation, px = m.x - img.info.offset_x, py = m.y - img.info.offset_y;
      *x = px * std::cos(r) - py * std::sin(r);
      *y = px * std::sin(r) + py * std::cos(r);
    };
    int best = 0;
    for (int i = 0; i < a.info.minutia_count; i++) {
      for (int j = 0; j < b.info.minutia_count; j++) {
        float ax, ay, bx, by;
        unrotate(a, i, &ax, &ay);
        unrotate(b, j, &bx, &by);
        const float tx = bx - ax, ty = by - ay;
        int hits = 0;
        for (int p = 0; p < a.info.minutia_count; p++) {
          float px, py;
          unrotate(a, p, &px, &py);
          for (int q = 0; q < b.info.minutia_count; q++) {
            float qx, qy;
            unrotate(b, q, &qx, &qy);
            if (std::fabs(px + tx - qx) < 8 && std::fabs(py + ty - qy) < 8) {
              hits++;
              break;
            }
          }
        }
        best = std::max(best, hits);
      }
    }
    const int fewer = std::min(a.info.minutia_count, b.info.minutia_count);
    EXPECT_GE(best, fewer / 2) << "finger " << f << ": " << best << " of " << fewer;
  }
}

TEST(SynthContact, MaskCoversTheMiddleAndFadesOut) {
  const SynthRequest req = Request(7, 0);
  std::vector<unsigned char> mask(300 * 400);
  ASSERT_EQ(SynthesizeContactMask(&req, mask.data()), 0);
  size_t on = 0;
  for (unsigned char v : mask) on += v;
  EXPECT_GT(on, mask.size() / 3);
  EXPECT_LT(on, mask.size());
  // No hard outline: next to the edge of the contact the ridges have faded
  // to near the background grey.
  SynthImage img;
  ASSERT_EQ(Synthesize(req, &img), 0);
  const SynthImpression& info = img.info;
  EXPECT_LT(info.contact_left, info.contact_right);
  EXPECT_LT(info.contact_top, info.contact_bottom);
}

}  // namespace
