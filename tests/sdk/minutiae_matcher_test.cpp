// The matcher on controlled minutiae sets: a print moved, turned, cut,
// slightly bent, with minutiae missing or added, still matches itself;
// unrelated prints do not; no evidence scores 0.
#include "sdk/minutiae_matcher.h"

#include <gtest/gtest.h>
#include <math.h>
#include <stdlib.h>

#include <random>
#include <vector>

namespace {

constexpr float kPi = 3.14159265f;

std::vector<MatcherMinutia> RandomPrint(unsigned seed, int n) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> x(0, 300), y(-400, 0), a(-kPi, kPi);
  std::vector<MatcherMinutia> m;
  // Keep minutiae at least 12 px apart, as on a real finger.
  while (static_cast<int>(m.size()) < n) {
    MatcherMinutia p{x(rng), y(rng), a(rng), static_cast<uint8_t>(1 + rng() % 2), 0};
    bool crowded = false;
    for (const MatcherMinutia& q : m) crowded |= hypotf(p.x - q.x, p.y - q.y) < 12.0f;
    if (!crowded) m.push_back(p);
  }
  return m;
}

// Rotates by degrees about the centre, moves, bends (a smooth displacement
// growing with the distance from the centre) and adds position noise.
std::vector<MatcherMinutia> Impression(const std::vector<MatcherMinutia>& print, float degrees,
                                       float dx, float dy, float bend, float noise, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> jitter(0, noise);
  float r = degrees * kPi / 180.0f, c = cosf(r), s = sinf(r);
  std::vector<MatcherMinutia> out;
  for (const MatcherMinutia& p : print) {
    float x = p.x - 150, y = p.y + 200;
    float bx = x + bend * (y / 200.0f) * (y / 200.0f);
    MatcherMinutia q = p;
    q.x = c * bx - s * y + 150 + dx + jitter(rng);
    q.y = s * bx + c * y - 200 + dy + jitter(rng);
    q.angle = p.angle + r;
    out.push_back(q);
  }
  return out;
}

uint32_t Score(const std::vector<MatcherMinutia>& a, const std::vector<MatcherMinutia>& b) {
  return MatchMinutiae(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()));
}

float Similarity(const std::vector<MatcherMinutia>& a, const std::vector<MatcherMinutia>& b) {
  return MinutiaeSimilarity(a.data(), static_cast<int>(a.size()), b.data(),
                            static_cast<int>(b.size()));
}

TEST(Matcher, ToleratesPoseOverlapDistortionMissingAndSpuriousMinutiae) {
  struct Case {
    const char* why;
    float degrees, dx, dy, bend, noise;
    size_t keep_from, keep_to;  // partial overlap: a slice of the minutiae
    int spurious;               // random minutiae added to the second impression
  } cases[] = {
      {"identical", 0, 0, 0, 0, 0, 0, 40, 0},
      {"translation", 0, 40, -30, 0, 0, 0, 40, 0},
      {"rotation +20", 20, 0, 0, 0, 0, 0, 40, 0},
      {"rotation -30 and translation", -30, -25, 15, 0, 0, 0, 40, 0},
      {"position noise", 5, 10, 10, 0, 2.5f, 0, 40, 0},
      {"mild distortion", 8, 5, -5, 8, 1.5f, 0, 40, 0},
      {"half overlap", 10, 20, 0, 0, 1.0f, 20, 40, 0},
      {"a third missing", 5, 5, 5, 0, 1.0f, 0, 27, 0},
      {"a third spurious", -5, 5, 5, 0, 1.0f, 0, 40, 14},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    auto p = RandomPrint(7, 40);
    auto q = Impression(p, c.degrees, c.dx, c.dy, c.bend, c.noise, 3);
    std::vector<MatcherMinutia> part(q.begin() + static_cast<long>(c.keep_from),
                                     q.begin() + static_cast<long>(c.keep_to));
    auto noise = RandomPrint(99, c.spurious);
    part.insert(part.end(), noise.begin(), noise.end());
    EXPECT_GE(Score(p, part), kMatchThreshold);
    EXPECT_GE(Score(part, p), kMatchThreshold);
  }
}

