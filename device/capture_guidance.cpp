#include "device/capture_guidance.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace {

constexpr const char* kGuidanceNames[] = {"NoFinger", "TooLight",  "TooDark", "MoveUp", "MoveDown",
                                          "MoveLeft", "MoveRight", "Hold",    "Good"};

}  // namespace

const char* GuidanceName(Guidance guidance) {
  return kGuidanceNames[static_cast<int>(guidance)];
}

FrameMeasure MeasureFrame(std::span<const unsigned char> image, int width, int height) {
  FrameMeasure m = {0.0, 0.5, 0.5, 255, 0.0};
  const int bx = width / kGuidanceBlockPixels;
  const int by = height / kGuidanceBlockPixels;
  if (bx <= 0 || by <= 0 || image.size() < static_cast<size_t>(width) * height) return m;
  constexpr double kCount = kGuidanceBlockPixels * kGuidanceBlockPixels;
  int foreground = 0;
  double sum_x = 0, sum_y = 0, sum_mean = 0, sum_spread = 0;
  for (int j = 0; j < by; j++) {
    for (int i = 0; i < bx; i++) {
      double sum = 0, sum_sq = 0;
      for (int y = 0; y < kGuidanceBlockPixels; y++) {
        const unsigned char* row = image.data() +
                                   static_cast<size_t>(j * kGuidanceBlockPixels + y) * width +
                                   i * kGuidanceBlockPixels;
        for (int x = 0; x < kGuidanceBlockPixels; x++) {
          sum += row[x];
          sum_sq += static_cast<double>(row[x]) * row[x];
        }
      }
      const double mean = sum / kCount;
      const double spread = std::sqrt(std::max(0.0, sum_sq / kCount - mean * mean));
      if (spread < kForegroundSpread) continue;
      foreground++;
      sum_x += (i + 0.5) / bx;
      sum_y += (j + 0.5) / by;
      sum_mean += mean;
      sum_spread += spread;
    }
  }
  m.coverage = static_cast<double>(foreground) / (bx * by);
  if (foreground == 0) return m;
  m.centroid_x = sum_x / foreground;
  m.centroid_y = sum_y / foreground;
  m.mean_grey = static_cast<int>(std::lround(sum_mean / foreground));
  m.contrast = std::min(1.0, sum_spread / foreground / 128.0);
  return m;
}

Guidance GuideFrame(const FrameMeasure& frame, int quality, int quality_threshold,
                    GuidanceTrend* trend) {
  if (frame.coverage < kNoFingerCoverage) {
    *trend = GuidanceTrend{};
    return Guidance::kNoFinger;
  }
  const double dx = frame.centroid_x - 0.5;
  const double dy = frame.centroid_y - 0.5;
  if (std::max(std::fabs(dx), std::fabs(dy)) > kOffCentre) {
    // The finger lies toward one edge: it should move the other way.
    if (std::fabs(dy) >= std::fabs(dx)) return dy < 0 ? Guidance::kMoveDown : Guidance::kMoveUp;
    return dx < 0 ? Guidance::kMoveRight : Guidance::kMoveLeft;
  }
  if (frame.mean_grey > kTooLightMean || frame.contrast < kLowContrast) return Guidance::kTooLight;
  if (frame.mean_grey < kTooDarkMean) return Guidance::kTooDark;
  if (quality >= quality_threshold) return Guidance::kGood;
  if (quality > trend->best_quality) {
    trend->best_quality = quality;
    trend->frames_without_gain = 0;
    return Guidance::kHold;
  }
  if (++trend->frames_without_gain < kStalledFrames) return Guidance::kHold;
  return frame.mean_grey >= 128 ? Guidance::kTooLight : Guidance::kTooDark;
}
