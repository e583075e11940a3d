#include "sdk/minutiae_matcher.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

// Minutia Cylinder-Code (Cappelli, Ferrara and Maltoni, 2010) with its
// published parameters. Local: every minutia gets a cylinder, a grid of
// cells around it turned with its direction, each cell recording, per band
// of relative direction, whether neighbouring minutiae lie near it; rotation
// and translation leave it unchanged, and a missing or spurious neighbour
// changes only the cells around it. Cylinders are bit vectors compared by
// their normalised Hamming distance over the cells valid in both.
// Consolidation: the most similar cylinder pairs, taken one to one, are
// relaxed against each other (a pair gains when other pairs keep the same
// distances and relative angles between the two prints, and loses
// otherwise); the mean similarity of the pairs that kept theirs best is the
// local evidence. Global: the strongest relaxed pairs propose alignments,
// and under the best one the minutiae are paired one to one. The raw
// similarity weighs those pairs against the minutiae the prints share (the
// more they share, the more pairs chance alone makes), and the calibration
// maps it onto the false match rate scale.

namespace {

constexpr float kPi = 3.14159265358979f;
constexpr float kTwoPi = 2.0f * kPi;

// Cylinder.
constexpr float kRadius = 70.0f;
constexpr int kCells = 16;    // spatial cells per side
constexpr int kSections = 6;  // bands of relative direction
constexpr float kCellSide = 2.0f * kRadius / kCells;
constexpr float kSigmaS = 28.0f / 3.0f;
constexpr float kSigmaD = 2.0f * kPi / 9.0f;
constexpr float kReach = 3.0f * kSigmaS;  // farther neighbours add nothing to a cell
constexpr float kCellOn = 0.01f;          // a cell's bit is set above this sum
constexpr float kHullMargin = 50.0f;      // cells this far outside the minutiae's hull stay valid
constexpr float kMinValidShare = 0.75f;   // of the disk's cells, for a cylinder to be kept
constexpr int kMinContributors = 2;
constexpr float kMinMatchableShare = 0.6f;  // of the disk's cells valid in both cylinders
constexpr float kMaxTurn = kPi / 2;         // cylinders of minutiae turned further never match
constexpr int kSpatialWords = kCells * kCells / 64;
constexpr int kWords = kSpatialWords * kSections;

// Consolidation.
constexpr int kMinPairs = 4, kMaxPairs = 12;  // pairs averaged, growing with the minutiae
constexpr float kPairsMid = 20.0f, kPairsSlope = 0.4f;
constexpr int kRelaxRounds = 5;
constexpr float kRelaxWeight = 0.5f;
constexpr float kRelaxDistMid = 5.0f, kRelaxDistSlope = -1.6f;
constexpr float kRelaxAngleMid = kPi / 12, kRelaxAngleSlope = -30.0f;

constexpr int kMaxMinutiae = kMaxViewMinutiae;
// Minutiae compared per print: the most reliable ones. Past this many, more
// minutiae bring more pairs by chance than evidence (dry prints give a
// hundred, mostly ridge breaks), and each costs time.
constexpr int kComparedMinutiae = 40;

// Calibration: the raw similarity at scores 6, 10, 14, 18 and 22, where
// different fingers reach it at rates of 10 %, 1 %, 0.1 %, 0.01 % and
// 0.001 % (at 14 no measured reader above it, elsewhere every one within a
// factor of two; docs/matching.md: how they were fitted).
constexpr float kScoreKnots[] = {0.8574f, 1.1050f, 1.3726f, 1.5701f, 1.7676f};
constexpr int kScoreKnotCount = 5;
constexpr float kFirstKnotScore = 6.0f;
constexpr float kScorePerDecade = 4.0f;
static_assert(MatchThresholdForFmrDecades(1) == kFirstKnotScore);

// Alignment.
constexpr int kMaxAnchors = 8;
constexpr float kPairDist = 8.0f;  // px at 500 ppi once aligned, where the alignment is surest
constexpr float kPairDistGrowth = 0.04f;  // more per px away from there: skin stretches
constexpr float kPairAngle = kPi / 9;
constexpr float kOverlapMargin = 15.0f;
// Shared minutiae (weighed by quality) below this count as this many: a tiny
// overlap is weak evidence whatever it pairs.
constexpr float kMinOverlap = 8.0f;
constexpr float kMinOverlapArea = 5000.0f;  // px^2 at 500 ppi, for the same reason
// sim = pairs / shared^0.5 / (shared / area)^0.2: the powers that bring the
// impostor tails of the measured readers closest together.
constexpr float kSharedPower = 0.7f;
constexpr float kAreaPower = 0.2f;

float WrapPi(float a) {
  while (a > kPi) a -= kTwoPi;
  while (a <= -kPi) a += kTwoPi;
  return a;
}

// Logistic step: 1/2 at mid, steeper with |slope|, falling when slope < 0.
float Sigmoid(float v, float mid, float slope) {
  return 1.0f / (1.0f + expf(-slope * (v - mid)));
}

constexpr float CellCentre(int i) {
  return (static_cast<float>(i) + 0.5f) * kCellSide - kRadius;
}

constexpr int DiskCells() {
  int n = 0;
  for (int i = 0; i < kCells; ++i) {
    for (int j = 0; j < kCells; ++j) {
      n += CellCentre(i) * CellCentre(i) + CellCentre(j) * CellCentre(j) <= kRadius * kRadius;
    }
  }
  return n;
}
constexpr int kDiskCells = DiskCells();

struct Cylinder {
  uint64_t bits[kWords];  // section-major: bit k * 256 + j * 16 + i
  uint64_t valid[kSpatialWords];
  float x, y, angle;
  int minutia;
};

// The minutiae's convex hull as edges with outward normals: a point is
// inside (with the margin) when every n.p - c stays below the margin.
struct Hull {
  int edges;
  float nx[kComparedMinutiae], ny[kComparedMinutiae], c[kComparedMinutiae];
  float px[kComparedMinutiae], py[kComparedMinutiae];  // edge e runs from corner e to e + 1
};

float Cross(const MatcherMinutia& o, const MatcherMinutia& a, const MatcherMinutia& b) {
  return (a.x - o.x) * (b.y - o.y) - (a.y - o.y) * (b.x - o.x);
}

// Andrew's monotone chain; a hull of fewer than three corners has no edges
// (no cell is then valid).
void BuildHull(const MatcherMinutia* m, int n, int* order, Hull* hull) {
  for (int i = 0; i < n; ++i) order[i] = i;
  std::sort(order, order + n,
            [m](int a, int b) { return m[a].x < m[b].x || (m[a].x == m[b].x && m[a].y < m[b].y); });
  int* chain = order + n;  // room for 2n + 1
  int k = 0;
  for (int i = 0; i < n; ++i) {
    while (k >= 2 && Cross(m[chain[k - 2]], m[chain[k - 1]], m[order[i]]) <= 0) --k;
    chain[k++] = order[i];
  }
  for (int i = n - 2, low = k + 1; i >= 0; --i) {
    while (k >= low && Cross(m[chain[k - 2]], m[chain[k - 1]], m[order[i]]) <= 0) --k;
    chain[k++] = order[i];
  }
  hull->edges = 0;
  if (k < 4) return;  // the chain closes on its first point: three corners need k >= 4
  for (int e = 0; e + 1 < k; ++e) {
    const MatcherMinutia& p = m[chain[e]];
    const MatcherMinutia& q = m[chain[e + 1]];
    const float dx = q.x - p.x, dy = q.y - p.y;
    const float len = sqrtf(dx * dx + dy * dy);
    if (len <= 0.0f) continue;
    // Counter-clockwise chain: the outward normal points to the right.
    const float nx = dy / len, ny = -dx / len;
    hull->nx[hull->edges] = nx;
    hull->ny[hull->edges] = ny;
    hull->px[hull->edges] = p.x;
    hull->py[hull->edges] = p.y;
    hull->c[hull->edges] = nx * p.x + ny * p.y;
    ++hull->edges;
  }
}

bool InsideHull(const Hull& h, float x, float y) {
  if (h.edges == 0) return false;
  for (int e = 0; e < h.edges; ++e) {
    if (h.nx[e] * x + h.ny[e] * y - h.c[e] > kHullMargin) return false;
  }
  return true;
}

// Bits set in a word, without relying on the processor having an
// instruction for it.
int Popcount(uint64_t v) {
  v = v - ((v >> 1) & 0x5555555555555555u);
  v = (v & 0x3333333333333333u) + ((v >> 2) & 0x3333333333333333u);
  v = (v + (v >> 4)) & 0x0f0f0f0f0f0f0f0fu;
  return static_cast<int>((v * 0x0101010101010101u) >> 56);
}

// Tables of the two Gaussians, filled once: the spatial one by squared
// distance, and per turn between two minutiae the share of the directional
// one (sigma kSigmaD) that falls into each band of relative direction.
constexpr int kSpatialSteps = 512;
constexpr float kSpatialStep = kReach * kReach / (kSpatialSteps - 1);
constexpr int kTurnSteps = 256;

struct Tables {
  float spatial[kSpatialSteps];
  float band[kTurnSteps][kSections];
};

Tables MakeTables() {
  Tables t;
  const float norm = 0.3989422804f / kSigmaS;  // 1 / (sigma sqrt(2 pi))
  for (int i = 0; i < kSpatialSteps; ++i) {
    t.spatial[i] = norm * expf(-(static_cast<float>(i) * kSpatialStep) / (2 * kSigmaS * kSigmaS));
  }
  constexpr float kBand = kTwoPi / kSections;
  const float s = 1.0f / (kSigmaD * sqrtf(2.0f));
  for (int i = 0; i < kTurnSteps; ++i) {
    const float turn = -kPi + (static_cast<float>(i) + 0.5f) * kTwoPi / kTurnSteps;
    for (int k = 0; k < kSections; ++k) {
      const float centre = -kPi + (static_cast<float>(k) + 0.5f) * kBand;
      const float d = WrapPi(turn - centre);
      t.band[i][k] = 0.5f * (erff((d + kBand / 2) * s) - erff((d - kBand / 2) * s));
    }
  }
  return t;
}

const Tables& Gaussians() {
  static const Tables tables = MakeTables();
  return tables;
}

int TurnStep(float turn) {
  const int i = static_cast<int>((turn + kPi) * (kTurnSteps / kTwoPi));
  return std::clamp(i, 0, kTurnSteps - 1);
}

// Builds the cylinders of the minutiae that have one; returns their number.
int BuildCylinders(const MatcherMinutia* m, int n, const Hull& hull, Cylinder* out) {
  constexpr float kNear = kRadius + kReach;
  const Tables& g = Gaussians();
  int made = 0;
  for (int i = 0; i < n; ++i) {
    const float c = cosf(m[i].angle), s = sinf(m[i].angle);
    // Neighbours in the minutia's own frame, with their band shares.
    struct Near {
      float x, y;
      const float* share;  // per band
    };
    Near near[kComparedMinutiae];
    int nn = 0;
    for (int j = 0; j < n; ++j) {
      if (j == i) continue;
      const float dx = m[j].x - m[i].x, dy = m[j].y - m[i].y;
      if (dx * dx + dy * dy > kNear * kNear) continue;
      Near& q = near[nn++];
      q.x = c * dx + s * dy;
      q.y = -s * dx + c * dy;
      q.share = g.band[TurnStep(WrapPi(m[j].angle - m[i].angle))];
    }
    if (nn < kMinContributors || hull.edges == 0) continue;

    Cylinder& cyl = out[made];
    memset(&cyl, 0, sizeof cyl);
    // Every cell nearer the minutia than its depth inside the hull plus the
    // margin is valid without testing the edges.
    float depth = kRadius;
    for (int e = 0; e < hull.edges; ++e) {
      depth = std::min(depth, hull.c[e] - (hull.nx[e] * m[i].x + hull.ny[e] * m[i].y));
    }
    const float sure = std::max(0.0f, depth + kHullMargin);
    int valid = 0;
    for (int j = 0; j < kCells; ++j) {
      for (int i2 = 0; i2 < kCells; ++i2) {
        const float cx = CellCentre(i2), cy = CellCentre(j);
        const float r2 = cx * cx + cy * cy;
        if (r2 > kRadius * kRadius) continue;
        const float ax = m[i].x + c * cx - s * cy, ay = m[i].y + s * cx + c * cy;
        if (r2 > sure * sure && !InsideHull(hull, ax, ay)) continue;
        const int cell = j * kCells + i2;
        cyl.valid[cell / 64] |= uint64_t{1} << (cell % 64);
        ++valid;
      }
    }
    if (static_cast<float>(valid) < kMinValidShare * kDiskCells) continue;

    float sum[kCells * kCells][kSections] = {};
    for (int q = 0; q < nn; ++q) {
      const Near& p = near[q];
      const int i0 = std::max(0, static_cast<int>(floorf((p.x - kReach + kRadius) / kCellSide)));
      const int i1 =
          std::min(kCells - 1, static_cast<int>(floorf((p.x + kReach + kRadius) / kCellSide)));
      const int j0 = std::max(0, static_cast<int>(floorf((p.y - kReach + kRadius) / kCellSide)));
      const int j1 =
          std::min(kCells - 1, static_cast<int>(floorf((p.y + kReach + kRadius) / kCellSide)));
      for (int j = j0; j <= j1; ++j) {
        for (int i2 = i0; i2 <= i1; ++i2) {
          const float dx = CellCentre(i2) - p.x, dy = CellCentre(j) - p.y;
          const float d2 = dx * dx + dy * dy;
          if (d2 > kReach * kReach) continue;
          const float weight = g.spatial[static_cast<int>(d2 * (1.0f / kSpatialStep) + 0.5f)];
          float* cell = sum[j * kCells + i2];
          for (int k = 0; k < kSections; ++k) cell[k] += weight * p.share[k];
        }
      }
    }
    for (int cell = 0; cell < kCells * kCells; ++cell) {
      if (!((cyl.valid[cell / 64] >> (cell % 64)) & 1)) continue;
      for (int k = 0; k < kSections; ++k) {
        if (sum[cell][k] > kCellOn) {
          const int bit = k * kCells * kCells + cell;
          cyl.bits[bit / 64] |= uint64_t{1} << (bit % 64);
        }
      }
    }
    cyl.x = m[i].x;
    cyl.y = m[i].y;
    cyl.angle = m[i].angle;
    cyl.minutia = i;
    ++made;
  }
  return made;
}

float CylinderSimilarity(const Cylinder& a, const Cylinder& b) {
  if (fabsf(WrapPi(a.angle - b.angle)) > kMaxTurn) return 0.0f;
  uint64_t both[kSpatialWords];
  int matchable = 0;
  for (int w = 0; w < kSpatialWords; ++w) {
    both[w] = a.valid[w] & b.valid[w];
    matchable += Popcount(both[w]);
  }
  if (static_cast<float>(matchable) < kMinMatchableShare * kDiskCells) return 0.0f;
  int na = 0, nb = 0, differ = 0;
  for (int k = 0; k < kSections; ++k) {
    for (int w = 0; w < kSpatialWords; ++w) {
      const uint64_t x = a.bits[k * kSpatialWords + w] & both[w];
      const uint64_t y = b.bits[k * kSpatialWords + w] & both[w];
      na += Popcount(x);
      nb += Popcount(y);
      differ += Popcount(x ^ y);
    }
  }
  if (na + nb == 0) return 0.0f;
  return 1.0f - static_cast<float>(differ) / static_cast<float>(na + nb);
}

struct Pair {
  float lambda;
  int a, b;
};

// How well pairs t and k agree: the distance between the two minutiae, the
// turn between their directions and the angle each direction makes with the
// line joining them should be the same in both prints.
float Compatibility(const Cylinder& a1, const Cylinder& b1, const Cylinder& a2,
                    const Cylinder& b2) {
  const float dxa = a2.x - a1.x, dya = a2.y - a1.y;
  const float dxb = b2.x - b1.x, dyb = b2.y - b1.y;
  const float d1 = fabsf(sqrtf(dxa * dxa + dya * dya) - sqrtf(dxb * dxb + dyb * dyb));
  const float d2 = fabsf(WrapPi(WrapPi(a1.angle - a2.angle) - WrapPi(b1.angle - b2.angle)));
  const float ra = WrapPi(a1.angle - atan2f(dya, dxa));
  const float rb = WrapPi(b1.angle - atan2f(dyb, dxb));
  const float d3 = fabsf(WrapPi(ra - rb));
  return Sigmoid(d1, kRelaxDistMid, kRelaxDistSlope) *
         Sigmoid(d2, kRelaxAngleMid, kRelaxAngleSlope) *
         Sigmoid(d3, kRelaxAngleMid, kRelaxAngleSlope);
}

// The working block of one comparison.
struct Work {
  MatcherMinutia ma[kComparedMinutiae], mb[kComparedMinutiae];  // the minutiae compared
  Hull hull_a, hull_b;
  int pair_b[kComparedMinutiae];
  bool taken[kComparedMinutiae];
  int order[3 * kComparedMinutiae + 1];
  Cylinder ca[kComparedMinutiae], cb[kComparedMinutiae];
  Pair* pairs;  // ca * cb, then one to one
  float* rho;   // compatibilities of the one-to-one pairs, min(ca, cb) squared
  float lambda[2][kComparedMinutiae];
  float gain[kComparedMinutiae];
  int by_gain[kComparedMinutiae];
  bool used_a[kComparedMinutiae], used_b[kComparedMinutiae];
  int anchors;
  int anchor_a[kMaxAnchors], anchor_b[kMaxAnchors];  // minutiae
};

float Consolidate(Work& w, int na, int nb) {
  const int nr_max = std::min(na, nb);
  // Every pair with some similarity, best first, then one to one.
  int all = 0;
  for (int i = 0; i < na; ++i) {
    for (int j = 0; j < nb; ++j) {
      const float l = CylinderSimilarity(w.ca[i], w.cb[j]);
      if (l > 0.0f) w.pairs[all++] = Pair{l, i, j};
    }
  }
  std::sort(w.pairs, w.pairs + all, [](const Pair& x, const Pair& y) {
    return x.lambda > y.lambda ||
           (x.lambda == y.lambda && (x.a < y.a || (x.a == y.a && x.b < y.b)));
  });
  memset(w.used_a, 0, sizeof w.used_a);
  memset(w.used_b, 0, sizeof w.used_b);
  int nr = 0;
  for (int p = 0; p < all && nr < nr_max; ++p) {
    if (w.used_a[w.pairs[p].a] || w.used_b[w.pairs[p].b]) continue;
    w.used_a[w.pairs[p].a] = w.used_b[w.pairs[p].b] = true;
    w.pairs[nr++] = w.pairs[p];
  }
  w.anchors = 0;
  if (nr == 0) return 0.0f;

  const int np =
      kMinPairs +
      static_cast<int>(lroundf(Sigmoid(static_cast<float>(nr_max), kPairsMid, kPairsSlope) *
                               static_cast<float>(kMaxPairs - kMinPairs)));
  for (int t = 0; t < nr; ++t) {
    w.rho[t * nr + t] = 0.0f;
    for (int k = t + 1; k < nr; ++k) {
      const float r = Compatibility(w.ca[w.pairs[t].a], w.cb[w.pairs[t].b], w.ca[w.pairs[k].a],
                                    w.cb[w.pairs[k].b]);
      w.rho[t * nr + k] = w.rho[k * nr + t] = r;
    }
    w.lambda[0][t] = w.pairs[t].lambda;
  }
  int cur = 0;
  if (nr > 1) {
    for (int round = 0; round < kRelaxRounds; ++round) {
      const float* from = w.lambda[cur];
      float* to = w.lambda[1 - cur];
      for (int t = 0; t < nr; ++t) {
        float support = 0.0f;
        const float* rho = w.rho + t * nr;
        for (int k = 0; k < nr; ++k) support += rho[k] * from[k];
        to[t] =
            kRelaxWeight * from[t] + (1.0f - kRelaxWeight) * support / static_cast<float>(nr - 1);
      }
      cur = 1 - cur;
    }
  }
  // The pairs that kept their similarity best through the relaxation.
  for (int t = 0; t < nr; ++t) {
    w.gain[t] = w.lambda[cur][t] / w.pairs[t].lambda;
    w.by_gain[t] = t;
  }
  const int take = std::min(np, nr);
  std::partial_sort(w.by_gain, w.by_gain + take, w.by_gain + nr, [&w](int x, int y) {
    return w.gain[x] > w.gain[y] || (w.gain[x] == w.gain[y] && x < y);
  });
  float sum = 0.0f;
  for (int t = 0; t < take; ++t) sum += w.lambda[cur][w.by_gain[t]];
  // Anchors for the alignment: the pairs that came out of the relaxation
  // strongest.
  for (int t = 0; t < nr; ++t) w.by_gain[t] = t;
  w.anchors = std::min(kMaxAnchors, nr);
  std::partial_sort(w.by_gain, w.by_gain + w.anchors, w.by_gain + nr, [&w, cur](int x, int y) {
    return w.lambda[cur][x] > w.lambda[cur][y] || (w.lambda[cur][x] == w.lambda[cur][y] && x < y);
  });
  for (int k = 0; k < w.anchors; ++k) {
    w.anchor_a[k] = w.ca[w.pairs[w.by_gain[k]].a].minutia;
    w.anchor_b[k] = w.cb[w.pairs[w.by_gain[k]].b].minutia;
  }
  // Fewer pairs than wanted: the missing ones count as dissimilar.
  return sum / static_cast<float>(np);
}

struct Transform {
  float c, s, rot;
  float tx, ty;
  float cx, cy;  // where in b the alignment is surest
};

Transform Turning(const MatcherMinutia& p, const MatcherMinutia& q) {
  Transform t;
  t.rot = WrapPi(q.angle - p.angle);
  t.c = cosf(t.rot);
  t.s = sinf(t.rot);
  t.tx = q.x - (t.c * p.x - t.s * p.y);
  t.ty = q.y - (t.s * p.x + t.c * p.y);
  t.cx = q.x;
  t.cy = q.y;
  return t;
}

// Pairs the minutiae of a, moved by t, one to one with those of b within the
// tolerances, each with its nearest free partner; returns the pairs.
int PairUp(Work& w, const MatcherMinutia* a, int na, const MatcherMinutia* b, int nb,
           const Transform& t) {
  memset(w.taken, 0, sizeof(bool) * static_cast<size_t>(nb));
  int pairs = 0;
  for (int i = 0; i < na; ++i) {
    w.pair_b[i] = -1;
    const float x = t.c * a[i].x - t.s * a[i].y + t.tx;
    const float y = t.s * a[i].x + t.c * a[i].y + t.ty;
    const float angle = a[i].angle + t.rot;
    const float tol = kPairDist + kPairDistGrowth * hypotf(x - t.cx, y - t.cy);
    float best = 3.0f;
    int best_j = -1;
    for (int j = 0; j < nb; ++j) {
      if (w.taken[j]) continue;
      const float dx = b[j].x - x, dy = b[j].y - y;
      const float d2 = dx * dx + dy * dy;
      if (d2 > tol * tol) continue;
      const float da = fabsf(WrapPi(b[j].angle - angle));
      if (da > kPairAngle) continue;
      const float cost = sqrtf(d2) / tol + da / kPairAngle;
      if (cost < best) {
        best = cost;
        best_j = j;
      }
    }
    if (best_j >= 0) {
      w.taken[best_j] = true;
      w.pair_b[i] = best_j;
      ++pairs;
    }
  }
  return pairs;
}

// Least-squares rotation and translation that carry the paired a onto b.
Transform Refit(const Work& w, const MatcherMinutia* a, int na, const MatcherMinutia* b,
                const Transform& previous) {
  float sax = 0, say = 0, sbx = 0, sby = 0;
  int n = 0;
  for (int i = 0; i < na; ++i) {
    if (w.pair_b[i] < 0) continue;
    sax += a[i].x;
    say += a[i].y;
    sbx += b[w.pair_b[i]].x;
    sby += b[w.pair_b[i]].y;
    ++n;
  }
  if (n < 3) return previous;
  const float max = sax / n, may = say / n, mbx = sbx / n, mby = sby / n;
  float dot = 0, cross = 0;
  for (int i = 0; i < na; ++i) {
    if (w.pair_b[i] < 0) continue;
    const float ax = a[i].x - max, ay = a[i].y - may;
    const float bx = b[w.pair_b[i]].x - mbx, by = b[w.pair_b[i]].y - mby;
    dot += ax * bx + ay * by;
    cross += ax * by - ay * bx;
  }
  const float rot = atan2f(cross, dot);
  if (fabsf(WrapPi(rot - previous.rot)) > kPairAngle) return previous;
  Transform t;
  t.rot = rot;
  t.c = cosf(rot);
  t.s = sinf(rot);
  t.tx = mbx - (t.c * max - t.s * may);
  t.ty = mby - (t.s * max + t.c * may);
  t.cx = mbx;
  t.cy = mby;
  return t;
}

// How far a minutia is to be trusted, 0..1; a record that does not say
// counts as middling.
float Reliability(const MatcherMinutia& m) {
  return m.quality > 0 ? static_cast<float>(std::min<int>(m.quality, 100)) / 100.0f : 0.5f;
}

bool InsideWithin(const Hull& h, float x, float y, float margin) {
  if (h.edges == 0) return false;
  for (int e = 0; e < h.edges; ++e) {
    if (h.nx[e] * x + h.ny[e] * y - h.c[e] > margin) return false;
  }
  return true;
}

// Area of the part of a's hull, moved by t, that lies inside b's hull:
// the outline a moved by t is cut by each of b's edges in turn.
float OverlapArea(const Hull& a, const Hull& b, const Transform& t) {
  if (a.edges < 3 || b.edges < 3) return 0.0f;
  constexpr int kMaxCorners = 2 * kComparedMinutiae + 2;
  float x[2][kMaxCorners], y[2][kMaxCorners];
  int n = a.edges, cur = 0;
  for (int i = 0; i < n; ++i) {
    x[0][i] = t.c * a.px[i] - t.s * a.py[i] + t.tx;
    y[0][i] = t.s * a.px[i] + t.c * a.py[i] + t.ty;
  }
  for (int e = 0; e < b.edges && n > 0; ++e) {
    const float* cx = x[cur];
    const float* cy = y[cur];
    float* ox = x[1 - cur];
    float* oy = y[1 - cur];
    int m = 0;
    for (int i = 0; i < n; ++i) {
      const int j = (i + 1) % n;
      const float di = b.nx[e] * cx[i] + b.ny[e] * cy[i] - b.c[e];
      const float dj = b.nx[e] * cx[j] + b.ny[e] * cy[j] - b.c[e];
      if (di <= 0.0f && m < kMaxCorners) {
        ox[m] = cx[i];
        oy[m++] = cy[i];
      }
      if ((di < 0.0f) != (dj < 0.0f) && di != dj && m < kMaxCorners) {
        const float f = di / (di - dj);
        ox[m] = cx[i] + f * (cx[j] - cx[i]);
        oy[m++] = cy[i] + f * (cy[j] - cy[i]);
      }
    }
    n = m;
    cur = 1 - cur;
  }
  float twice = 0.0f;
  for (int i = 0; i < n; ++i) {
    const int j = (i + 1) % n;
    twice += x[cur][i] * y[cur][j] - x[cur][j] * y[cur][i];
  }
  return fabsf(twice) * 0.5f;
}

// Aligns the prints on each anchor, keeps the alignment that pairs most
// minutiae, and counts the minutiae of each print inside the other's hull.
void AlignOnAnchors(Work& w, const MatcherMinutia* a, int na, const MatcherMinutia* b, int nb,
                    MatchEvidence* e) {
  Transform best_t{};
  int best = -1;
  for (int k = 0; k < w.anchors; ++k) {
    Transform t = Turning(a[w.anchor_a[k]], b[w.anchor_b[k]]);
    int pairs = PairUp(w, a, na, b, nb, t);
    if (pairs >= 3) {
      const Transform refined = Refit(w, a, na, b, t);
      const int again = PairUp(w, a, na, b, nb, refined);
      if (again >= pairs) {
        pairs = again;
        t = refined;
      }
    }
    if (pairs > best) {
      best = pairs;
      best_t = t;
    }
  }
  if (best < 0) return;
  e->paired = best;
  const Transform& t = best_t;
  PairUp(w, a, na, b, nb, t);
  float paired_q = 0.0f, overlap_qa = 0.0f, overlap_qb = 0.0f;
  for (int i = 0; i < na; ++i) {
    if (w.pair_b[i] >= 0) paired_q += sqrtf(Reliability(a[i]) * Reliability(b[w.pair_b[i]]));
  }

  int in_b = 0, in_a = 0;
  for (int i = 0; i < na; ++i) {
    const float x = t.c * a[i].x - t.s * a[i].y + t.tx;
    const float y = t.s * a[i].x + t.c * a[i].y + t.ty;
    if (InsideWithin(w.hull_b, x, y, kOverlapMargin)) {
      ++in_b;
      overlap_qa += Reliability(a[i]);
    }
  }
  for (int j = 0; j < nb; ++j) {
    // The inverse motion carries b back onto a.
    const float dx = b[j].x - t.tx, dy = b[j].y - t.ty;
    const float x = t.c * dx + t.s * dy, y = -t.s * dx + t.c * dy;
    if (InsideWithin(w.hull_a, x, y, kOverlapMargin)) {
      ++in_a;
      overlap_qb += Reliability(b[j]);
    }
  }
  e->overlap_area = OverlapArea(w.hull_a, w.hull_b, t);
  e->overlap_a = in_b;
  e->overlap_b = in_a;
  e->paired_quality = paired_q;
  e->overlap_quality_a = overlap_qa;
  e->overlap_quality_b = overlap_qb;
}

// Copies the at most kComparedMinutiae most reliable of m's n minutiae to
// out, in their order; among equally reliable ones (a record without
// qualities) those nearer the middle of the print go first. Returns how many.
int MostReliable(const MatcherMinutia* m, int n, MatcherMinutia* out) {
  if (n <= kComparedMinutiae) {
    memcpy(out, m, sizeof(MatcherMinutia) * static_cast<size_t>(n));
    return n;
  }
  float mx = 0.0f, my = 0.0f;
  for (int i = 0; i < n; ++i) {
    mx += m[i].x;
    my += m[i].y;
  }
  mx /= static_cast<float>(n);
  my /= static_cast<float>(n);
  int order[kMaxMinutiae];
  float off[kMaxMinutiae];
  for (int i = 0; i < n; ++i) {
    order[i] = i;
    off[i] = (m[i].x - mx) * (m[i].x - mx) + (m[i].y - my) * (m[i].y - my);
  }
  std::partial_sort(order, order + kComparedMinutiae, order + n, [m, &off](int x, int y) {
    const float rx = Reliability(m[x]), ry = Reliability(m[y]);
    if (rx != ry) return rx > ry;
    return off[x] < off[y] || (off[x] == off[y] && x < y);
  });
  std::sort(order, order + kComparedMinutiae);
  for (int i = 0; i < kComparedMinutiae; ++i) out[i] = m[order[i]];
  return kComparedMinutiae;
}

}  // namespace

