// The extractor's entry points: checks the image, brings it to 500 ppi, runs
// the stages (extract_stages.h) in one working block and hands the minutiae
// back in the caller's pixels and the templates' angle convention.
#include "extract/minutiae_extractor.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "extract/extract_stages.h"
#include "platform/heap_owner.h"

namespace extract {
namespace {

constexpr size_t kAlign = 64;

constexpr size_t Aligned(size_t bytes) {
  return (bytes + kAlign - 1) / kAlign * kAlign;
}

constexpr int NormStride(int width) {
  return (width + kBlock - 1) / kBlock * kBlock + 2 * kPad;
}

constexpr int KernelSlots(int blocks) {
  return std::min(blocks, kGaborAngles * kGaborPeriods);
}

constexpr size_t WorkBlockBytes(int width, int height) {
  const size_t pixels = static_cast<size_t>(width) * height;
  const int bw = (width + kBlock - 1) / kBlock, bh = (height + kBlock - 1) / kBlock;
  const size_t blocks = static_cast<size_t>(bw) * bh;
  const size_t norm = static_cast<size_t>(NormStride(width)) * (height + 2 * kPad);
  return Aligned(pixels) + Aligned(norm * sizeof(float)) + Aligned(pixels * sizeof(float)) +
         Aligned(pixels) + 10 * Aligned(blocks * sizeof(float)) + 2 * Aligned(blocks) +
         Aligned(static_cast<size_t>(KernelSlots(static_cast<int>(blocks))) * kGaborSide *
                 kGaborSide * sizeof(float)) +
         Aligned(kGaborAngles * kGaborPeriods * sizeof(int16_t)) +
         Aligned(kMaxCandidates * sizeof(Candidate));
}

// The largest image any call works on stays within the documented bound.
static_assert(WorkBlockBytes(kExtractMaxWorkSide, kExtractMaxWorkSide) <= kExtractMaxWorkBytes);

// Sides of the working image, or false when the image is not accepted.
bool WorkingSize(int width, int height, int ppi, int* work_w, int* work_h) {
  if (ppi == 0) ppi = kExtractNativePpi;
  if (width < kExtractMinSide || height < kExtractMinSide || width > kExtractMaxSide ||
      height > kExtractMaxSide || ppi < kExtractMinPpi || ppi > kExtractMaxPpi) {
    return false;
  }
  const double scale = static_cast<double>(kExtractNativePpi) / ppi;
  *work_w = static_cast<int>(std::lround(width * scale));
  *work_h = static_cast<int>(std::lround(height * scale));
  return *work_w >= kExtractMinWorkSide && *work_h >= kExtractMinWorkSide &&
         *work_w <= kExtractMaxWorkSide && *work_h <= kExtractMaxWorkSide;
}

bool ValidImage(const ExtractImage& image, int* work_w, int* work_h) {
  if (!WorkingSize(image.width, image.height, image.ppi, work_w, work_h)) return false;
  const size_t needed = static_cast<size_t>(image.width) * static_cast<size_t>(image.height);
  return image.pixels.data() != nullptr && image.pixels.size() >= needed;
}

// Allocates the working block and runs the stages up to the ridge period.
// Returns the block (null when out of memory).
HeapBytes Prepare(const ExtractImage& image, int work_w, int work_h, ExtractWork* work) {
  HeapBytes block(static_cast<unsigned char*>(malloc(WorkBytes(work_w, work_h))));
  if (!block) return block;
  LayoutWork(work_w, work_h, block.get(), work);
  uint8_t* grey = work->grey;
  if (work_w == image.width && work_h == image.height) {
    std::memcpy(grey, image.pixels.data(), static_cast<size_t>(work_w) * work_h);
  } else {
    ResampleGreyImage(image.pixels.data(), image.width, image.height, grey, work_w, work_h);
  }
  MeasureBlocks(work);
  EstimateOrientation(work);
  NormaliseImage(work);
  MeasureRidgeWaves(work);
  SegmentForeground(work);
  SmoothRidgePeriod(work);
  return block;
}

}  // namespace

size_t WorkBytes(int width, int height) {
  return WorkBlockBytes(width, height);
}

void LayoutWork(int width, int height, unsigned char* block, ExtractWork* work) {
  ExtractWork& w = *work;
  const size_t pixels = static_cast<size_t>(width) * height;
  w.width = width;
  w.height = height;
  w.bw = (width + kBlock - 1) / kBlock;
  w.bh = (height + kBlock - 1) / kBlock;
  const size_t blocks = static_cast<size_t>(w.bw) * w.bh;
  w.stride = NormStride(width);
  unsigned char* p = block;
  auto take = [&p](size_t bytes) {
    unsigned char* at = p;
    p += Aligned(bytes);
    return at;
  };
  w.grey = take(pixels);
  w.norm = reinterpret_cast<float*>(
      take(static_cast<size_t>(w.stride) * (height + 2 * kPad) * sizeof(float)));
  w.enhanced = reinterpret_cast<float*>(take(pixels * sizeof(float)));
  w.ridges = take(pixels);
  float** maps[] = {&w.blocks.mean, &w.blocks.dev,    &w.blocks.gxx,       &w.blocks.gyy,
                    &w.blocks.gxy,  &w.blocks.orient, &w.blocks.coherence, &w.blocks.period,
                    &w.blocks.wave, &w.blocks.quality};
  for (float** m : maps) *m = reinterpret_cast<float*>(take(blocks * sizeof(float)));
  w.blocks.mask = take(blocks);
  w.blocks.depth = take(blocks);
  w.kernel_slots = KernelSlots(static_cast<int>(blocks));
  w.kernels = reinterpret_cast<float*>(
      take(static_cast<size_t>(w.kernel_slots) * kGaborSide * kGaborSide * sizeof(float)));
  w.kernel_of = reinterpret_cast<int16_t*>(take(kGaborAngles * kGaborPeriods * sizeof(int16_t)));
  std::fill(w.kernel_of, w.kernel_of + kGaborAngles * kGaborPeriods, int16_t{-1});
  w.kernels_built = 0;
  w.candidates = reinterpret_cast<Candidate*>(take(kMaxCandidates * sizeof(Candidate)));
}

}  // namespace extract