// A dry print's skeleton gives many doubtful minutiae; its clear ones still
// decide, and the doubtful ones of two unrelated prints do not match them.
TEST(Matcher, ClearMinutiaeDecideAmongManyDoubtfulOnes) {
  auto with_doubtful = [](std::vector<MatcherMinutia> print, unsigned seed) {
    for (MatcherMinutia& m : print) m.quality = 80;
    for (MatcherMinutia m : RandomPrint(seed, 120)) {
      m.quality = 10;
      print.push_back(m);
    }
    return print;
  };
  auto p = RandomPrint(31, 35);
  auto q = Impression(p, 6, 8, -4, 3, 1.5f, 9);
  // Sure, not just above the threshold: 35 clear pairs are strong evidence.
  EXPECT_GE(Score(with_doubtful(p, 1), with_doubtful(q, 2)), MatchThresholdForFmrDecades(5));
  EXPECT_LT(Score(with_doubtful(RandomPrint(32, 35), 3), with_doubtful(q, 2)), kMatchThreshold);
}

// The common area of two outlines, once aligned: all of a square print
// against itself turned and moved, half of it against its left half.
TEST(Matcher, CommonAreaOfTheAlignedOutlines) {
  auto square = RandomPrint(41, 30);
  for (MatcherMinutia& m : square) {
    m.x = 20 + m.x * 160 / 300;  // inside the square (0..200, -200..0)
    m.y = -20 + m.y * 160 / 400;
  }
  for (float x : {0.0f, 100.0f, 200.0f}) {
    square.push_back({x, 0, 0.4f, 1, 0});
    square.push_back({x, -200, 2.0f, 2, 0});
  }
  std::vector<MatcherMinutia> left;
  for (const MatcherMinutia& m : square) {
    if (m.x <= 100) left.push_back(m);
  }
  auto area = [](const std::vector<MatcherMinutia>& a, const std::vector<MatcherMinutia>& b) {
    return MinutiaeEvidence(a.data(), static_cast<int>(a.size()), b.data(),
                            static_cast<int>(b.size()))
        .overlap_area;
  };
  EXPECT_NEAR(area(square, Impression(square, 30, 70, -40, 0, 0, 1)), 40000.0f, 400.0f);
  EXPECT_NEAR(area(square, Impression(left, -20, 10, 10, 0, 0, 1)), 20000.0f, 400.0f);
}

TEST(Matcher, SimilarityIgnoresWhereAndHowTheSecondPrintLies) {
  auto p = RandomPrint(21, 35);
  auto q = Impression(p, 4, 6, -3, 4, 1.5f, 5);
  const float base = Similarity(p, q);
  ASSERT_GT(base, 0.0f);
  // Fingers are not laid on a reader upside down: turns up to a right angle.
  for (float degrees : {-80.0f, 0.0f, 45.0f}) {
    SCOPED_TRACE(degrees);
    auto moved = Impression(q, degrees, 500, -200, 0, 0, 1);
    EXPECT_NEAR(Similarity(p, moved), base, 0.05f * base);
  }
}

TEST(Matcher, UnrelatedPrintsStayBelowTheThreshold) {
  for (unsigned seed = 100; seed < 140; ++seed) {
    auto a = RandomPrint(seed, 50);
    auto b = RandomPrint(seed + 1000, 50);
    EXPECT_LT(Score(a, b), kMatchThreshold) << seed;
  }
}