int MatcherMinutiaeFromView(const TemplateRecord& record, int view, MatcherMinutia* out) {
  if (view < 0 || view >= record.view_count || view >= kMaxParsedViews) return 0;
  const TemplateView& v = record.views[view];
  // Bring every producer's resolution to 500 ppi so that distances compare.
  float sx =
      record.x_resolution != 0 ? static_cast<float>(kResolution500Ppi) / record.x_resolution : 1.0f;
  float sy =
      record.y_resolution != 0 ? static_cast<float>(kResolution500Ppi) / record.y_resolution : 1.0f;
  const bool iso = record.format == VRFPM_FORMAT_ISO;
  for (int i = 0; i < v.minutia_count; ++i) {
    const TemplateMinutia& m = v.minutiae[i];
    float degrees = iso ? m.angle * (360.0f / 256.0f) : static_cast<float>(m.angle % 180) * 2.0f;
    out[i].x = m.x * sx;
    out[i].y = -(m.y * sy);  // records count y downwards
    out[i].angle = WrapPi(degrees * kPi / 180.0f);
    out[i].type = m.type;
    out[i].quality = m.quality;
  }
  return v.minutia_count;
}

MatchEvidence MinutiaeEvidence(const MatcherMinutia* a, int na, const MatcherMinutia* b, int nb) {
  MatchEvidence e{};
  na = std::min(na, kMaxMinutiae);
  nb = std::min(nb, kMaxMinutiae);
  if (a == nullptr || b == nullptr || na < kMatchMinMinutiae || nb < kMatchMinMinutiae) return e;
  Work* w = static_cast<Work*>(malloc(sizeof(Work)));
  if (w == nullptr) return e;
  na = MostReliable(a, na, w->ma);
  nb = MostReliable(b, nb, w->mb);
  a = w->ma;
  b = w->mb;
  e.count_a = na;
  e.count_b = nb;

  BuildHull(a, na, w->order, &w->hull_a);
  const int ca = BuildCylinders(a, na, w->hull_a, w->ca);
  BuildHull(b, nb, w->order, &w->hull_b);
  const int cb = BuildCylinders(b, nb, w->hull_b, w->cb);
  if (ca > 0 && cb > 0) {
    // Sized by what this comparison needs, not by the largest records.
    const size_t pairs = static_cast<size_t>(ca) * static_cast<size_t>(cb);
    const size_t rho =
        static_cast<size_t>(std::min(ca, cb)) * static_cast<size_t>(std::min(ca, cb));
    void* lists = malloc(pairs * sizeof(Pair) + rho * sizeof(float));
    if (lists != nullptr) {
      w->pairs = static_cast<Pair*>(lists);
      w->rho = reinterpret_cast<float*>(w->pairs + pairs);
      e.local = Consolidate(*w, ca, cb);
      AlignOnAnchors(*w, a, na, b, nb, &e);
      free(lists);
    }
  }
  free(w);
  return e;
}

