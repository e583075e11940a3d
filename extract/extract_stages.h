// The stages of the minutiae extractor and the working record they share.
// Internal to extract/ (minutiae_extractor.h is the module's interface): one
// ExtractWork per call, carved out of one heap block that the call owns; the
// stages run one after another on the calling thread.
//
// Frame: working pixels at 500 ppi, x to the right, y down. Inside the
// pipeline an angle is measured in that frame (atan2 of dy, dx with y down,
// so clockwise on screen); the public interface turns it round at the end.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace extract {

inline constexpr float kPi = 3.14159265358979f;
inline constexpr int kBlock = 8;           // pixels per block side
inline constexpr int kPad = 8;             // zero border of the float image: the Gabor radius
inline constexpr float kMinPeriod = 5.0f;  // plausible ridge period at 500 ppi, pixels
inline constexpr float kMaxPeriod = 15.0f;
inline constexpr int kMaxCandidates = 2048;  // minutiae considered before filtering
inline constexpr int kGaborAngles = 24;      // ridge directions the filters are tuned to
inline constexpr float kGaborPeriodStep = 0.5f;
inline constexpr int kGaborPeriods =
    static_cast<int>((kMaxPeriod - kMinPeriod) / kGaborPeriodStep) + 1;
inline constexpr int kGaborSide = 2 * kPad + 1;  // kernel side, pixels

// Per-block maps, bw * bh entries each, row by row.
struct BlockMaps {
  float* mean;  // grey-level mean over the 3 x 3 blocks around
  float* dev;   // grey-level standard deviation over the same window
  float* gxx;   // gradient structure tensor, sums over the block
  float* gyy;
  float* gxy;
  float* orient;     // ridge direction, radians in [0, pi), working frame
  float* coherence;  // 0..1 agreement of the gradients around the block
  float* period;     // ridge period, pixels
  float* wave;       // 0..1 share of the ridge signal that is one clean sinusoid
  float* quality;    // 0..1; 0 for background blocks
  uint8_t* mask;     // 1 foreground
  uint8_t* depth;    // blocks to the nearest background block or image edge (capped)
};

// A minutia candidate in the working frame.
struct Candidate {
  int x, y;      // skeleton pixel
  float px, py;  // where the minutia is reported (an ending: the tip of its ridge)
  float angle;   // direction, working frame
  uint8_t type;  // 1 ending, 2 bifurcation
  bool removed;
  float quality;  // 0..1
};

struct ExtractWork {
  int width, height;  // working image, pixels
  int bw, bh;         // blocks, the last row and column possibly partial
  uint8_t* grey;      // width * height, the image at 500 ppi
  int stride;         // row length of norm: width + 2 * kPad
  float* norm;        // (height + 2 kPad) * stride: normalised image, ridges positive,
                      // 0 on background and in the border
  float* enhanced;    // width * height Gabor response
  uint8_t* ridges;    // width * height: 1 ridge pixel; thinned in place to the skeleton
  BlockMaps blocks;
  float* kernels;      // kernel_slots Gabor kernels of kGaborSide^2, built when first needed
  int16_t* kernel_of;  // kernel slot per (angle bin, period bin), -1 not built
  int kernel_slots;    // no more kernels than blocks are ever needed
  int kernels_built;
  Candidate* candidates;  // kMaxCandidates
};

// Bytes of the working block for a working image of that size.
size_t WorkBytes(int width, int height);
// Carves the maps, images and lists out of block (WorkBytes bytes from
// malloc); grey points at the block's own copy of the image.
void LayoutWork(int width, int height, unsigned char* block, ExtractWork* work);

// segmentation.cpp: grey-level statistics per block; then, from them, the
// coherence and the wave, the foreground mask and each block's depth inside it.
void MeasureBlocks(ExtractWork* work);
void SegmentForeground(ExtractWork* work);

// orientation_field.cpp: gradient structure tensor per block, smoothed into
// the ridge direction and its coherence.
void EstimateOrientation(ExtractWork* work);

// ridge_frequency.cpp: ridge period and wave of every block with some
// contrast, from the grey-level profile across the ridges of the normalised
// image (the raw periods are kept in quality); then, once the foreground is
// known, the period smoothed over it and each block's quality.
void MeasureRidgeWaves(ExtractWork* work);
void SmoothRidgePeriod(ExtractWork* work);

