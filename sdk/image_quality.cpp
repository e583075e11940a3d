// Block-wise fingerprint quality. For every 16x16 block: the orientation and
// its coherence from the gradient structure tensor, then a grey-level profile
// across the ridges whose strongest period gives the ridge frequency, the
// ridge-valley amplitude and the share of the local variance the ridges
// explain (clarity: noise, smudges and breaks lower it).

#include "sdk/image_quality.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

constexpr float kPi = 3.14159265358979f;
constexpr int kBlock = kQualityBlockPixels;
constexpr int kTensorMargin = 6;  // the orientation window reaches this far past the block
constexpr int kProfileHalf = 16;  // pixels across the ridges, each side of the centre
constexpr int kProfileBins = 2 * kProfileHalf;
constexpr int kProfileAlong = 8;        // pixels along the ridges, each side of the centre
constexpr float kForegroundStd = 9.0f;  // grey levels; the glass alone stays below
constexpr float kMinAmplitude = 8.0f;   // grey levels of ridge wave that make a block foreground
constexpr float kFullAmplitude =
    55.0f;                           // ridge amplitude (grey levels) that counts as full contrast
constexpr float kGoodBlock = 0.55f;  // block quality that counts as clear ridges

struct BlockResult {
  bool foreground;
  float coherence, clarity, amplitude, period;
  bool period_ok;
  float quality;  // 0..1
};

void MeasureBlock(const unsigned char* img, int w, int h, int bx, int by, float pmin, float pmax,
                  BlockResult* r) {
  std::memset(r, 0, sizeof(*r));
  const int cx = bx + kBlock / 2, cy = by + kBlock / 2;

  // Grey-level spread of the block decides whether anything is there.
  double sum = 0, sum2 = 0;
  for (int y = by; y < by + kBlock; y++) {
    for (int x = bx; x < bx + kBlock; x++) {
      const double v = img[y * w + x];
      sum += v;
      sum2 += v * v;
    }
  }
  const double n = kBlock * kBlock;
  const double mean = sum / n;
  const float block_std = static_cast<float>(std::sqrt(std::fmax(0.0, sum2 / n - mean * mean)));
  if (block_std < kForegroundStd) return;

  // Structure tensor over the block and a margin around it.
  double sxx = 0, syy = 0, sxy = 0;
  const int x0 = bx - kTensorMargin > 1 ? bx - kTensorMargin : 1;
  const int y0 = by - kTensorMargin > 1 ? by - kTensorMargin : 1;
  const int x1 = bx + kBlock + kTensorMargin < w - 1 ? bx + kBlock + kTensorMargin : w - 1;
  const int y1 = by + kBlock + kTensorMargin < h - 1 ? by + kBlock + kTensorMargin : h - 1;
  for (int y = y0; y < y1; y++) {
    const unsigned char* up = img + (y - 1) * w;
    const unsigned char* mid = img + y * w;
    const unsigned char* down = img + (y + 1) * w;
    for (int x = x0; x < x1; x++) {
      const int gx =
          (up[x + 1] + 2 * mid[x + 1] + down[x + 1]) - (up[x - 1] + 2 * mid[x - 1] + down[x - 1]);
      const int gy =
          (down[x - 1] + 2 * down[x] + down[x + 1]) - (up[x - 1] + 2 * up[x] + up[x + 1]);
      sxx += static_cast<double>(gx) * gx;
      syy += static_cast<double>(gy) * gy;
      sxy += static_cast<double>(gx) * gy;
    }
  }
  const double trace = sxx + syy;
  if (trace <= 0) return;
  r->coherence = static_cast<float>(std::sqrt((sxx - syy) * (sxx - syy) + 4 * sxy * sxy) / trace);
  // Dominant gradient direction = normal to the ridges.
  const float normal = 0.5f * static_cast<float>(std::atan2(2 * sxy, sxx - syy));
  const float nx = std::cos(normal), ny = std::sin(normal);

  // Profile across the ridges in an oriented window.
  float profile[kProfileBins] = {};
  int counts[kProfileBins] = {};
  double psum = 0, psum2 = 0;
  int pn = 0;
  const int reach = kProfileHalf + 2;
  for (int dy = -reach; dy <= reach; dy++) {
    const int y = cy + dy;
    if (y < 0 || y >= h) continue;
    for (int dx = -reach; dx <= reach; dx++) {
      const int x = cx + dx;
      if (x < 0 || x >= w) continue;
      const float t = dx * nx + dy * ny, s = -dx * ny + dy * nx;
      if (t < -kProfileHalf || t >= kProfileHalf || s < -kProfileAlong || s > kProfileAlong)
        continue;
      const int bin = static_cast<int>(t + kProfileHalf);
      if (bin < 0 || bin >= kProfileBins) continue;  // t + kProfileHalf can round up to the edge
      const float v = img[y * w + x];
      profile[bin] += v;
      counts[bin]++;
      psum += v;
      psum2 += static_cast<double>(v) * v;
      pn++;
    }
  }
  if (pn < kProfileBins) return;
  const float pmean = static_cast<float>(psum / pn);
  const float pvar =
      static_cast<float>(std::fmax(1.0, psum2 / pn - static_cast<double>(pmean) * pmean));
  int filled = 0;
  for (int i = 0; i < kProfileBins; i++) {
    profile[i] = counts[i] ? profile[i] / counts[i] - pmean : 0.0f;
    filled += counts[i] > 0;
  }

  // Strongest sinusoid across the profile, periods searched in half pixels
  // (and a little beyond the plausible range, so that a period at the limit
  // is seen as such).
  float best_amp = 0, best_period = 0;
  for (float period = pmin * 0.8f; period <= pmax * 1.2f; period += 0.5f) {
    const float step = 2 * kPi / period;
    const float cs = std::cos(step), sn = std::sin(step);
    float re = 0, im = 0, c = 1, s = 0;  // (c, s) turns by step per bin
    for (int i = 0; i < kProfileBins; i++) {
      re += profile[i] * c;
      im += profile[i] * s;
      const float next = c * cs - s * sn;
      s = s * cs + c * sn;
      c = next;
    }
    const float amp = 2.0f * std::sqrt(re * re + im * im) / static_cast<float>(filled);
    if (amp > best_amp) {
      best_amp = amp;
      best_period = period;
    }
  }
  // Noise alone can spread the grey levels; a print also has a ridge wave.
  if (best_amp < kMinAmplitude) return;
  r->foreground = true;
  r->amplitude = best_amp;
  r->period = best_period;
  r->period_ok = best_period >= pmin && best_period <= pmax;
  r->clarity = std::fmin(1.0f, 0.5f * best_amp * best_amp / pvar);
  const float contrast = std::fmin(1.0f, best_amp / kFullAmplitude);
  r->quality =
      std::sqrt(r->coherence) * r->clarity * std::sqrt(contrast) * (r->period_ok ? 1.0f : 0.3f);
}

}  // namespace

