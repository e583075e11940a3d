// Synthetic fingerprints for the virtual reader: a deterministic master per
// finger identity (pattern class, orientation and frequency fields, ridge
// phase with minutiae at known places) and, per impression, contact region,
// pose, elastic distortion, ridge thickness and noise. Stateless and
// thread-safe; the caller owns every buffer.
#pragma once

#include <cstdint>

enum SynthQualityProfile { kSynthGood = 0, kSynthPoor = 1, kSynthNeverGood = 2 };

// A minutia of an impression in image pixels. angle is in radians in
// [0, 2*pi): 0 points along +x and angles grow counter-clockwise as seen on
// screen (y points down the image), the ISO 19794-2 convention. A ridge ending
// points from its end back along the ridge it terminates; a bifurcation points
// away from its stem, along the valley between its two branches (a ridge
// ending is the bifurcation of the valleys around it, seen from the other
// side).
struct SynthMinutia {
  float x, y;
  float angle;
  int type;     // 1 ridge ending, 2 bifurcation
  int quality;  // 0..100
};

inline constexpr int kSynthMaxMinutiae = 256;
inline constexpr int kSynthMinSide = 64;    // pixels, either dimension
inline constexpr int kSynthMaxSide = 1024;  // pixels, either dimension

struct SynthRequest {
  unsigned finger_id;   // identity: same id, same master
  unsigned impression;  // placement, pressure and noise of one touch
  int width, height;    // kSynthMinSide..kSynthMaxSide
  SynthQualityProfile profile;
  bool fake;  // a silicone/gelatin copy: plausible ridges but a liveness cue
              // the fake detection can see (see `liveness`)
};

// Pattern classes of the master (Henry classes).
enum SynthPatternClass {
  kSynthArch = 0,
  kSynthTentedArch = 1,
  kSynthLeftLoop = 2,
  kSynthRightLoop = 3,
  kSynthWhorl = 4,
};

// Result of one synthesis. minutiae[0..minutia_count) are those of the
// impression: master minutiae moved with its pose and distortion, kept only
// well inside the contact region.
struct SynthImpression {
  int minutia_count;
  SynthMinutia minutiae[kSynthMaxMinutiae];
  float liveness;  // 0..1, real fingers > 0.7, fakes < 0.3
  // Extras, for tests and tools.
  int pattern_class;         // SynthPatternClass of the master
  float rotation;            // radians applied to the master, |r| <= 15 degrees
  float offset_x, offset_y;  // pixels: where the master's centre landed
  float ridge_period;        // mean ridge period in pixels (8..10 at 500 dpi)
  int contact_left, contact_top, contact_right,
      contact_bottom;  // bounding box of
                       // the visible contact region, right/bottom exclusive
};

// Fills image (width*height bytes, row by row, top to bottom, 255 = white
// background, dark ridges) and *out. Returns 0, or -1 for bad arguments
// (sizes out of 64..1024, null pointers). Deterministic: the same request
// always gives the same image and minutiae.
int SynthesizeImpression(const SynthRequest* req, unsigned char* image, SynthImpression* out);

// Mask of the contact region of the same impression: 1 where the finger
// touched the glass well enough for ridges to show (the region minutiae are
// clipped to), 0 elsewhere. Same arguments and result codes as above; mask is
// width*height bytes. For tests and tools.
int SynthesizeContactMask(const SynthRequest* req, unsigned char* mask);
