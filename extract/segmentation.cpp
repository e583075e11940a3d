// Foreground segmentation: which blocks show ridges. A block belongs to the
// print when its grey levels swing like ridges do (standard deviation well
// above the background's noise) and either its gradients agree on a direction
// or its profile across the ridges is close to one sinusoid (which survives
// the pores and dots of a dry finger better than gradients do); the
// block mask is then cleaned (isolated blocks, small islands, holes), and
// each block learns how deep inside the print it lies, so that minutiae where
// the print is cut off can be dropped later.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "extract/extract_stages.h"

namespace extract {
namespace {

constexpr float kMinDev = 5.0f;  // grey levels; flatter blocks are never ridges
constexpr float kDevShare =
    0.22f;  // of the print's typical deviation      // of the print's typical deviation
constexpr float kMinCoherence = 0.18f;  // below it, the gradients point anywhere: noise
constexpr float kMinWave = 0.45f;  // or a profile this close to one sinusoid: ridges  // below it,
                                   // the gradients point anywhere: noise
constexpr int kDepthCap = 8;

// Number of foreground blocks in the 3 x 3 neighbourhood, the centre included.
int Neighbours(const ExtractWork& w, const uint8_t* mask, int bx, int by) {
  int n = 0;
  for (int dy = -1; dy <= 1; ++dy) {
    for (int dx = -1; dx <= 1; ++dx) {
      const int x = bx + dx, y = by + dy;
      if (x >= 0 && y >= 0 && x < w.bw && y < w.bh) n += mask[y * w.bw + x];
    }
  }
  return n;
}

// Labels the 4-connected regions of value `value` in grid, keeping the
// regions accepted by keep(size, touches_edge) and flipping the others.
// label is bw * bh ints of scratch; queue likewise.
template <typename Keep>
void FilterRegions(const ExtractWork& w, uint8_t* grid, uint8_t value, int* label, int* queue,
                   Keep keep) {
  const int n = w.bw * w.bh;
  std::fill(label, label + n, -1);
  for (int start = 0; start < n; ++start) {
    if (grid[start] != value || label[start] >= 0) continue;
    int head = 0, tail = 0;
    queue[tail++] = start;
    label[start] = start;
    bool edge = false;
    while (head < tail) {
      const int i = queue[head++];
      const int bx = i % w.bw, by = i / w.bw;
      if (bx == 0 || by == 0 || bx == w.bw - 1 || by == w.bh - 1) edge = true;
      const int next[4] = {bx > 0 ? i - 1 : -1, bx + 1 < w.bw ? i + 1 : -1, by > 0 ? i - w.bw : -1,
                           by + 1 < w.bh ? i + w.bw : -1};
      for (int j : next) {
        if (j >= 0 && grid[j] == value && label[j] < 0) {
          label[j] = start;
          queue[tail++] = j;
        }
      }
    }
    if (!keep(tail, edge)) {
      for (int k = 0; k < tail; ++k) grid[queue[k]] = static_cast<uint8_t>(1 - value);
    }
  }
}

}  // namespace

void MeasureBlocks(ExtractWork* work) {
  ExtractWork& w = *work;
  BlockMaps& b = w.blocks;
  // Sums per block first, then over the 3 x 3 blocks around each one, so
  // that the window (24 pixels) spans two or three ridges.
  float* sum = b.gxx;  // borrowed: the tensor is measured later
  float* sum2 = b.gyy;
  float* count = b.gxy;
  for (int i = 0; i < w.bw * w.bh; ++i) sum[i] = sum2[i] = count[i] = 0.0f;
  for (int y = 0; y < w.height; ++y) {
    const uint8_t* row = w.grey + static_cast<size_t>(y) * w.width;
    const int by = y / kBlock;
    for (int bx = 0; bx < w.bw; ++bx) {
      const int x0 = bx * kBlock, x1 = std::min(x0 + kBlock, w.width);
      float s = 0, s2 = 0;
      for (int x = x0; x < x1; ++x) {
        const float g = row[x];
        s += g;
        s2 += g * g;
      }
      const int i = by * w.bw + bx;
      sum[i] += s;
      sum2[i] += s2;
      count[i] += static_cast<float>(x1 - x0);
    }
  }
  for (int by = 0; by < w.bh; ++by) {
    for (int bx = 0; bx < w.bw; ++bx) {
      float s = 0, s2 = 0, n = 0;
      for (int dy = -1; dy <= 1; ++dy) {
        for (int dx = -1; dx <= 1; ++dx) {
          const int x = bx + dx, y = by + dy;
          if (x < 0 || y < 0 || x >= w.bw || y >= w.bh) continue;
          const int j = y * w.bw + x;
          s += sum[j];
          s2 += sum2[j];
          n += count[j];
        }
      }
      const float mean = s / n;
      const int i = by * w.bw + bx;
      b.mean[i] = mean;
      b.dev[i] = std::sqrt(std::max(0.0f, s2 / n - mean * mean));
    }
  }
}

void SegmentForeground(ExtractWork* work) {
  ExtractWork& w = *work;
  BlockMaps& b = w.blocks;
  const int n = w.bw * w.bh;
  // The print's typical deviation: a high percentile of the blocks that
  // could be ridges at all, so that the threshold follows the contrast of
  // this image and not an absolute grey level.
  float* sorted = b.gxx;  // scratch: the tensor sums are used up
  int m = 0;
  for (int i = 0; i < n; ++i) {
    if (b.dev[i] >= kMinDev && b.coherence[i] >= kMinCoherence) sorted[m++] = b.dev[i];
  }
  float typical = kMinDev;
  if (m > 0) {
    const int k = std::min(m - 1, (m * 8) / 10);
    std::nth_element(sorted, sorted + k, sorted + m);
    typical = sorted[k];
  }
  const float threshold = std::max(kMinDev, kDevShare * typical);
  uint8_t* mask = b.mask;
  for (int i = 0; i < n; ++i) {
    mask[i] =
        b.dev[i] >= threshold && (b.coherence[i] >= kMinCoherence || b.wave[i] >= kMinWave) ? 1 : 0;
  }
  // Majority smoothing removes single blocks of noise and fills single gaps.
  uint8_t* next = b.depth;  // scratch until the depth is computed
  for (int pass = 0; pass < 2; ++pass) {
    for (int by = 0; by < w.bh; ++by) {
      for (int bx = 0; bx < w.bw; ++bx) {
        next[by * w.bw + bx] = Neighbours(w, mask, bx, by) >= 5 ? 1 : 0;
      }
    }
    std::memcpy(mask, next, static_cast<size_t>(n));
  }
  // Islands much smaller than the print go, and holes inside it are filled.
  int* label = reinterpret_cast<int*>(w.enhanced);  // scratch: enhanced is written later
  int* queue = label + n;
  int largest = 0;
  FilterRegions(w, mask, 1, label, queue, [&](int size, bool) {
    largest = std::max(largest, size);
    return true;
  });
  const int min_island = std::max(4, largest / 8);
  FilterRegions(w, mask, 1, label, queue, [&](int size, bool) { return size >= min_island; });
  FilterRegions(w, mask, 0, label, queue,
                [&](int size, bool edge) { return edge || size > largest / 4; });

  // Depth: chessboard distance to the nearest background block, where the
  // outside of the image counts as background.
  uint8_t* depth = b.depth;
  for (int i = 0; i < n; ++i) depth[i] = mask[i] ? kDepthCap : 0;
  for (int by = 0; by < w.bh; ++by) {
    for (int bx = 0; bx < w.bw; ++bx) {
      const int i = by * w.bw + bx;
      if (!mask[i]) continue;
      int d = std::min({bx + 1, by + 1, w.bw - bx, w.bh - by, kDepthCap});
      if (bx > 0) d = std::min(d, depth[i - 1] + 1);
      if (by > 0) d = std::min(d, depth[i - w.bw] + 1);
      if (bx > 0 && by > 0) d = std::min(d, depth[i - w.bw - 1] + 1);
      if (bx + 1 < w.bw && by > 0) d = std::min(d, depth[i - w.bw + 1] + 1);
      depth[i] = static_cast<uint8_t>(d);
    }
  }
  for (int by = w.bh - 1; by >= 0; --by) {
    for (int bx = w.bw - 1; bx >= 0; --bx) {
      const int i = by * w.bw + bx;
      if (!mask[i]) continue;
      int d = depth[i];
      if (bx + 1 < w.bw) d = std::min(d, depth[i + 1] + 1);
      if (by + 1 < w.bh) d = std::min(d, depth[i + w.bw] + 1);
      if (bx + 1 < w.bw && by + 1 < w.bh) d = std::min(d, depth[i + w.bw + 1] + 1);
      if (bx > 0 && by + 1 < w.bh) d = std::min(d, depth[i + w.bw - 1] + 1);
      depth[i] = static_cast<uint8_t>(d);
    }
  }
}

}  // namespace extract