float SimilarityFromEvidence(const MatchEvidence& e) {
  if (e.paired <= 0 || !(e.local > 0.0f) || !(e.paired_quality > 0.0f)) return 0.0f;
  // Chance makes more pairs the more minutiae the two prints share and the
  // more densely they lie: the pairs (clear minutiae counting more than
  // doubtful ones) are weighed against the shared minutiae and their
  // density over the common area, n_a n_b / area.
  const float shared =
      std::max(e.overlap_quality_a, kMinOverlap) * std::max(e.overlap_quality_b, kMinOverlap);
  const float area = std::max(e.overlap_area, kMinOverlapArea);
  return e.paired_quality / powf(shared, kSharedPower) * powf(area, kAreaPower);
}

float MinutiaeSimilarity(const MatcherMinutia* a, int na, const MatcherMinutia* b, int nb) {
  return SimilarityFromEvidence(MinutiaeEvidence(a, na, b, nb));
}

uint32_t ScoreFromSimilarity(float similarity) {
  if (!(similarity > 0.0f)) return 0;  // NaN too
  float score;
  if (similarity <= kScoreKnots[0]) {
    score = kFirstKnotScore * similarity / kScoreKnots[0];
  } else {
    // Between two knots the score runs linearly; past the last one the last
    // stretch goes on (the impostor tail keeps falling about exponentially).
    int k = 1;
    while (k < kScoreKnotCount - 1 && similarity > kScoreKnots[k]) ++k;
    score =
        kFirstKnotScore + kScorePerDecade * static_cast<float>(k - 1) +
        kScorePerDecade * (similarity - kScoreKnots[k - 1]) / (kScoreKnots[k] - kScoreKnots[k - 1]);
  }
  // A similarity on a knot reaches its score despite rounding.
  score += 1e-4f;
  if (score >= static_cast<float>(kMatchScoreMax)) return kMatchScoreMax;
  return static_cast<uint32_t>(score);
}

