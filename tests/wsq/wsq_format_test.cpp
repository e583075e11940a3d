// Structure of the files we write, read back with an independent segment walker: marker order,
// segment lengths, table contents and byte stuffing.

#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <string>

#include "tests/wsq/wsq_test_util.h"
#include "wsq/wsq.h"

namespace {

double ScaledAt(const uint8_t* p) {  // exponent(1) + value(2)
  return Be16(p + 1) / std::pow(10.0, p[0]);
}

class WsqFileLayout : public testing::Test {
 protected:
  void SetUp() override {
    image_ = FingerImage(4, 0, 300, 400);
    int rc = 0;
    file_ = Encode(image_, 300, 400, 0.75f, &rc);
    ASSERT_EQ(rc, kWsqOk);
    ASSERT_TRUE(SplitSegments(file_, &segs_));
  }
  const Segment* Find(uint8_t marker) const {
    for (const Segment& s : segs_)
      if (s.marker == marker) return &s;
    return nullptr;
  }
  Bytes image_, file_;
  std::vector<Segment> segs_;
};

TEST_F(WsqFileLayout, MarkersInOrderWithConsistentLengths) {
  const std::vector<uint8_t> expected = {wsq::kSOI, wsq::kCOM, wsq::kCOM, wsq::kDTT,
                                         wsq::kDQT, wsq::kSOF, wsq::kDHT, wsq::kSOB,
                                         wsq::kDHT, wsq::kSOB, wsq::kSOB, wsq::kEOI};
  std::vector<uint8_t> got;
  for (const Segment& s : segs_) got.push_back(s.marker);
  EXPECT_EQ(got, expected);
  for (const Segment& s : segs_) {
    switch (s.marker) {
      case wsq::kDTT:
        EXPECT_EQ(s.bytes.size(), 2u + 58);
        break;
      case wsq::kDQT:
        EXPECT_EQ(s.bytes.size(), 2u + 389);
        break;
      case wsq::kSOF:
        EXPECT_EQ(s.bytes.size(), 2u + 17);
        break;
      case wsq::kSOB:
        EXPECT_EQ(s.bytes.size(), 2u + 3);
        EXPECT_FALSE(s.entropy.empty());
        break;
      case wsq::kDHT: {
        int total = 0;
        for (int i = 0; i < 16; ++i) total += s.payload()[1 + i];
        EXPECT_EQ(s.payload_size(), 17u + total);
        break;
      }
    }
  }
  // Block 1 uses table 0, blocks 2 and 3 table 1.
  std::vector<int> sob_tables;
  for (const Segment& s : segs_)
    if (s.marker == wsq::kSOB) sob_tables.push_back(s.payload()[0]);
  EXPECT_EQ(sob_tables, (std::vector<int>{0, 1, 1}));
}

TEST_F(WsqFileLayout, CommentsCarryNistFieldsThenCallerText) {
  const std::string nist(segs_[1].payload(), segs_[1].payload() + segs_[1].payload_size());
  EXPECT_EQ(nist,
            "NIST_COM 9\nPIX_WIDTH 300\nPIX_HEIGHT 400\nPIX_DEPTH 8\nPPI 500\nLOSSY 1\n"
            "COLORSPACE GRAY\nCOMPRESSION WSQ\nWSQ_BITRATE 0.750000");
  const std::string text(segs_[2].payload(), segs_[2].payload() + segs_[2].payload_size());
  EXPECT_EQ(text, "Kestrav");

  for (const char* none : {"", static_cast<const char*>(nullptr)}) {
    int rc = 0;
    std::vector<Segment> segs;
    ASSERT_TRUE(SplitSegments(Encode(image_, 300, 400, 0.75f, &rc, none), &segs));
    int comments = 0;
    for (const Segment& s : segs) comments += s.marker == wsq::kCOM;
    EXPECT_EQ(comments, 1);
  }
}

TEST_F(WsqFileLayout, TransformTableHoldsThe97Pair) {
  const Segment* dtt = Find(wsq::kDTT);
  ASSERT_NE(dtt, nullptr);
  const uint8_t* p = dtt->payload();
  EXPECT_EQ(p[0], 9);
  EXPECT_EQ(p[1], 7);
  const double expected[9] = {0.852698679009,  0.377402855613,  -0.110624404418,
                              -0.023849465020, 0.037828455507,  0.788485616406,
                              -0.418092273222, -0.040689417609, 0.064538882629};
  for (int i = 0; i < 9; ++i) {
    const uint8_t* c = p + 2 + 6 * i;
    ASSERT_LE(c[0], 1);
    const double v = (c[0] ? -1.0 : 1.0) * Be32(c + 2) / std::pow(10.0, c[1]);
    EXPECT_NEAR(v, expected[i], 1e-9) << "coefficient " << i;
    EXPECT_GT(Be32(c + 2), 0xFFFFFFFFu / 10) << "exponent not maximal for " << i;
  }
}

TEST_F(WsqFileLayout, QuantTableAndFrameHeader) {
  const uint8_t* q = Find(wsq::kDQT)->payload();
  EXPECT_EQ(q[0], 2);
  EXPECT_EQ(Be16(q + 1), 44);
  int coded = 0;
  for (int k = 0; k < 64; ++k) {
    const double bin = ScaledAt(q + 3 + 6 * k);
    const double zero = ScaledAt(q + 6 + 6 * k);
    if (k >= 60) {
      EXPECT_EQ(bin, 0) << k;
      EXPECT_EQ(zero, 0) << k;
    } else if (bin > 0) {
      ++coded;
      EXPECT_NEAR(zero / bin, 1.2, 1e-3) << k;
    } else {
      EXPECT_EQ(zero, 0) << k;
    }
  }
  EXPECT_GE(coded, 19);  // at least the low-frequency block

  const uint8_t* f = Find(wsq::kSOF)->payload();
  EXPECT_EQ(f[0], 0);
  EXPECT_EQ(f[1], 255);
  EXPECT_EQ(Be16(f + 2), 400u);  // height first
  EXPECT_EQ(Be16(f + 4), 300u);
  double sum = 0, lo = 255, hi = 0;
  for (uint8_t v : image_) {
    sum += v;
    lo = std::min<double>(lo, v);
    hi = std::max<double>(hi, v);
  }
  const double mean = sum / image_.size();
  EXPECT_NEAR(ScaledAt(f + 6), mean, 0.006);
  EXPECT_NEAR(ScaledAt(f + 9), std::max(mean - lo, hi - mean) / 128, 1e-4);
  EXPECT_EQ(f[12], 2);
}

// Huffman tables: symbols unique and in the alphabet, a prefix code that leaves the all-ones
// code of the longest length free (the 1-bit padding must never decode as a symbol).
TEST_F(WsqFileLayout, HuffmanTablesAreValidPrefixCodes) {
  for (const Segment& s : segs_) {
    if (s.marker != wsq::kDHT) continue;
    const uint8_t* p = s.payload();
    EXPECT_LE(p[0], 1);
    double kraft = 0;
    int total = 0;
    for (int len = 1; len <= 16; ++len) {
      kraft += p[len] / std::pow(2.0, len);
      total += p[len];
    }
    EXPECT_LT(kraft, 1.0);
    std::set<int> seen;
    for (int i = 0; i < total; ++i) {
      const int sym = p[17 + i];
      EXPECT_TRUE(sym >= 1 && sym <= 254 && sym != 180) << sym;
      EXPECT_TRUE(seen.insert(sym).second) << "duplicate " << sym;
    }
  }
}

TEST(WsqFileStuffing, EveryFfInEntropyDataIsFollowedByZero) {
  size_t ff_seen = 0;
  for (unsigned finger = 1; finger <= 6; ++finger) {
    for (float rate : {0.75f, 2.25f}) {
      const Bytes image = FingerImage(finger, 0, 300, 400);
      int rc = 0;
      std::vector<Segment> segs;
      ASSERT_TRUE(SplitSegments(Encode(image, 300, 400, rate, &rc), &segs));
      for (const Segment& s : segs) {
        for (size_t i = 0; i < s.entropy.size(); ++i) {
          if (s.entropy[i] != 0xFF) continue;
          ++ff_seen;
          ASSERT_LT(i + 1, s.entropy.size());
          EXPECT_EQ(s.entropy[i + 1], 0);
        }
      }
    }
  }
  EXPECT_GT(ff_seen, 0u) << "no 0xFF byte arose: stuffing went untested";
}

TEST(WsqFileBlocks, DroppedBlocksWriteNoSegments) {
  // A flat image has no coefficient worth coding: the file is headers only.
  const Bytes flat(256 * 256, 200);
  int rc = 0;
  std::vector<Segment> segs;
  ASSERT_TRUE(SplitSegments(Encode(flat, 256, 256, 0.75f, &rc), &segs));
  for (const Segment& s : segs) {
    EXPECT_NE(s.marker, wsq::kSOB);
    EXPECT_NE(s.marker, wsq::kDHT);
  }
}

}  // namespace
