// Contextual enhancement. The image is first normalised block by block
// (local mean removed, divided by the local deviation, ridges positive), so
// that faint and strong parts of the print weigh alike; then every block is
// filtered with an even Gabor kernel tuned to its ridge direction and period:
// a cosine across the ridges under a Gaussian that is longer along them. The
// filter joins ridges broken by pores or dry skin and separates ridges run
// together by moisture, and its response changes sign exactly between ridge
// and valley.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "extract/extract_stages.h"
#include "extract/minutiae_extractor.h"

namespace extract {
namespace {

constexpr float kMinDev = 4.0f;  // grey levels: flatter blocks are not amplified further
constexpr float kClip = 3.0f;    // normalised values beyond it are outliers (dust, ink)
constexpr int kRadius = kPad;
constexpr int kSide = kGaborSide;
constexpr int kAngles = kGaborAngles;
constexpr float kPeriodStep = kGaborPeriodStep;
constexpr int kPeriods = kGaborPeriods;

// Where pixel coordinate v falls between block centres (which sit at 3.5):
// the two blocks around it along one axis of `blocks`, and the weight of the
// second.
struct BlockSpan {
  int b0, b1;
  float weight;
};

BlockSpan SpanAt(int v, int blocks) {
  const float f = (static_cast<float>(v) - (kBlock - 1) * 0.5f) / kBlock;
  int b0 = static_cast<int>(std::floor(f));
  float a = f - static_cast<float>(b0);
  if (b0 < 0) {
    b0 = 0;
    a = 0;
  }
  const int b1 = std::min(b0 + 1, blocks - 1);
  return BlockSpan{std::min(b0, blocks - 1), b1, a};
}

// Bilinear sample of a block map between the blocks of two spans, given the
// map's two rows of blocks that span y picks.
inline float Sample(const float* row0, const float* row1, const BlockSpan& x, const BlockSpan& y) {
  const float top = row0[x.b0] * (1 - x.weight) + row0[x.b1] * x.weight;
  const float bottom = row1[x.b0] * (1 - x.weight) + row1[x.b1] * x.weight;
  return top * (1 - y.weight) + bottom * y.weight;
}

// The kernel for angle bin a and period bin p, building it on first use.
const float* Kernel(ExtractWork* w, int a, int p) {
  int16_t& slot = w->kernel_of[a * kPeriods + p];
  float* k = w->kernels + static_cast<size_t>(slot < 0 ? w->kernels_built : slot) * kSide * kSide;
  if (slot >= 0) return k;
  slot = static_cast<int16_t>(w->kernels_built++);
  const float theta = kPi * static_cast<float>(a) / kAngles;  // ridge direction
  const float period = kMinPeriod + kPeriodStep * static_cast<float>(p);
  const float sigma_across = std::clamp(0.36f * period, 2.4f, 5.0f);
  const float sigma_along = std::clamp(0.5f * period, 3.4f, 6.5f);
  const float tx = std::cos(theta), ty = std::sin(theta);
  float env[kSide * kSide];
  float sum = 0, sum_env = 0;
  for (int dy = -kRadius; dy <= kRadius; ++dy) {
    for (int dx = -kRadius; dx <= kRadius; ++dx) {
      const float along = static_cast<float>(dx) * tx + static_cast<float>(dy) * ty;
      const float across = -static_cast<float>(dx) * ty + static_cast<float>(dy) * tx;
      const float e = std::exp(-0.5f * (across * across / (sigma_across * sigma_across) +
                                        along * along / (sigma_along * sigma_along)));
      const int i = (dy + kRadius) * kSide + dx + kRadius;
      env[i] = e;
      k[i] = e * std::cos(2.0f * kPi * across / period);
      sum += k[i];
      sum_env += e;
    }
  }
  // No response to a uniform grey: the sign must depend on ridges only.
  const float dc = sum / sum_env;
  for (int i = 0; i < kSide * kSide; ++i) k[i] -= dc * env[i];
  return k;
}

}  // namespace

void NormaliseImage(ExtractWork* work) {
  ExtractWork& w = *work;
  std::memset(w.norm, 0, sizeof(float) * static_cast<size_t>(w.stride) * (w.height + 2 * kPad));
  BlockSpan columns[kExtractMaxWorkSide];  // the same for every row
  for (int x = 0; x < w.width; ++x) columns[x] = SpanAt(x, w.bw);
  for (int y = 0; y < w.height; ++y) {
    const BlockSpan sy = SpanAt(y, w.bh);
    const float* mean0 = w.blocks.mean + sy.b0 * w.bw;
    const float* mean1 = w.blocks.mean + sy.b1 * w.bw;
    const float* dev0 = w.blocks.dev + sy.b0 * w.bw;
    const float* dev1 = w.blocks.dev + sy.b1 * w.bw;
    float* out = w.norm + static_cast<size_t>(y + kPad) * w.stride + kPad;
    const uint8_t* in = w.grey + static_cast<size_t>(y) * w.width;
    for (int x = 0; x < w.width; ++x) {
      const float mean = Sample(mean0, mean1, columns[x], sy);
      const float dev = std::max(kMinDev, Sample(dev0, dev1, columns[x], sy));
      out[x] = std::clamp((mean - static_cast<float>(in[x])) / dev, -kClip, kClip);
    }
  }
}

void EnhanceRidges(ExtractWork* work) {
  ExtractWork& w = *work;
  std::fill(w.enhanced, w.enhanced + static_cast<size_t>(w.width) * w.height, 0.0f);
  for (int by = 0; by < w.bh; ++by) {
    for (int bx = 0; bx < w.bw; ++bx) {
      const int i = by * w.bw + bx;
      if (!w.blocks.mask[i]) continue;
      const int a = static_cast<int>(std::lround(w.blocks.orient[i] * kAngles / kPi)) % kAngles;
      const int p =
          std::clamp(static_cast<int>(std::lround((w.blocks.period[i] - kMinPeriod) / kPeriodStep)),
                     0, kPeriods - 1);
      const float* k = Kernel(&w, a, p);
      const int x0 = bx * kBlock, y0 = by * kBlock;
      const int cols = std::min(kBlock, w.width - x0);
      const int rows = std::min(kBlock, w.height - y0);
      for (int r = 0; r < rows; ++r) {
        float acc[kBlock] = {0, 0, 0, 0, 0, 0, 0, 0};
        for (int dy = 0; dy < kSide; ++dy) {
          // Row y0 + r + dy - kRadius of the image is row y0 + r + dy of norm.
          const float* src = w.norm + static_cast<size_t>(y0 + r + dy) * w.stride + x0;
          const float* krow = k + dy * kSide;
          for (int dx = 0; dx < kSide; ++dx) {
            const float c = krow[dx];
            for (int j = 0; j < kBlock; ++j) acc[j] += c * src[dx + j];
          }
        }
        float* out = w.enhanced + static_cast<size_t>(y0 + r) * w.width + x0;
        for (int j = 0; j < cols; ++j) out[j] = acc[j];
      }
    }
  }
}

}  // namespace extract
