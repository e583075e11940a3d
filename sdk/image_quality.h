// Image quality of a fingerprint image from the pixels alone (no knowledge of
// the generator), graded on the minutiae extractor's own block analysis
// (extract/minutiae_extractor.h: ridge orientation and coherence, ridge
// period and wave, grey-level deviation, foreground), so that the quality
// and the template read the ridges the same way. docs/image-quality.md gives
// the mapping to 0..100. Thread-safe; the caller owns the image. Each call
// allocates its working memory (a few MB at most) and frees it before it
// returns; a copy of the last image graded (up to 1 MB) and its features are
// kept, so that grading the same pixels again costs only their comparison.
#pragma once

#include "extract/minutiae_extractor.h"

inline constexpr int kQualityBlockPixels = kExtractBlockPixels;  // block side at 500 ppi
inline constexpr int kQualityMinSide = kExtractAnalysisMinSide;  // smaller images score 0
inline constexpr int kQualityMaxSide = 8192;                     // larger images are refused; above
                                              // kExtractMaxSide the centre is graded

// Per-image features, also the inputs of the NFIQ estimate. Blocks are
// kQualityBlockPixels square at 500 ppi, whatever the image's resolution.
struct ImageQualityFeatures {
  int blocks;                 // analysis blocks in the (graded part of the) image
  int foreground_blocks;      // blocks of the print
  float foreground_fraction;  // foreground_blocks / blocks
  float mean_coherence;       // 0..1 over foreground blocks, 1 = perfectly parallel ridges
  float mean_contrast;        // 0..1, ridge-valley grey-level swing / 255 over foreground
  float good_fraction;        // share of foreground blocks with clear, regular ridges
  float frequency_ok;         // share of foreground blocks with a ridge period of 5..15 px
  float mean_clarity;         // 0..1 ridge/valley separability over foreground
  int score;                  // the 0..100 quality
};

// 0..100 from the image alone (higher is better), for an image of 500 ppi.
// Returns 0 for images it cannot measure (null, sides outside
// kQualityMinSide..kQualityMaxSide, out of memory).
int MeasureImageQuality(const unsigned char* image, int width, int height);

// Same measurement with the features, for an image of 500 ppi. Returns 0 on
// success, -1 for bad arguments (null pointers, sides outside
// kQualityMinSide..kQualityMaxSide, out of memory).
int MeasureImageQualityFeatures(const unsigned char* image, int width, int height,
                                ImageQualityFeatures* out);

// The same for another resolution, which must lie in 250..1000 ppi: the image
// is brought to 500 ppi first, and its sides there must still be at least
// kQualityMinSide (else -1).
int MeasureImageQualityFeaturesAtPpi(const unsigned char* image, int width, int height, int ppi,
                                     ImageQualityFeatures* out);
