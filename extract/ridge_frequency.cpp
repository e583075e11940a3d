// Ridge period per block. The normalised image is sampled along a line across
// the ridges (32 pixels, each sample the mean of 7 points along the ridge),
// and that profile is compared with sinusoids of every plausible period; the
// strongest gives the period, and the share of the profile it explains (the
// "wave") says how clean the ridges are there. Periods are then smoothed over
// the neighbouring blocks, weighted by their wave, since the ridge spacing of
// a finger changes slowly.
#include <algorithm>
#include <cmath>

#include "extract/extract_stages.h"

namespace extract {
namespace {

constexpr int kProfile = 32;        // samples across the ridges (a multiple of 4)
constexpr int kAlong = 7;           // points averaged along the ridge per sample
constexpr float kAlongStep = 2.0f;  // pixels between them
constexpr float kPeriodStep = 0.5f;
constexpr int kPeriods = static_cast<int>((kMaxPeriod - kMinPeriod) / kPeriodStep) + 1;
constexpr float kMinWave = 0.2f;        // below it the block's own period is not trusted
constexpr int kSmoothRadius = 2;        // blocks
constexpr float kDefaultPeriod = 9.0f;  // when nothing in the print gives one
constexpr float kFlatDev = 4.0f;        // grey levels: flatter blocks have no profile to measure

struct Sinusoids {
  float cos_t[kPeriods][kProfile];
  float sin_t[kPeriods][kProfile];
  float window[kProfile];
  float window_sum;
};

void MakeSinusoids(Sinusoids* s) {
  s->window_sum = 0;
  for (int k = 0; k < kProfile; ++k) {
    const float t = (static_cast<float>(k) + 0.5f) / kProfile;
    s->window[k] = 0.5f - 0.5f * std::cos(2.0f * kPi * t);
    s->window_sum += s->window[k];
  }
  for (int m = 0; m < kPeriods; ++m) {
    const float period = kMinPeriod + kPeriodStep * static_cast<float>(m);
    for (int k = 0; k < kProfile; ++k) {
      const float phase = 2.0f * kPi * static_cast<float>(k) / period;
      s->cos_t[m][k] = s->window[k] * std::cos(phase);
      s->sin_t[m][k] = s->window[k] * std::sin(phase);
    }
  }
}

// Period and wave of the block centred on (cx, cy) with ridge direction theta.
void MeasureBlock(const ExtractWork& w, const Sinusoids& s, float cx, float cy, float theta,
                  float* period, float* wave) {
  const float tx = std::cos(theta), ty = std::sin(theta);  // along the ridge
  const float nx = -ty, ny = tx;                           // across
  float profile[kProfile];
  float mean = 0;
  for (int k = 0; k < kProfile; ++k) {
    const float off = static_cast<float>(k - kProfile / 2) + 0.5f;
    float sum = 0;
    for (int j = 0; j < kAlong; ++j) {
      const float along = (static_cast<float>(j) - (kAlong - 1) * 0.5f) * kAlongStep;
      const int x = RoundToInt(cx + off * nx + along * tx);
      const int y = RoundToInt(cy + off * ny + along * ty);
      // Outside the image the padded border of norm reads 0; beyond it, clamp.
      const int px = std::clamp(x, -kPad, w.width + kPad - 1);
      const int py = std::clamp(y, -kPad, w.height + kPad - 1);
      sum += w.norm[static_cast<size_t>(py + kPad) * w.stride + static_cast<size_t>(px + kPad)];
    }
    profile[k] = sum / kAlong;
    mean += profile[k];
  }
  mean /= kProfile;
  float energy = 0;
  for (int k = 0; k < kProfile; ++k) {
    profile[k] -= mean;
    energy += s.window[k] * profile[k] * profile[k];
  }
  float power[kPeriods];
  int best = 0;
  for (int m = 0; m < kPeriods; ++m) {
    // Four running sums each, so that the additions need not wait on each
    // other (this loop is a fifth of the extractor's time otherwise).
    float c[4] = {0, 0, 0, 0}, d[4] = {0, 0, 0, 0};
    for (int k = 0; k < kProfile; k += 4) {
      for (int j = 0; j < 4; ++j) {
        c[j] += s.cos_t[m][k + j] * profile[k + j];
        d[j] += s.sin_t[m][k + j] * profile[k + j];
      }
    }
    const float cs = (c[0] + c[1]) + (c[2] + c[3]), ds = (d[0] + d[1]) + (d[2] + d[3]);
    power[m] = cs * cs + ds * ds;
    if (power[m] > power[best]) best = m;
  }
  float offset = 0;
  if (best > 0 && best + 1 < kPeriods) {
    const float l = power[best - 1], c = power[best], r = power[best + 1];
    const float denom = l - 2 * c + r;
    if (denom < 0) offset = std::clamp(0.5f * (l - r) / denom, -0.5f, 0.5f);
  }
  *period = kMinPeriod + kPeriodStep * (static_cast<float>(best) + offset);
  // A pure sinusoid explains all of the windowed energy: power = (A W / 2)^2
  // against energy = A^2 W / 2.
  *wave = energy > 1e-6f ? std::min(1.0f, power[best] / (energy * s.window_sum * 0.5f)) : 0.0f;
}

}  // namespace

void MeasureRidgeWaves(ExtractWork* work) {
  ExtractWork& w = *work;
  BlockMaps& b = w.blocks;
  Sinusoids s;
  MakeSinusoids(&s);
  float* raw = b.quality;  // kept until SmoothRidgePeriod
  for (int by = 0; by < w.bh; ++by) {
    for (int bx = 0; bx < w.bw; ++bx) {
      const int i = by * w.bw + bx;
      b.wave[i] = 0;
      raw[i] = kDefaultPeriod;
      if (b.dev[i] < kFlatDev) continue;
      const float cx = static_cast<float>(bx * kBlock) + kBlock * 0.5f - 0.5f;
      const float cy = static_cast<float>(by * kBlock) + kBlock * 0.5f - 0.5f;
      MeasureBlock(w, s, cx, cy, b.orient[i], &raw[i], &b.wave[i]);
    }
  }
}

void SmoothRidgePeriod(ExtractWork* work) {
  ExtractWork& w = *work;
  BlockMaps& b = w.blocks;
  const int n = w.bw * w.bh;
  const float* raw = b.quality;
  // The print's usual period fills in where no block nearby has a clean one.
  float sum = 0, weight = 0;
  for (int i = 0; i < n; ++i) {
    if (b.mask[i] && b.wave[i] >= kMinWave) {
      sum += b.wave[i] * raw[i];
      weight += b.wave[i];
    }
  }
  const float usual = weight > 0 ? sum / weight : kDefaultPeriod;
  for (int by = 0; by < w.bh; ++by) {
    for (int bx = 0; bx < w.bw; ++bx) {
      float ps = 0, pw = 0;
      for (int dy = -kSmoothRadius; dy <= kSmoothRadius; ++dy) {
        for (int dx = -kSmoothRadius; dx <= kSmoothRadius; ++dx) {
          const int x = bx + dx, y = by + dy;
          if (x < 0 || y < 0 || x >= w.bw || y >= w.bh) continue;
          const int j = y * w.bw + x;
          if (!b.mask[j] || b.wave[j] < kMinWave) continue;
          const float g = b.wave[j] / static_cast<float>(1 + dx * dx + dy * dy);
          ps += g * raw[j];
          pw += g;
        }
      }
      b.period[by * w.bw + bx] = pw > 0.05f ? ps / pw : usual;
    }
  }
  for (int i = 0; i < n; ++i) {
    b.quality[i] = b.mask[i] ? std::sqrt(b.coherence[i]) * std::min(1.0f, b.wave[i] / 0.6f) : 0.0f;
  }
}

}  // namespace extract
