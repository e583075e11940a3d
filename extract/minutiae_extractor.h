// Minutiae from the pixels of a fingerprint image: foreground segmentation,
// ridge orientation and period, contextual (Gabor) enhancement, binarisation,
// thinning, crossing-number detection and false-minutiae removal.
//
// Pure functions of their arguments: no global state, no exceptions, so any
// number of threads may extract at once. The caller owns the image and the
// output spans. Each call allocates one working block on the heap, sized by
// the image and never above kExtractMaxWorkBytes, and frees it before it
// returns. Results: kExtractOk (0) or one of the negative codes below.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// Accepted images. Sides are those of the image as given; an image of another
// resolution is resampled to 500 ppi, and the resampled image must keep both
// sides within kExtractMinWorkSide..kExtractMaxWorkSide.
inline constexpr int kExtractMinSide = 64;  // pixels, either side
inline constexpr int kExtractMaxSide = 1024;
inline constexpr int kExtractNativePpi = 500;  // ridge period 8-12 px; the pipeline's constants
inline constexpr int kExtractMinPpi = 250;
inline constexpr int kExtractMaxPpi = 1000;
inline constexpr int kExtractMinWorkSide = 48;
inline constexpr int kExtractMaxWorkSide = 1024;
inline constexpr int kExtractBlockPixels = 8;  // side of a block of the maps, at 500 ppi
// Largest working block one call allocates: about 11.5 bytes per working pixel.
inline constexpr size_t kExtractMaxWorkBytes = 14u << 20;

inline constexpr int kExtractOk = 0;
inline constexpr int kExtractBadImage = -1;  // null or short pixels, a side or ppi out of range
inline constexpr int kExtractNoMemory = -2;  // the working block could not be allocated

// Types as the ISO/ANSI minutiae records code them.
enum ExtractMinutiaType : uint8_t { kExtractEnding = 1, kExtractBifurcation = 2 };

// One minutia, in the pixels of the image that was given.
struct ExtractedMinutia {
  float x, y;       // y counts down from the top edge
  float angle;      // radians in [0, 2 pi), counter-clockwise on screen from +x
                    // (see below for the sense)
  uint8_t type;     // ExtractMinutiaType
  uint8_t quality;  // 1..100: clarity of the ridges around it
};
// Direction sense, the templates' convention: a ridge ending points from its
// end back along the ridge it terminates; a bifurcation points away from its
// stem, along the valley between its two branches.

// An 8-bit grey image: width * height bytes, row by row from the top, dark
// ridges on a lighter background.
struct ExtractImage {
  std::span<const uint8_t> pixels;
  int width, height;
  int ppi;  // 0: unknown, taken as 500
};

// Finds the minutiae of image and writes up to out.size() of them, in scan
// order (top to bottom, left to right); *count is their number. When more are
// found than out can hold, those of highest quality are kept. An image with
// no ridges gives 0 minutiae and kExtractOk.
[[nodiscard]] int ExtractMinutiae(const ExtractImage& image, std::span<ExtractedMinutia> out,
                                  int* count);

// Block maps of the working image (500 ppi), for tools and tests: one entry
// per kExtractBlockPixels square block, row by row. Spans may be empty when a
// map is not wanted; otherwise each must hold blocks_x * blocks_y entries
// (ExtractBlockGrid gives them).
struct ExtractMaps {
  std::span<float> orientation;  // ridge direction, radians in [0, pi), counter-clockwise on screen
  std::span<float> period;       // ridge period, working pixels
  std::span<uint8_t> quality;    // 0 background, 1..100 foreground clarity
};

// Blocks of the working image of an image of that size and resolution.
// Returns kExtractOk or kExtractBadImage.
[[nodiscard]] int ExtractBlockGrid(int width, int height, int ppi, int* blocks_x, int* blocks_y);

[[nodiscard]] int ExtractRidgeMaps(const ExtractImage& image, const ExtractMaps& maps);

// The extractor's ridge analysis block by block, without the minutiae: what
// image quality grades an image by. One record per kExtractBlockPixels square
// block of the working image (500 ppi), row by row; blocks on the right and
// bottom edges may be partial. Accepts images with sides of
// kExtractAnalysisMinSide..kExtractMaxSide whose working image keeps both
// sides within kExtractAnalysisMinSide..kExtractMaxWorkSide (smaller than the
// extractor's own minimum: a print that small still has ridges to grade).
inline constexpr int kExtractAnalysisMinSide = 32;

struct ExtractBlockAnalysis {
  float orientation;        // ridge direction, radians in [0, pi), counter-clockwise on screen
  float coherence;          // 0..1: how well the gradients around the block agree on it
  float period;             // ridge period in working pixels, smoothed over the print
  float wave;               // 0..1: share of the profile across the ridges one sinusoid explains
  float deviation;          // grey-level standard deviation over the 3 x 3 blocks around, 0..128
  uint8_t foreground;       // 1: part of the print (after the mask is cleaned of islands and holes)
  uint8_t period_in_range;  // 1: the block's own period lies inside the 5-15 px searched,
                            // not at either end (ridges no finger has give an end)
};

// Blocks of the analysis of an image of that size and resolution (ppi 0:
// 500). Returns kExtractOk or kExtractBadImage.
[[nodiscard]] int ExtractAnalysisGrid(int width, int height, int ppi, int* blocks_x, int* blocks_y);

// Analyses image into blocks, which must hold blocks_x * blocks_y records
// (ExtractAnalysisGrid). Returns kExtractOk, kExtractBadImage (image not
// accepted, blocks too short) or kExtractNoMemory. An image without ridges is
// analysed like any other: its blocks are background.
[[nodiscard]] int ExtractRidgeBlockMaps(const ExtractImage& image,
                                        std::span<ExtractBlockAnalysis> blocks);

// Bilinear resampling of an 8-bit grey image of src_w x src_h into dst_w x
// dst_h, pixel centres mapped onto each other (the extractor's own step to
// 500 ppi, shared with readers whose sensors have another resolution). Sides
// must be positive and the buffers hold them; equal sizes copy the bytes.
void ResampleGreyImage(const uint8_t* src, int src_w, int src_h, uint8_t* dst, int dst_w,
                       int dst_h);
