// Ridge orientation field from the gradient structure tensor. Sobel
// gradients are summed per block as (gx^2, gy^2, gx gy); over the 3 x 3 blocks
// around a block they give its local coherence (how strongly the gradients
// agree), and as doubled-angle vectors (whose length is that coherence)
// smoothed over a wider Gaussian they give the ridge direction, which then
// survives pores, scratches and noise without losing the turn of the ridges
// near a core or a delta.
#include <algorithm>
#include <cmath>

#include "extract/extract_stages.h"

namespace extract {
namespace {

constexpr float kSmoothSigmaBlocks = 1.6f;
constexpr int kSmoothRadiusBlocks = 4;

// Separable Gaussian smoothing of two block maps in place; tmp holds bw * bh.
void SmoothPair(const ExtractWork& w, float* u, float* v, float* tmp_u, float* tmp_v) {
  float weight[2 * kSmoothRadiusBlocks + 1];
  for (int k = -kSmoothRadiusBlocks; k <= kSmoothRadiusBlocks; ++k) {
    weight[k + kSmoothRadiusBlocks] =
        std::exp(-0.5f * static_cast<float>(k * k) / (kSmoothSigmaBlocks * kSmoothSigmaBlocks));
  }
  for (int by = 0; by < w.bh; ++by) {
    for (int bx = 0; bx < w.bw; ++bx) {
      float su = 0, sv = 0;
      for (int k = -kSmoothRadiusBlocks; k <= kSmoothRadiusBlocks; ++k) {
        const int x = bx + k;
        if (x < 0 || x >= w.bw) continue;
        su += weight[k + kSmoothRadiusBlocks] * u[by * w.bw + x];
        sv += weight[k + kSmoothRadiusBlocks] * v[by * w.bw + x];
      }
      tmp_u[by * w.bw + bx] = su;
      tmp_v[by * w.bw + bx] = sv;
    }
  }
  for (int by = 0; by < w.bh; ++by) {
    for (int bx = 0; bx < w.bw; ++bx) {
      float su = 0, sv = 0;
      for (int k = -kSmoothRadiusBlocks; k <= kSmoothRadiusBlocks; ++k) {
        const int y = by + k;
        if (y < 0 || y >= w.bh) continue;
        su += weight[k + kSmoothRadiusBlocks] * tmp_u[y * w.bw + bx];
        sv += weight[k + kSmoothRadiusBlocks] * tmp_v[y * w.bw + bx];
      }
      u[by * w.bw + bx] = su;
      v[by * w.bw + bx] = sv;
    }
  }
}

// The image blurred with a binomial kernel of radius 2 (sigma about 1 pixel)
// into out: pores, sensor noise and dust would otherwise dominate the
// gradients of single pixels. tmp holds width * height floats too.
void Blur(const ExtractWork& w, float* out, float* tmp) {
  constexpr float kTaps[5] = {1 / 16.0f, 4 / 16.0f, 6 / 16.0f, 4 / 16.0f, 1 / 16.0f};
  for (int y = 0; y < w.height; ++y) {
    const uint8_t* row = w.grey + static_cast<size_t>(y) * w.width;
    float* t = tmp + static_cast<size_t>(y) * w.width;
    for (int x = 0; x < w.width; ++x) {
      float s = 0;
      for (int k = -2; k <= 2; ++k) s += kTaps[k + 2] * row[std::clamp(x + k, 0, w.width - 1)];
      t[x] = s;
    }
  }
  for (int y = 0; y < w.height; ++y) {
    float* o = out + static_cast<size_t>(y) * w.width;
    for (int x = 0; x < w.width; ++x) o[x] = 0;
    for (int k = -2; k <= 2; ++k) {
      const float* t = tmp + static_cast<size_t>(std::clamp(y + k, 0, w.height - 1)) * w.width;
      for (int x = 0; x < w.width; ++x) o[x] += kTaps[k + 2] * t[x];
    }
  }
}

}  // namespace

void EstimateOrientation(ExtractWork* work) {
  ExtractWork& w = *work;
  BlockMaps& b = w.blocks;
  const int n = w.bw * w.bh;
  // Scratch: the enhanced image and the normalised one are written later.
  float* smooth = w.enhanced;
  Blur(w, smooth, w.norm);
  for (int i = 0; i < n; ++i) b.gxx[i] = b.gyy[i] = b.gxy[i] = 0.0f;
  for (int y = 0; y < w.height; ++y) {
    const float* up = smooth + static_cast<size_t>(y > 0 ? y - 1 : y) * w.width;
    const float* row = smooth + static_cast<size_t>(y) * w.width;
    const float* down = smooth + static_cast<size_t>(y + 1 < w.height ? y + 1 : y) * w.width;
    float* bxx = b.gxx + (y / kBlock) * w.bw;
    float* byy = b.gyy + (y / kBlock) * w.bw;
    float* bxy = b.gxy + (y / kBlock) * w.bw;
    for (int x = 0; x < w.width; ++x) {
      const int l = x > 0 ? x - 1 : x, r = x + 1 < w.width ? x + 1 : x;
      const float gx = (up[r] + 2 * row[r] + down[r]) - (up[l] + 2 * row[l] + down[l]);
      const float gy = (down[l] + 2 * down[x] + down[r]) - (up[l] + 2 * up[x] + up[r]);
      const int bx = x / kBlock;
      bxx[bx] += gx * gx;
      byy[bx] += gy * gy;
      bxy[bx] += gx * gy;
    }
  }
  // Local coherence over 3 x 3 blocks, and the doubled-angle vector of the
  // gradient direction with the coherence as its length.
  float* u = b.orient;  // the vectors live in orient and period until the angle is taken
  float* v = b.period;
  for (int by = 0; by < w.bh; ++by) {
    for (int bx = 0; bx < w.bw; ++bx) {
      float a = 0, c = 0, e = 0;
      for (int dy = -1; dy <= 1; ++dy) {
        for (int dx = -1; dx <= 1; ++dx) {
          const int x = bx + dx, y = by + dy;
          if (x < 0 || y < 0 || x >= w.bw || y >= w.bh) continue;
          const int j = y * w.bw + x;
          a += b.gxx[j] - b.gyy[j];
          c += 2.0f * b.gxy[j];
          e += b.gxx[j] + b.gyy[j];
        }
      }
      const int i = by * w.bw + bx;
      const float len = std::sqrt(a * a + c * c);
      b.coherence[i] = e > 0 ? std::min(1.0f, len / e) : 0.0f;
      u[i] = len > 0 ? b.coherence[i] * a / len : 0.0f;
      v[i] = len > 0 ? b.coherence[i] * c / len : 0.0f;
    }
  }
  SmoothPair(w, u, v, b.wave, b.quality);
  for (int i = 0; i < n; ++i) {
    // Ridges run across the gradient.
    float theta = 0.5f * std::atan2(v[i], u[i]) + 0.5f * kPi;
    if (theta >= kPi) theta -= kPi;
    if (theta < 0) theta += kPi;
    b.orient[i] = theta;
  }
}

}  // namespace extract