TEST(Matcher, NoEvidenceScoresZero) {
  auto few = RandomPrint(3, kMatchMinMinutiae - 1);
  auto q = RandomPrint(3, 30);
  EXPECT_EQ(Score(few, few), 0u);
  EXPECT_EQ(Score(few, q), 0u);
  EXPECT_EQ(Score({}, q), 0u);
  EXPECT_EQ(MatchMinutiae(nullptr, 0, q.data(), 30), 0u);
  // Minutiae on one line have no outline, so no neighbourhood to compare.
  std::vector<MatcherMinutia> line;
  for (int i = 0; i < 20; ++i) line.push_back({15.0f * static_cast<float>(i), -100, 0.3f, 1, 0});
  EXPECT_EQ(Score(line, line), 0u);
}

TEST(Matcher, ScoresFollowTheFalseMatchRateScale) {
  EXPECT_EQ(MatchThresholdForFmrDecades(2), 10u);
  EXPECT_EQ(MatchThresholdForFmrDecades(3), kMatchThreshold);
  EXPECT_EQ(MatchThresholdForFmrDecades(4), 18u);
  EXPECT_EQ(ScoreFromSimilarity(0.0f), 0u);
  EXPECT_EQ(ScoreFromSimilarity(-1.0f), 0u);
  EXPECT_EQ(ScoreFromSimilarity(1e9f), kMatchScoreMax);
  uint32_t last = 0;
  for (float s = 0.0f; s < 20.0f; s += 0.01f) {
    const uint32_t score = ScoreFromSimilarity(s);
    ASSERT_GE(score, last) << s;
    last = score;
  }
  EXPECT_GT(last, kMatchThreshold);
}

TEST(Matcher, IsoAndAnsiRecordsOfOnePrintAgreeAcrossResolutions) {
  // The same print written as ISO at 197 px/cm and as ANSI at twice the
  // resolution (coordinates doubled) matches itself.
  auto p = RandomPrint(11, 30);
  std::vector<TemplateMinutia> iso, ansi;
  for (const MatcherMinutia& m : p) {
    float deg = fmodf(m.angle * 180.0f / kPi + 360.0f, 360.0f);
    TemplateMinutia t{m.type, static_cast<uint16_t>(lroundf(m.x)),
                      static_cast<uint16_t>(lroundf(-m.y)),
                      static_cast<uint8_t>(lroundf(deg / 1.40625f) % 256), 50};
    iso.push_back(t);
    t.x = static_cast<uint16_t>(t.x * 2);
    t.y = static_cast<uint16_t>(t.y * 2);
    t.angle = static_cast<uint8_t>(lroundf(deg / 2.0f) % 180);
    ansi.push_back(t);
  }
  unsigned char a[VRFPM_TEMPLATE_BYTES], b[VRFPM_TEMPLATE_BYTES];
  size_t na = 0, nb = 0;
  TemplateWriteInfo info{0, 300, 400, kResolution500Ppi, 1, 0, 0, 60};
  ASSERT_EQ(WriteTemplateRecord(VRFPM_FORMAT_ISO, info, iso.data(), 30, a, sizeof a, &na),
            VRFPM_OK);
  info.width = 600;
  info.height = 800;
  info.resolution = 2 * kResolution500Ppi;
  ASSERT_EQ(WriteTemplateRecord(VRFPM_FORMAT_ANSI, info, ansi.data(), 30, b, sizeof b, &nb),
            VRFPM_OK);
  TemplateRecord* ra = static_cast<TemplateRecord*>(malloc(sizeof(TemplateRecord)));
  TemplateRecord* rb = static_cast<TemplateRecord*>(malloc(sizeof(TemplateRecord)));
  ASSERT_EQ(ParseTemplateRecord(VRFPM_FORMAT_ISO, a, na, ra), VRFPM_OK);
  ASSERT_EQ(ParseTemplateRecord(VRFPM_FORMAT_ANSI, b, nb, rb), VRFPM_OK);
  EXPECT_GE(MatchTemplateRecords(*ra, *rb), kMatchThreshold);
  EXPECT_NEAR(TemplateRecordsSimilarity(*ra, *rb), TemplateRecordsSimilarity(*ra, *ra), 0.1f);
  free(ra);
  free(rb);
}

}  // namespace
