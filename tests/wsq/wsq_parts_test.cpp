// The codec's building blocks: subband layout, perfect reconstruction of the transform,
// scaled-integer fields, the quantizer, bit allocation and Huffman tables.

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "wsq/wsq.h"

namespace {

TEST(WsqLayout, SubbandsTileThePlaneForAnySize) {
  const int sizes[][2] = {{256, 256}, {300, 400}, {257, 511}, {258, 336}, {33, 1}, {1, 1}};
  for (const auto& s : sizes) {
    SCOPED_TRACE(testing::Message() << s[0] << "x" << s[1]);
    wsq::Layout layout;
    wsq::ComputeLayout(s[0], s[1], &layout);
    std::vector<int> cover(static_cast<size_t>(s[0]) * s[1], 0);
    for (const wsq::Rect& r : layout.band) {
      ASSERT_GE(r.w, 0);
      ASSERT_GE(r.h, 0);
      for (int y = r.y; y < r.y + r.h; ++y)
        for (int x = r.x; x < r.x + r.w; ++x) ++cover[static_cast<size_t>(y) * s[0] + x];
    }
    for (int c : cover) ASSERT_EQ(c, 1);
  }
}

TEST(WsqLayout, SizeClassesMatchTheAreaShares) {
  wsq::Layout layout;
  wsq::ComputeLayout(512, 512, &layout);
  for (int k = 0; k < wsq::kSubbands; ++k) {
    const wsq::Rect& r = layout.band[k];
    EXPECT_EQ(r.w, r.h) << k;
    EXPECT_DOUBLE_EQ(double(r.w) * r.h / (512.0 * 512.0), wsq::SubbandAreaShare(k)) << k;
  }
  // The four smallest subbands sit in the top-left corner; 60..63 fill the bottom-right.
  EXPECT_EQ(layout.band[0].x + layout.band[0].y, 0);
  EXPECT_EQ(layout.band[63].x + layout.band[63].w, 512);
  EXPECT_EQ(layout.band[63].y + layout.band[63].h, 512);
}

TEST(WsqTransform, SynthesisInvertsAnalysis) {
  const int sizes[][2] = {{1, 1},  {1, 7},   {2, 2},     {3, 5},
                          {17, 9}, {31, 33}, {257, 301}, {300, 400}};
  for (const auto& s : sizes) {
    SCOPED_TRACE(testing::Message() << s[0] << "x" << s[1]);
    const size_t n = static_cast<size_t>(s[0]) * s[1];
    std::vector<float> plane(n), original(n);
    uint32_t seed = 99;
    for (size_t i = 0; i < n; ++i) {
      seed = seed * 1664525u + 1013904223u;
      original[i] = plane[i] = static_cast<float>(seed >> 24) - 128.0f;
    }
    wsq::Layout layout;
    wsq::ComputeLayout(s[0], s[1], &layout);
    ASSERT_TRUE(wsq::ForwardTransform(plane.data(), s[0], s[1], layout, wsq::kFilterBank97));
    if (n > 64) {
      EXPECT_NE(plane, original);
    }
    ASSERT_TRUE(wsq::InverseTransform(plane.data(), s[0], s[1], layout, wsq::kFilterBank97));
    double worst = 0;
    for (size_t i = 0; i < n; ++i) worst = std::fmax(worst, std::fabs(plane[i] - original[i]));
    EXPECT_LT(worst, 2e-3);
  }
}

TEST(WsqScaled, PicksLargestExponentThatFits) {
  struct Case {
    double x;
    uint32_t max;
    int exponent;
    uint32_t value;
  } cases[] = {
      {0.44, 0xFFFF, 5, 44000},
      {170.36, 0xFFFF, 2, 17036},
      {1.3309, 0xFFFF, 4, 13309},
      {0.852698679009, 0xFFFFFFFF, 9, 852698679},
      {0.037828455507, 0xFFFFFFFF, 11, 3782845551},
      {0, 0xFFFF, 0, 0},
      {70000, 0xFFFF, 0, 65535},
      {65535, 0xFFFF, 0, 65535},
      {1e-30, 0xFFFF, wsq::kMaxScaleExponent, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.x);
    const wsq::Scaled s = wsq::ToScaled(c.x, c.max);
    EXPECT_EQ(s.exponent, c.exponent);
    EXPECT_EQ(s.value, c.value);
  }
  EXPECT_DOUBLE_EQ(wsq::FromScaled({2, 44}), 0.44);
}

TEST(WsqQuantizer, DeadZoneBinsAndClamp) {
  struct Case {
    float a;
    int32_t p;
  } cases[] = {
      {0.0f, 0},
      {1.19f, 0},
      {-1.19f, 0},
      {1.21f, 1},
      {-1.21f, -1},
      {3.19f, 1},
      {3.21f, 2},
      {-3.21f, -2},
      {1e9f, 65535},
      {-1e9f, -65535},
      {__builtin_nanf(""), 0},
  };
  for (const Case& c : cases) EXPECT_EQ(wsq::Quantize(c.a, 2.0, 2.4), c.p) << c.a;
  EXPECT_EQ(wsq::Quantize(5.0f, 0, 0), 0);  // subband not coded
  // Reconstruction lands 0.44 bins into the bin, on the side of zero.
  EXPECT_FLOAT_EQ(wsq::Dequantize(1, 2.0, 2.4, 0.44), 1.2f + 0.56f * 2.0f);
  EXPECT_FLOAT_EQ(wsq::Dequantize(-2, 2.0, 2.4, 0.44), -(1.2f + 1.56f * 2.0f));
  EXPECT_EQ(wsq::Dequantize(0, 2.0, 2.4, 0.44), 0.0f);
}

TEST(WsqBitAllocation, DropsFlatSubbandsAndRefinesWithRate) {
  double variance[wsq::kSubbands];
  for (int k = 0; k < wsq::kSubbands; ++k) variance[k] = 5000.0 / (1 + k);
  variance[10] = 1.0;  // flat: not worth a bit
  wsq::QuantTable low, high;
  wsq::AllocateBins(variance, 0.75, &low);
  wsq::AllocateBins(variance, 2.25, &high);
  EXPECT_DOUBLE_EQ(low.bin_center, 0.44);
  EXPECT_EQ(low.q[10], 0);
  for (int k = 60; k < 64; ++k) EXPECT_EQ(high.q[k], 0) << k;
  for (int k = 0; k < 60; ++k) {
    if (low.q[k] > 0) {
      EXPECT_GT(high.q[k], 0) << k;
      EXPECT_LT(high.q[k], low.q[k]) << k;
      EXPECT_NEAR(low.z[k] / low.q[k], 1.2, 1e-3) << k;
    }
  }
  EXPECT_GT(low.q[0], 0);
  double flat[wsq::kSubbands] = {0};
  wsq::QuantTable none;
  wsq::AllocateBins(flat, 2.25, &none);
  for (int k = 0; k < 64; ++k) EXPECT_EQ(none.q[k], 0);
  wsq::QuantTable extreme;
  wsq::AllocateBins(variance, 8.0, &extreme);
  for (int k = 0; k < 60; ++k)
    if (extreme.q[k] > 0) {
      EXPECT_GE(extreme.q[k], 0.125) << k;
    }
}

// Code lengths for a spread of frequency shapes: a prefix code of at most 16 bits that never
// uses the all-ones code, and whose decoder form agrees with the codes.
TEST(WsqHuffman, LengthLimitedCanonicalCodes) {
  std::vector<std::vector<uint32_t>> shapes;
  std::vector<uint32_t> f(256, 0);
  f[7] = 100;
  shapes.push_back(f);  // one symbol
  f[200] = 1;
  shapes.push_back(f);          // two, skewed
  shapes.emplace_back(256, 1);  // all 256 equally likely
  std::vector<uint32_t> fib(256, 0);
  uint32_t a = 1, b = 1;
  for (int i = 1; i <= 40; ++i) {  // Fibonacci weights would want codes ~40 bits long
    fib[i] = a;
    const uint32_t c = a + b;
    a = b;
    b = c;
  }
  shapes.push_back(fib);
  for (size_t n = 0; n < shapes.size(); ++n) {
    SCOPED_TRACE(n);
    wsq::HuffmanTable t;
    ASSERT_TRUE(wsq::BuildHuffmanTable(shapes[n].data(), &t));
    int used = 0;
    for (uint32_t v : shapes[n]) used += v != 0;
    EXPECT_EQ(t.symbol_count, used);
    wsq::HuffmanCodes codes;
    wsq::MakeHuffmanCodes(t, &codes);
    wsq::HuffmanDecoder dec;
    ASSERT_TRUE(wsq::MakeHuffmanDecoder(t, &dec));
    double kraft = 0;
    for (int s = 0; s < 256; ++s) {
      const int len = codes.length[s];
      EXPECT_EQ(len > 0, shapes[n][s] != 0) << s;
      if (len == 0) continue;
      EXPECT_LE(len, 16);
      kraft += std::ldexp(1.0, -len);
      EXPECT_NE(codes.code[s], (1u << len) - 1) << "all-ones code for " << s;
      ASSERT_LE(int{codes.code[s]}, dec.max_code[len]);
      EXPECT_EQ(dec.symbols[dec.first_index[len] + codes.code[s] - dec.min_code[len]], s);
    }
    EXPECT_LT(kraft, 1.0);
  }
  const std::vector<uint32_t> empty(256, 0);
  wsq::HuffmanTable t;
  EXPECT_FALSE(wsq::BuildHuffmanTable(empty.data(), &t));
}

TEST(WsqHuffman, DecoderRefusesImpossibleCounts) {
  struct Case {
    const char* why;
    uint8_t counts[16];
    int symbols;
    bool ok;
  } cases[] = {
      {"two of length 1", {2}, 2, true},
      {"three of length 1", {3}, 3, false},
      {"full length 2 plus one", {0, 4, 1}, 5, false},
      {"count disagrees with symbols", {1, 1}, 3, false},
      {"no codes at all", {0}, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    wsq::HuffmanTable t{};
    std::copy(c.counts, c.counts + 16, t.counts);
    t.symbol_count = c.symbols;
    wsq::HuffmanDecoder dec;
    EXPECT_EQ(wsq::MakeHuffmanDecoder(t, &dec), c.ok);
  }
}

}  // namespace
