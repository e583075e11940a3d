// The extractor's stages up to the ridge period, run on their own for those
// who grade an image rather than extract from it (image quality, NFIQ), so
// that both read the ridges the same way.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "extract/extract_stages.h"
#include "extract/minutiae_extractor.h"
#include "platform/heap_owner.h"

namespace {

// Sides of the working image, or false when the image is not accepted.
bool AnalysisSize(int width, int height, int ppi, int* work_w, int* work_h) {
  if (ppi == 0) ppi = kExtractNativePpi;
  if (width < kExtractAnalysisMinSide || height < kExtractAnalysisMinSide ||
      width > kExtractMaxSide || height > kExtractMaxSide || ppi < kExtractMinPpi ||
      ppi > kExtractMaxPpi) {
    return false;
  }
  const double scale = static_cast<double>(kExtractNativePpi) / ppi;
  *work_w = static_cast<int>(std::lround(width * scale));
  *work_h = static_cast<int>(std::lround(height * scale));
  return *work_w >= kExtractAnalysisMinSide && *work_h >= kExtractAnalysisMinSide &&
         *work_w <= kExtractMaxWorkSide && *work_h <= kExtractMaxWorkSide;
}

constexpr int Blocks(int side) {
  return (side + extract::kBlock - 1) / extract::kBlock;
}

}  // namespace

int ExtractAnalysisGrid(int width, int height, int ppi, int* blocks_x, int* blocks_y) {
  int work_w = 0, work_h = 0;
  if (blocks_x == nullptr || blocks_y == nullptr ||
      !AnalysisSize(width, height, ppi, &work_w, &work_h)) {
    return kExtractBadImage;
  }
  *blocks_x = Blocks(work_w);
  *blocks_y = Blocks(work_h);
  return kExtractOk;
}

int ExtractRidgeBlockMaps(const ExtractImage& image, std::span<ExtractBlockAnalysis> blocks) {
  using namespace extract;
  int work_w = 0, work_h = 0;
  if (!AnalysisSize(image.width, image.height, image.ppi, &work_w, &work_h) ||
      image.pixels.data() == nullptr ||
      image.pixels.size() < static_cast<size_t>(image.width) * static_cast<size_t>(image.height)) {
    return kExtractBadImage;
  }
  const size_t n = static_cast<size_t>(Blocks(work_w)) * static_cast<size_t>(Blocks(work_h));
  if (blocks.size() < n) return kExtractBadImage;
  HeapBytes block(static_cast<unsigned char*>(malloc(WorkBytes(work_w, work_h))));
  if (!block) return kExtractNoMemory;
  ExtractWork work;
  LayoutWork(work_w, work_h, block.get(), &work);
  ResampleGreyImage(image.pixels.data(), image.width, image.height, work.grey, work_w, work_h);
  MeasureBlocks(&work);
  EstimateOrientation(&work);
  NormaliseImage(&work);
  MeasureRidgeWaves(&work);
  // Each block's own period, before smoothing spreads the print's usual one
  // over it: at either end of the search the ridges are finer or coarser
  // than a finger's.
  const BlockMaps& b = work.blocks;
  for (size_t i = 0; i < n; ++i) {
    const float own = b.quality[i];
    blocks[i].period_in_range = own > kMinPeriod && own < kMaxPeriod ? 1 : 0;
  }
  SegmentForeground(&work);
  SmoothRidgePeriod(&work);
  for (size_t i = 0; i < n; ++i) {
    ExtractBlockAnalysis& a = blocks[i];
    // The working frame turns clockwise on screen.
    a.orientation = b.orient[i] > 0 ? kPi - b.orient[i] : 0.0f;
    a.coherence = b.coherence[i];
    a.period = b.period[i];
    a.wave = b.wave[i];
    a.deviation = b.dev[i];
    a.foreground = b.mask[i];
  }
  return kExtractOk;
}