int MeasureImageQualityFeaturesAtPpi(const unsigned char* image, int width, int height, int ppi,
                                     ImageQualityFeatures* out) {
  if (!image || !out || width < kQualityMinSide || height < kQualityMinSide ||
      width > kQualityMaxSide || height > kQualityMaxSide || ppi < 250 || ppi > 1000)
    return -1;
  std::memset(out, 0, sizeof(*out));
  const float scale = static_cast<float>(ppi) / 500.0f;
  const float pmin = 5.0f * scale, pmax = 15.0f * scale;
  const int bw = width / kBlock, bh = height / kBlock;
  const int ox = (width - bw * kBlock) / 2, oy = (height - bh * kBlock) / 2;
  out->blocks = bw * bh;

  double coherence = 0, contrast = 0, clarity = 0, quality = 0;
  int freq_ok = 0, good = 0;
  for (int j = 0; j < bh; j++) {
    for (int i = 0; i < bw; i++) {
      BlockResult r;
      MeasureBlock(image, width, height, ox + i * kBlock, oy + j * kBlock, pmin, pmax, &r);
      if (!r.foreground) continue;
      out->foreground_blocks++;
      coherence += r.coherence;
      contrast += std::fmin(1.0f, 2.0f * r.amplitude / 255.0f);
      clarity += r.clarity;
      quality += r.quality;
      freq_ok += r.period_ok;
      good += r.quality >= kGoodBlock;
    }
  }
  if (out->blocks == 0) return 0;
  const int fg = out->foreground_blocks;
  out->foreground_fraction = static_cast<float>(fg) / out->blocks;
  if (fg > 0) {
    out->mean_coherence = static_cast<float>(coherence / fg);
    out->mean_contrast = static_cast<float>(contrast / fg);
    out->mean_clarity = static_cast<float>(clarity / fg);
    out->good_fraction = static_cast<float>(good) / fg;
    out->frequency_ok = static_cast<float>(freq_ok) / fg;
  }
  // A print that covers only a corner of the window is worth less than its
  // clear blocks alone suggest: below a third of the window the missing area
  // counts as blocks of quality 0.
  const double area = std::fmax(static_cast<double>(fg), out->blocks / 3.0);
  // The power spreads the upper range, where captures are accepted or not.
  const double raw = std::pow(quality / area, 0.75);
  int score = static_cast<int>(std::lround(100.0 * raw));
  out->score = score < 0 ? 0 : score > 100 ? 100 : score;
  return 0;
}

int MeasureImageQualityFeatures(const unsigned char* image, int width, int height,
                                ImageQualityFeatures* out) {
  return MeasureImageQualityFeaturesAtPpi(image, width, height, 500, out);
}

int MeasureImageQuality(const unsigned char* image, int width, int height) {
  ImageQualityFeatures f;
  if (MeasureImageQualityFeatures(image, width, height, &f) != 0) return 0;
  return f.score;
}
