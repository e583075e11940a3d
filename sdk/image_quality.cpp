// Fingerprint quality from the extractor's block analysis. Each foreground
// block is graded by how parallel its ridges are (coherence), how cleanly
// its profile across them follows one sinusoid (the wave: noise, smudges and
// breaks lower it), how strong the ridge-valley contrast is, and whether the
// ridge period is one a finger has; the image's score is the mean over the
// print. The constants were fitted so that 0..100 keeps the meaning it had at
// the thresholds pages use (docs/image-quality.md).

#include "sdk/image_quality.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/heap_owner.h"

namespace {

constexpr float kWaveFloor = 0.25f;   // a wave this weak is noise: clarity 0
constexpr float kFullDeviation = 48;  // grey-level deviation that counts as full contrast
constexpr float kOffPeriod = 0.3f;    // weight of a block whose ridges no finger has
constexpr float kGoodBlock = 0.65f;   // block quality that counts as clear ridges

struct BlockGrade {
  float clarity;  // 0..1
  float quality;  // 0..1
};

BlockGrade Grade(const ExtractBlockAnalysis& b) {
  BlockGrade g;
  g.clarity = std::clamp((b.wave - kWaveFloor) / (1.0f - kWaveFloor), 0.0f, 1.0f);
  const float contrast = std::min(1.0f, b.deviation / kFullDeviation);
  g.quality = b.coherence * std::sqrt(b.coherence) * g.clarity * std::sqrt(contrast) *
              (b.period_in_range ? 1.0f : kOffPeriod);
  return g;
}

// The last image graded and its features. A capture grades the same image up
// to three times (the attempt that ends the loop, the final measurement and
// NFIQ), and the analysis is the costly part; the pixels are compared in full,
// so a hit is always the same image.
struct LastImage {
  std::mutex lock;
  HeapBytes pixels;
  size_t capacity = 0;
  size_t size = 0;  // 0: nothing kept
  int width = 0, height = 0, ppi = 0;
  ImageQualityFeatures features{};
};

LastImage& Last() {
  static LastImage last;
  return last;
}

bool Recall(const unsigned char* image, int width, int height, int ppi, ImageQualityFeatures* out) {
  LastImage& last = Last();
  std::lock_guard<std::mutex> hold(last.lock);
  if (last.size == 0 || last.width != width || last.height != height || last.ppi != ppi ||
      std::memcmp(last.pixels.get(), image, last.size) != 0) {
    return false;
  }
  *out = last.features;
  return true;
}

void Remember(const unsigned char* image, int width, int height, int ppi,
              const ImageQualityFeatures& features) {
  const size_t size = static_cast<size_t>(width) * static_cast<size_t>(height);
  LastImage& last = Last();
  std::lock_guard<std::mutex> hold(last.lock);
  if (size > last.capacity) {
    last.size = 0;
    last.pixels.reset(static_cast<unsigned char*>(malloc(size)));
    last.capacity = last.pixels ? size : 0;
    if (!last.pixels) return;
  }
  std::memcpy(last.pixels.get(), image, size);
  last.size = size;
  last.width = width;
  last.height = height;
  last.ppi = ppi;
  last.features = features;
}

}  // namespace

int MeasureImageQualityFeaturesAtPpi(const unsigned char* image, int width, int height, int ppi,
                                     ImageQualityFeatures* out) {
  if (!image || !out || width < kQualityMinSide || height < kQualityMinSide ||
      width > kQualityMaxSide || height > kQualityMaxSide || ppi < 250 || ppi > 1000)
    return -1;
  std::memset(out, 0, sizeof(*out));
  if (Recall(image, width, height, ppi, out)) return 0;
  // An image larger than the analysis takes is graded on its centre, which
  // is where a reader shows the finger.
  const int w = std::min(width, kExtractMaxSide), h = std::min(height, kExtractMaxSide);
  HeapBytes centre;
  const unsigned char* pixels = image;
  if (w != width || h != height) {
    centre.reset(static_cast<unsigned char*>(malloc(static_cast<size_t>(w) * h)));
    if (!centre) return -1;
    const unsigned char* from =
        image + static_cast<size_t>((height - h) / 2) * width + (width - w) / 2;
    for (int y = 0; y < h; ++y) {
      std::memcpy(centre.get() + static_cast<size_t>(y) * w, from + static_cast<size_t>(y) * width,
                  static_cast<size_t>(w));
    }
    pixels = centre.get();
  }
  int bw = 0, bh = 0;
  if (ExtractAnalysisGrid(w, h, ppi, &bw, &bh) != kExtractOk) return -1;
  const size_t n = static_cast<size_t>(bw) * static_cast<size_t>(bh);
  std::unique_ptr<ExtractBlockAnalysis, HeapBlockFree> blocks(
      static_cast<ExtractBlockAnalysis*>(malloc(n * sizeof(ExtractBlockAnalysis))));
  if (!blocks) return -1;
  const ExtractImage img{{pixels, static_cast<size_t>(w) * h}, w, h, ppi};
  if (ExtractRidgeBlockMaps(img, {blocks.get(), n}) != kExtractOk) return -1;

  out->blocks = static_cast<int>(n);
  double coherence = 0, contrast = 0, clarity = 0, quality = 0;
  int freq_ok = 0, good = 0;
  for (size_t i = 0; i < n; ++i) {
    const ExtractBlockAnalysis& b = blocks.get()[i];
    if (!b.foreground) continue;
    const BlockGrade g = Grade(b);
    out->foreground_blocks++;
    coherence += b.coherence;
    // A sinusoid's swing is 2 sqrt(2) times its deviation.
    contrast += std::min(1.0f, 2.0f * std::sqrt(2.0f) * b.deviation / 255.0f);
    clarity += g.clarity;
    quality += g.quality;
    freq_ok += b.period_in_range;
    good += g.quality >= kGoodBlock ? 1 : 0;
  }
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
  const double area = std::max(static_cast<double>(fg), static_cast<double>(out->blocks) / 3.0);
  const int score = static_cast<int>(std::lround(100.0 * quality / area));
  out->score = std::clamp(score, 0, 100);
  if (!centre) Remember(image, width, height, ppi, *out);
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
