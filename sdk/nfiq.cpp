// NFIQ-scale estimate from the block features of image_quality: a utility in
// 0..1 from the overall quality, the share of clear blocks and the size of
// the print, cut into the five NFIQ levels. The confidence says how far the
// utility lies from the nearest cut.

#include "sdk/nfiq.h"

#include <cmath>

#include "sdk/image_quality.h"

namespace {

// Utility cuts between NFIQ 1|2, 2|3, 3|4 and 4|5.
constexpr float kCuts[4] = {0.66f, 0.54f, 0.40f, 0.22f};
constexpr float kCutSpread = 0.06f;  // utility distance that gives full confidence
// Fewer foreground blocks than this (8x8 pixels each at 500 ppi, about
// 16 mm^2 in all) is too little finger to match on, whatever its quality:
// NFIQ 5.
constexpr float kMinUsefulBlocks = 96.0f;
// Foreground blocks (about 106 mm^2) from which the print's size no longer
// adds to the utility.
constexpr float kFullSizeBlocks = 640.0f;

float Utility(const ImageQualityFeatures& f) {
  const float size = std::fmin(1.0f, static_cast<float>(f.foreground_blocks) / kFullSizeBlocks);
  return 0.7f * static_cast<float>(f.score) / 100.0f + 0.3f * f.good_fraction * size;
}

}  // namespace

int NFIQ_ComputeNfiq(int* nfiq, float* confidence, const unsigned char* image, int width,
                     int height, int depth, int ppi, int* flags) {
  if (flags) *flags = 0;
  if (!nfiq || !image || width < kNfiqMinSide || height < kNfiqMinSide || width > kNfiqMaxSide ||
      height > kNfiqMaxSide)
    return kNfiqBadArgument;
  if (depth != 8) return kNfiqBadDepth;
  // An unknown resolution (0) is taken as 500 ppi, as grading tools do.
  if (ppi == 0) ppi = 500;
  if (ppi < kNfiqMinPpi || ppi > kNfiqMaxPpi) return kNfiqBadPpi;

  ImageQualityFeatures f;
  if (MeasureImageQualityFeaturesAtPpi(image, width, height, ppi, &f) != 0) return kNfiqBadArgument;
  if (f.foreground_blocks == 0) return kNfiqNoFingerprint;

  // The blocks are those of the image brought to 500 ppi: a count is an area.
  const float blocks = static_cast<float>(f.foreground_blocks);
  const float u = Utility(f);
  int level = 5;
  for (int i = 0; i < 4; i++) {
    if (u >= kCuts[i]) {
      level = i + 1;
      break;
    }
  }
  float margin;
  if (blocks < kMinUsefulBlocks) {
    level = 5;
    margin = (kMinUsefulBlocks - blocks) / kMinUsefulBlocks;
  } else {
    margin = 1.0f;
    for (float cut : kCuts) margin = std::fmin(margin, std::fabs(u - cut));
    margin /= kCutSpread;
  }
  *nfiq = level;
  if (confidence) *confidence = 0.5f + 0.5f * std::fmin(1.0f, margin);
  return kNfiqOk;
}