using extract::Candidate;
using extract::ExtractWork;
using extract::kPi;

int ExtractBlockGrid(int width, int height, int ppi, int* blocks_x, int* blocks_y) {
  int work_w = 0, work_h = 0;
  if (blocks_x == nullptr || blocks_y == nullptr ||
      !extract::WorkingSize(width, height, ppi, &work_w, &work_h)) {
    return kExtractBadImage;
  }
  *blocks_x = (work_w + extract::kBlock - 1) / extract::kBlock;
  *blocks_y = (work_h + extract::kBlock - 1) / extract::kBlock;
  return kExtractOk;
}

int ExtractMinutiae(const ExtractImage& image, std::span<ExtractedMinutia> out, int* count) {
  if (count == nullptr) return kExtractBadImage;
  *count = 0;
  int work_w = 0, work_h = 0;
  if (!extract::ValidImage(image, &work_w, &work_h)) return kExtractBadImage;
  if (out.empty()) return kExtractOk;
  ExtractWork work;
  auto block = extract::Prepare(image, work_w, work_h, &work);
  if (!block) return kExtractNoMemory;
  extract::EnhanceRidges(&work);
  extract::BinariseAndThin(&work);
  Candidate* c = work.candidates;
  const int found = extract::DetectMinutiae(work, c, extract::kMaxCandidates);
  extract::FilterMinutiae(work, c, found);

  // When out is too small, the lowest qualities go: find the cut.
  int kept = 0;
  for (int i = 0; i < found; ++i) kept += c[i].removed ? 0 : 1;
  float cut = -1.0f;
  int at_cut = 0;
  if (kept > static_cast<int>(out.size())) {
    float* q = work.enhanced;  // scratch
    int n = 0;
    for (int i = 0; i < found; ++i) {
      if (!c[i].removed) q[n++] = c[i].quality;
    }
    const int keep = static_cast<int>(out.size());
    std::nth_element(q, q + (n - keep), q + n);
    cut = q[n - keep];
    int above = 0;
    for (int i = 0; i < n; ++i) above += q[i] > cut ? 1 : 0;
    at_cut = keep - above;
  }
  const float sx = static_cast<float>(image.width) / static_cast<float>(work_w);
  const float sy = static_cast<float>(image.height) / static_cast<float>(work_h);
  int n = 0;
  for (int i = 0; i < found; ++i) {
    const Candidate& m = c[i];
    if (m.removed || m.quality < cut || (m.quality == cut && at_cut-- <= 0)) continue;
    ExtractedMinutia& e = out[static_cast<size_t>(n++)];
    e.x = (m.px + 0.5f) * sx - 0.5f;
    e.y = (m.py + 0.5f) * sy - 0.5f;
    // The working frame turns clockwise on screen; the records count the
    // other way round.
    float a = -m.angle;
    while (a < 0) a += 2 * kPi;
    while (a >= 2 * kPi) a -= 2 * kPi;
    e.angle = a;
    e.type = m.type == 1 ? kExtractEnding : kExtractBifurcation;
    e.quality =
        static_cast<uint8_t>(std::clamp(static_cast<int>(std::lround(m.quality * 100)), 1, 100));
  }
  *count = n;
  return kExtractOk;
}

