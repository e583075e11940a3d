// Image quality of a fingerprint image from the pixels alone (no knowledge of
// the generator): ridge orientation coherence, ridge-valley contrast and
// ridge-frequency plausibility over the foreground blocks. Stateless and
// thread-safe; the caller owns the image.
#pragma once

inline constexpr int kQualityBlockPixels = 16;  // side of an analysis block
inline constexpr int kQualityMinSide = 32;      // smaller images score 0
inline constexpr int kQualityMaxSide = 8192;    // larger images are refused

// Per-image features, also the inputs of the NFIQ estimate.
struct ImageQualityFeatures {
  int blocks;                 // analysis blocks in the image
  int foreground_blocks;      // blocks with ridge structure
  float foreground_fraction;  // foreground_blocks / blocks
  float mean_coherence;       // 0..1 over foreground blocks, 1 = perfectly parallel ridges
  float mean_contrast;        // 0..1, ridge-valley grey-level swing / 255 over foreground
  float good_fraction;        // share of foreground blocks with clear, regular ridges
  float frequency_ok;         // share of foreground blocks with a ridge period of 5..15 px
  float mean_clarity;         // 0..1 ridge/valley separability over foreground
  int score;                  // the 0..100 quality
};

// 0..100 from the image alone (higher is better); no knowledge of the
// generator. Returns 0 for images it cannot measure (null, sides outside
// kQualityMinSide..kQualityMaxSide).
int MeasureImageQuality(const unsigned char* image, int width, int height);

// Same measurement with the features, for an image of 500 ppi. Returns 0 on
// success, -1 for bad arguments (null pointers, sides outside
// kQualityMinSide..kQualityMaxSide, out of memory).
int MeasureImageQualityFeatures(const unsigned char* image, int width, int height,
                                ImageQualityFeatures* out);

// The same for another resolution: the plausible ridge period (5..15 pixels
// at 500 ppi) scales with ppi, which must lie in 250..1000.
int MeasureImageQualityFeaturesAtPpi(const unsigned char* image, int width, int height, int ppi,
                                     ImageQualityFeatures* out);