uint32_t MatchMinutiae(const MatcherMinutia* a, int na, const MatcherMinutia* b, int nb) {
  return ScoreFromSimilarity(MinutiaeSimilarity(a, na, b, nb));
}

MatchEvidence TemplateRecordsEvidence(const TemplateRecord& a, const TemplateRecord& b) {
  MatcherMinutia ma[kMaxViewMinutiae];
  MatcherMinutia mb[kMaxViewMinutiae];
  MatchEvidence best{};
  int views_a = std::min(a.view_count, kMaxParsedViews);
  int views_b = std::min(b.view_count, kMaxParsedViews);
  for (int va = 0; va < views_a; ++va) {
    int na = MatcherMinutiaeFromView(a, va, ma);
    for (int vb = 0; vb < views_b; ++vb) {
      int nb = MatcherMinutiaeFromView(b, vb, mb);
      MatchEvidence e = MinutiaeEvidence(ma, na, mb, nb);
      if (SimilarityFromEvidence(e) > SimilarityFromEvidence(best) || (va == 0 && vb == 0))
        best = e;
    }
  }
  return best;
}

float TemplateRecordsSimilarity(const TemplateRecord& a, const TemplateRecord& b) {
  MatcherMinutia ma[kMaxViewMinutiae];
  MatcherMinutia mb[kMaxViewMinutiae];
  float best = 0.0f;
  int views_a = std::min(a.view_count, kMaxParsedViews);
  int views_b = std::min(b.view_count, kMaxParsedViews);
  for (int va = 0; va < views_a; ++va) {
    int na = MatcherMinutiaeFromView(a, va, ma);
    for (int vb = 0; vb < views_b; ++vb) {
      int nb = MatcherMinutiaeFromView(b, vb, mb);
      best = std::max(best, MinutiaeSimilarity(ma, na, mb, nb));
    }
  }
  return best;
}

uint32_t MatchTemplateRecords(const TemplateRecord& a, const TemplateRecord& b) {
  return ScoreFromSimilarity(TemplateRecordsSimilarity(a, b));
}
