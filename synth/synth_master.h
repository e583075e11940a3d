// Master fingerprints behind the synthetic impressions: the identity of one
// finger (pattern class, singularities, ridge field, minutiae), built once per
// finger id and shared read-only by every impression. Masters live in a small
// process-wide cache guarded by a mutex, so any thread may ask for one.
#pragma once

#include <cstdint>

// Master coordinates are pixels at 500 ppi with the origin at the centre of
// the fingertip and y pointing down, the same orientation as an image.
inline constexpr int kMasterWidth = 400;   // pixels covered by the ridge field
inline constexpr int kMasterHeight = 520;  // pixels covered by the ridge field
inline constexpr int kMasterMaxMinutiae = 512;
inline constexpr int kMasterMaxSingular = 4;

struct MasterMinutia {
  float x, y;   // master coordinates
  float angle;  // radians, image convention of SynthMinutia
  int type;     // 1 ridge ending, 2 bifurcation
};

struct SynthMaster {
  unsigned finger_id;
  int pattern_class;   // SynthPatternClass
  float ridge_period;  // mean ridge period, pixels
  int core_count, delta_count;
  float core_x[kMasterMaxSingular], core_y[kMasterMaxSingular];
  float delta_x[kMasterMaxSingular], delta_y[kMasterMaxSingular];
  // Ridge field, kMasterWidth x kMasterHeight, row by row from the top-left
  // corner (-kMasterWidth/2, -kMasterHeight/2): -127 deepest valley .. 127
  // ridge crest; the ridge outline is where it crosses 0.
  int8_t field[kMasterWidth * kMasterHeight];
  int minutia_count;
  MasterMinutia minutiae[kMasterMaxMinutiae];
};

// The master of finger_id, built on first use. The pointer stays valid until
// ReleaseMaster; returns null only when memory runs out.
const SynthMaster* AcquireMaster(unsigned finger_id);
void ReleaseMaster(const SynthMaster* master);

// Ridge field at a master point, bilinear, -1..1; 0 outside the field.
float MasterFieldAt(const SynthMaster* master, float x, float y);

// Builds a master into *out without the cache (for tools and tests).
void BuildMaster(unsigned finger_id, SynthMaster* out);

// Deterministic pseudo-random numbers shared by the generator's parts.
struct SynthRng {
  uint64_t state;
};
void SynthRngSeed(SynthRng* rng, uint64_t a, uint64_t b, uint64_t c);
uint64_t SynthRngNext(SynthRng* rng);
float SynthRngUniform(SynthRng* rng, float lo, float hi);
float SynthRngGauss(SynthRng* rng);