// ridge_enhancement.cpp: normalised image and its response to Gabor filters
// tuned to each block's direction and period.
void NormaliseImage(ExtractWork* work);
void EnhanceRidges(ExtractWork* work);

// ridge_thinning.cpp: the ridge pixels of the enhanced image, thinned to a
// skeleton one pixel wide.
void BinariseAndThin(ExtractWork* work);

// minutiae_detection.cpp: crossing-number candidates on the skeleton with
// their direction; returns their number (at most capacity).
int DetectMinutiae(const ExtractWork& work, Candidate* candidates, int capacity);

// minutiae_filter.cpp: marks false minutiae as removed (border, spurs,
// bridges, breaks, close pairs, poor blocks) and sets each one's quality.
void FilterMinutiae(const ExtractWork& work, Candidate* candidates, int count);

// Helpers shared by the stages.
// Nearest integer, halves away from zero, inline (std::lround is a library
// call, and the stages round millions of sample positions).
inline int RoundToInt(float v) {
  return static_cast<int>(v < 0.0f ? v - 0.5f : v + 0.5f);
}
inline int BlockIndex(const ExtractWork& w, int bx, int by) {
  return by * w.bw + bx;
}
inline int BlockOfPixel(const ExtractWork& w, int x, int y) {
  return (y / kBlock) * w.bw + (x / kBlock);
}
// The 8 neighbours of a pixel as bits, clockwise on screen from the top:
// bit 0 N, 1 NE, 2 E, 3 SE, 4 S, 5 SW, 6 W, 7 NW.
inline constexpr int kNeighbourDx[8] = {0, 1, 1, 1, 0, -1, -1, -1};
inline constexpr int kNeighbourDy[8] = {-1, -1, 0, 1, 1, 1, 0, -1};
inline int NeighbourCode(const uint8_t* p, int stride) {
  return (p[-stride] ? 1 : 0) | (p[1 - stride] ? 2 : 0) | (p[1] ? 4 : 0) | (p[1 + stride] ? 8 : 0) |
         (p[stride] ? 16 : 0) | (p[stride - 1] ? 32 : 0) | (p[-1] ? 64 : 0) |
         (p[-1 - stride] ? 128 : 0);
}

// What a neighbourhood code says about its centre pixel.
struct Neighbourhood {
  uint8_t count;     // neighbours set
  uint8_t crossing;  // crossing number: runs of set neighbours around the ring
  bool thin_first;   // removable in the first sub-pass of Zhang-Suen thinning
  bool thin_second;  // removable in the second
};

constexpr std::array<Neighbourhood, 256> MakeNeighbourhoods() {
  std::array<Neighbourhood, 256> t{};
  for (int code = 0; code < 256; ++code) {
    auto bit = [code](int i) { return (code >> (i & 7)) & 1; };
    int count = 0, runs = 0;
    for (int i = 0; i < 8; ++i) {
      count += bit(i);
      runs += (bit(i) == 0 && bit(i + 1) == 1) ? 1 : 0;
    }
    const int n = bit(0), e = bit(2), s = bit(4), w = bit(6);
    const bool base = count >= 2 && count <= 6 && runs == 1;
    t[code].count = static_cast<uint8_t>(count);
    t[code].crossing = static_cast<uint8_t>(count == 8 ? 0 : runs);
    t[code].thin_first = base && n * e * s == 0 && e * s * w == 0;
    t[code].thin_second = base && n * e * w == 0 && n * s * w == 0;
  }
  return t;
}
inline constexpr std::array<Neighbourhood, 256> kNeighbourhoods = MakeNeighbourhoods();

// Skeleton tracing: follows the skeleton from (x, y) starting with the step to
// (nx, ny) for at most max_steps pixels; stops early at an ending or a
// junction. Returns the steps made and the last pixel in *ex, *ey; *stop is 0
// when max_steps ran out, 1 at an ending, 3 at a junction.
int TraceSkeleton(const ExtractWork& work, int x, int y, int nx, int ny, int max_steps, int* ex,
                  int* ey, int* stop);
// Crossing number of skeleton pixel (x, y), which must not lie on the image
// edge (the skeleton never reaches it).
inline int CrossingNumber(const ExtractWork& work, int x, int y) {
  const uint8_t* p = work.ridges + static_cast<size_t>(y) * work.width + x;
  return kNeighbourhoods[NeighbourCode(p, work.width)].crossing;
}

}  // namespace extract