int ExtractRidgeMaps(const ExtractImage& image, const ExtractMaps& maps) {
  int work_w = 0, work_h = 0;
  if (!extract::ValidImage(image, &work_w, &work_h)) return kExtractBadImage;
  const size_t blocks = static_cast<size_t>((work_w + extract::kBlock - 1) / extract::kBlock) *
                        static_cast<size_t>((work_h + extract::kBlock - 1) / extract::kBlock);
  if ((!maps.orientation.empty() && maps.orientation.size() < blocks) ||
      (!maps.period.empty() && maps.period.size() < blocks) ||
      (!maps.quality.empty() && maps.quality.size() < blocks)) {
    return kExtractBadImage;
  }
  ExtractWork work;
  auto block = extract::Prepare(image, work_w, work_h, &work);
  if (!block) return kExtractNoMemory;
  for (size_t i = 0; i < blocks; ++i) {
    if (!maps.orientation.empty()) {
      const float theta = work.blocks.orient[i];
      maps.orientation[i] = theta > 0 ? kPi - theta : 0.0f;
    }
    if (!maps.period.empty()) maps.period[i] = work.blocks.period[i];
    if (!maps.quality.empty()) {
      maps.quality[i] = static_cast<uint8_t>(
          work.blocks.mask[i]
              ? std::clamp(static_cast<int>(std::lround(work.blocks.quality[i] * 100)), 1, 100)
              : 0);
    }
  }
  return kExtractOk;
}

void ResampleGreyImage(const uint8_t* src, int src_w, int src_h, uint8_t* dst, int dst_w,
                       int dst_h) {
  const size_t sw = static_cast<size_t>(src_w);
  if (src_w == dst_w && src_h == dst_h) {
    std::memcpy(dst, src, sw * static_cast<size_t>(src_h));
    return;
  }
  const double sx = static_cast<double>(src_w) / dst_w;
  const double sy = static_cast<double>(src_h) / dst_h;
  for (int y = 0; y < dst_h; ++y) {
    const double fy = std::clamp((y + 0.5) * sy - 0.5, 0.0, src_h - 1.0);
    const int y0 = static_cast<int>(fy);
    const int y1 = std::min(y0 + 1, src_h - 1);
    const double wy = fy - y0;
    const uint8_t* r0 = src + static_cast<size_t>(y0) * sw;
    const uint8_t* r1 = src + static_cast<size_t>(y1) * sw;
    uint8_t* out = dst + static_cast<size_t>(y) * static_cast<size_t>(dst_w);
    for (int x = 0; x < dst_w; ++x) {
      const double fx = std::clamp((x + 0.5) * sx - 0.5, 0.0, src_w - 1.0);
      const int x0 = static_cast<int>(fx);
      const int x1 = std::min(x0 + 1, src_w - 1);
      const double wx = fx - x0;
      const double top = r0[x0] + (r0[x1] - r0[x0]) * wx;
      const double bottom = r1[x0] + (r1[x1] - r1[x0]) * wx;
      out[x] = static_cast<uint8_t>(std::lround(std::clamp(top + (bottom - top) * wy, 0.0, 255.0)));
    }
  }
}
