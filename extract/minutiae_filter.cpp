// False-minutiae removal. Every rule removes a pattern that the skeleton of a
// real print shows where the finger has no minutia:
// - border: ridges cut off where the print or the image ends, or the
//   segmentation stops: minutiae near that edge, and endings whose gap runs
//   out of the print within two ridge periods;
// - spur: a short branch off a ridge (an ending that meets a junction soon);
// - island: a short ridge fragment (an ending that meets another ending soon);
// - bridge and lake: two junctions joined by a short piece of skeleton;
// - facing pair: two endings pointing away from each other across a short
//   gap (a broken ridge), or two junctions around a small lake;
// - cluster: minutiae closer than most of a ridge period, which noise makes;
// - poor blocks: ridges too unclear to trust anything found there.
// What survives gets its quality from the clarity of the blocks around it,
// lowered near the print's edge, where minutiae crowd and where the contrast
// is below the print's usual (a faint halo, a latent print left on the
// glass): that is where a skeleton's breaks and stubs pass for minutiae, and
// where the next impression of the same finger finds something else.
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "extract/extract_stages.h"

namespace extract {
namespace {

constexpr int kMinDepthBlocks = 2;       // blocks between a minutia and the print's edge
constexpr int kMinEdgePixels = 10;       // pixels between a minutia and the image's edge
constexpr float kOpenGapPeriods = 2.0f;  // how far behind an ending its gap must stay inside
constexpr float kSpurPeriods = 1.3f;     // spur length, in ridge periods
constexpr float kIslandPeriods = 2.4f;   // length of a ridge fragment
constexpr float kBridgePeriods = 1.1f;   // junction-to-junction length
constexpr float kFacingPeriods = 1.5f;   // gap of a broken ridge, width of a lake
constexpr float kClusterPeriods = 0.8f;  // minutiae closer than this are noise
constexpr float kMinQuality = 0.12f;
constexpr float kOpposite = 2.4f;  // radians: directions this far apart face each other
// Blocks in from the print's edge where a minutia is trusted fully.
constexpr float kSureDepthBlocks = 5.0f;
constexpr float kCrowdPeriods = 3.0f;   // other minutiae this near make one doubtful...
constexpr float kCrowdWeight = 0.2f;    // ...each dividing its quality by 1 + this more
constexpr float kLeastQuality = 0.01f;  // what a kept minutia's quality is never lowered below

float WrapPi(float a) {
  while (a > kPi) a -= 2 * kPi;
  while (a <= -kPi) a += 2 * kPi;
  return a;
}

float AngleBetween(float a, float b) {
  return std::fabs(WrapPi(a - b));
}

// Candidate of the given type (0 any) nearest to (x, y) within radius, or -1.
int Nearest(const Candidate* c, int count, int x, int y, float radius, int type) {
  int best = -1;
  float best_d2 = radius * radius;
  for (int i = 0; i < count; ++i) {
    if (type != 0 && c[i].type != type) continue;
    const float dx = static_cast<float>(c[i].x - x), dy = static_cast<float>(c[i].y - y);
    const float d2 = dx * dx + dy * dy;
    if (d2 <= best_d2) {
      best_d2 = d2;
      best = i;
    }
  }
  return best;
}

float PeriodAt(const ExtractWork& w, const Candidate& c) {
  return w.blocks.period[BlockOfPixel(w, c.x, c.y)];
}

// Mean quality of the 3 x 3 blocks around the candidate; background counts 0.
float LocalQuality(const ExtractWork& w, const Candidate& c) {
  const int bx = c.x / kBlock, by = c.y / kBlock;
  float sum = 0;
  for (int dy = -1; dy <= 1; ++dy) {
    for (int dx = -1; dx <= 1; ++dx) {
      const int x = std::clamp(bx + dx, 0, w.bw - 1), y = std::clamp(by + dy, 0, w.bh - 1);
      sum += w.blocks.quality[y * w.bw + x];
    }
  }
  return sum / 9.0f;
}

// The print's usual contrast: the median grey-level deviation of its blocks.
float UsualContrast(const ExtractWork& w) {
  float* dev = w.blocks.gxx;  // scratch: the tensor sums are used up
  int n = 0;
  for (int i = 0; i < w.bw * w.bh; ++i) {
    if (w.blocks.mask[i]) dev[n++] = w.blocks.dev[i];
  }
  if (n == 0) return 1.0f;
  std::nth_element(dev, dev + n / 2, dev + n);
  return std::max(1.0f, dev[n / 2]);
}

bool InsidePrint(const ExtractWork& w, float x, float y) {
  const int ix = static_cast<int>(std::lround(x)), iy = static_cast<int>(std::lround(y));
  return ix >= 0 && iy >= 0 && ix < w.width && iy < w.height &&
         w.blocks.mask[BlockOfPixel(w, ix, iy)];
}

// A minutia the edge of the print or of the image may have made.
bool AtTheEdge(const ExtractWork& w, const Candidate& c, float period) {
  if (c.x < kMinEdgePixels || c.y < kMinEdgePixels || c.x >= w.width - kMinEdgePixels ||
      c.y >= w.height - kMinEdgePixels ||
      w.blocks.depth[BlockOfPixel(w, c.x, c.y)] < kMinDepthBlocks) {
    return true;
  }
  if (c.type != 1) return false;
  // An ending points into its ridge; its gap lies behind it.
  const float bx = -std::cos(c.angle), by = -std::sin(c.angle);
  for (float d = period; d <= kOpenGapPeriods * period; d += 0.5f * period) {
    if (!InsidePrint(w, static_cast<float>(c.x) + d * bx, static_cast<float>(c.y) + d * by))
      return true;
  }
  return false;
}

}  // namespace

void FilterMinutiae(const ExtractWork& work, Candidate* c, int count) {
  const ExtractWork& w = work;
  // Rules that follow the skeleton look at every candidate as found, so
  // that removing one does not hide the partner of another.
  bool* drop = reinterpret_cast<bool*>(w.enhanced);  // scratch: the Gabor response is used up
  for (int i = 0; i < count; ++i) drop[i] = false;
  for (int i = 0; i < count; ++i) {
    const float period = PeriodAt(w, c[i]);
    if (AtTheEdge(w, c[i], period)) {
      drop[i] = true;
      continue;
    }
    const int code =
        NeighbourCode(w.ridges + static_cast<size_t>(c[i].y) * w.width + c[i].x, w.width);
    if (c[i].type == 1) {
      int k = 0;
      while (k < 8 && !((code >> k) & 1)) ++k;
      if (k == 8) {
        drop[i] = true;  // a lone pixel
        continue;
      }
      int ex, ey, stop;
      const int steps =
          TraceSkeleton(w, c[i].x, c[i].y, c[i].x + kNeighbourDx[k], c[i].y + kNeighbourDy[k],
                        static_cast<int>(kIslandPeriods * period + 0.5f), &ex, &ey, &stop);
      const bool spur = stop == 3 && static_cast<float>(steps) <= kSpurPeriods * period;
      if (!spur && stop != 1) continue;
      drop[i] = true;
      // The junction of a spur goes too; the other end of an island finds
      // this one by itself.
      if (spur) {
        const int other = Nearest(c, count, ex, ey, 2.5f, 2);
        if (other >= 0) drop[other] = true;
      }
    } else {
      for (int k = 0; k < 8; ++k) {
        if (!((code >> k) & 1)) continue;
        // Only the first pixel of each run leads into a branch of its own.
        if ((code >> ((k + 7) & 7)) & 1) continue;
        int ex, ey, stop;
        TraceSkeleton(w, c[i].x, c[i].y, c[i].x + kNeighbourDx[k], c[i].y + kNeighbourDy[k],
                      static_cast<int>(kBridgePeriods * period + 0.5f), &ex, &ey, &stop);
        if (stop != 3) continue;
        const int other = Nearest(c, count, ex, ey, 2.5f, 2);
        if (other == i) continue;
        drop[i] = true;
        if (other >= 0) drop[other] = true;
      }
    }
  }
  for (int i = 0; i < count; ++i) c[i].removed = drop[i];

  // Facing pairs: two endings across the short gap of a broken ridge, or two
  // junctions around a small lake or at the ends of a bridge.
  for (int i = 0; i < count; ++i) {
    if (c[i].removed) continue;
    const float reach = kFacingPeriods * PeriodAt(w, c[i]);
    for (int j = i + 1; j < count; ++j) {
      if (c[j].removed || c[j].type != c[i].type) continue;
      const float dx = static_cast<float>(c[j].x - c[i].x),
                  dy = static_cast<float>(c[j].y - c[i].y);
      if (dx * dx + dy * dy > reach * reach) continue;
      if (AngleBetween(c[i].angle, c[j].angle) < kOpposite) continue;
      drop[i] = drop[j] = true;
    }
  }
  // Clusters.
  for (int i = 0; i < count; ++i) {
    if (c[i].removed) continue;
    const float reach = kClusterPeriods * PeriodAt(w, c[i]);
    for (int j = i + 1; j < count; ++j) {
      if (c[j].removed) continue;
      const float dx = static_cast<float>(c[j].x - c[i].x),
                  dy = static_cast<float>(c[j].y - c[i].y);
      if (dx * dx + dy * dy <= reach * reach) drop[i] = drop[j] = true;
    }
  }
  for (int i = 0; i < count; ++i) {
    if (drop[i]) c[i].removed = true;
    if (c[i].removed) continue;
    c[i].quality = LocalQuality(w, c[i]);
    if (c[i].quality < kMinQuality) c[i].removed = true;
  }
  // Trust lost at the edge and in crowds, counted among the minutiae kept
  // (scratch again: all of it is found before any quality changes).
  float* trust = reinterpret_cast<float*>(w.enhanced);
  const float usual = UsualContrast(w);
  for (int i = 0; i < count; ++i) {
    if (c[i].removed) continue;
    const int block = BlockOfPixel(w, c[i].x, c[i].y);
    const float depth = static_cast<float>(w.blocks.depth[block]);
    const float contrast = std::min(1.0f, w.blocks.dev[block] / usual);
    const float reach = kCrowdPeriods * PeriodAt(w, c[i]);
    int near = 0;
    for (int j = 0; j < count; ++j) {
      if (j == i || c[j].removed) continue;
      const float dx = static_cast<float>(c[j].x - c[i].x),
                  dy = static_cast<float>(c[j].y - c[i].y);
      near += dx * dx + dy * dy <= reach * reach ? 1 : 0;
    }
    trust[i] = contrast * std::min(1.0f, depth / kSureDepthBlocks) / (1.0f + kCrowdWeight * near);
  }
  for (int i = 0; i < count; ++i) {
    if (!c[i].removed) c[i].quality = std::max(kLeastQuality, c[i].quality * trust[i]);
  }
}

}  // namespace extract
