// What to tell the user while a finger is placed, from the frame alone: how
// much of the sensor the finger covers and where, how light or dark its
// ridges are, and whether the quality still improves. Pure functions over a
// caller-owned image; the trend record belongs to one capture. Any thread.
// docs/events.md explains the rules to page authors.
#pragma once

#include <cstdint>
#include <span>

// Side of the square blocks a frame is judged by, in pixels.
inline constexpr int kGuidanceBlockPixels = 8;
// A block whose grey levels spread at least this much (standard deviation,
// 0..255) holds ridges; a bare or evenly lit sensor spreads far less.
inline constexpr double kForegroundSpread = 12.0;
// Below this share of foreground blocks nothing counts as a finger.
inline constexpr double kNoFingerCoverage = 0.10;
// A centroid further than this from the sensor's middle, as a share of the
// side, asks the user to move the finger.
inline constexpr double kOffCentre = 0.15;
// Foreground mean grey above this reads as a finger pressed too lightly (or a
// dry one); below kTooDarkMean as one pressed too hard (or wet).
inline constexpr int kTooLightMean = 185;
inline constexpr int kTooDarkMean = 70;
// Ridge contrast (mean block spread / 128) under this also reads as too light.
inline constexpr double kLowContrast = 0.12;
// Frames in a row without a better quality before a stalled capture is
// blamed on pressure.
inline constexpr int kStalledFrames = 3;

enum class Guidance : uint8_t {
  kNoFinger,
  kTooLight,
  kTooDark,
  kMoveUp,
  kMoveDown,
  kMoveLeft,
  kMoveRight,
  kHold,
  kGood,
};

// "NoFinger", "TooLight", ... as the events carry them.
const char* GuidanceName(Guidance guidance);

// What one frame shows. Centroid 0..1 from the left and from the top edge.
struct FrameMeasure {
  double coverage;    // foreground blocks / all blocks
  double centroid_x;  // of the foreground blocks; 0.5 when there are none
  double centroid_y;
  int mean_grey;    // over the foreground blocks; 255 when there are none
  double contrast;  // mean spread of the foreground blocks / 128, at most 1
};

// Measures width x height grey bytes (top row first). A frame smaller than
// one block, or an image shorter than its size, measures as empty.
FrameMeasure MeasureFrame(std::span<const unsigned char> image, int width, int height);

// The best quality of one capture so far and how long it has stood.
struct GuidanceTrend {
  int best_quality = -1;
  int frames_without_gain = 0;
};

// The advice for a frame of the given quality (0..100) against the capture's
// threshold, in this order: no finger; off centre (the larger offset wins);
// too light or too dark; good once the quality reaches the threshold; hold
// while it still improves; after kStalledFrames frames without gain, too
// light or too dark by the frame's mean grey. Updates *trend.
Guidance GuideFrame(const FrameMeasure& frame, int quality, int quality_threshold,
                    GuidanceTrend* trend);
