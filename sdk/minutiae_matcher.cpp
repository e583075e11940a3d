#include "sdk/minutiae_matcher.h"

#include <math.h>
#include <string.h>

#include <algorithm>

// Two stages. Local: every minutia is described by its nearest neighbours
// (distance, direction to the neighbour and the neighbour's direction, all
// relative to the minutia's own direction), which rotation and translation do
// not change; descriptors of the two prints are compared pair by pair. Global:
// the best local pairs serve as anchors for a rigid alignment of the whole
// print, the aligned minutiae are paired one to one within a distance and an
// angle tolerance, and the alignment is refitted on those pairs to absorb mild
// distortion. The score is the largest number of pairs found, a pair whose
// types differ counting a half.

namespace {

constexpr float kPi = 3.14159265358979f;
constexpr float kTwoPi = 2.0f * kPi;
constexpr int kNeighbours = 6;
constexpr float kMinNeighbourDist = 6.0f;  // closer neighbours are mostly noise
constexpr float kMaxNeighbourDist = 130.0f;
constexpr float kLocalDistTol = 10.0f;
constexpr float kLocalAngleTol = 0.35f;  // radians, about 20 degrees
constexpr int kAnchors = 12;
constexpr float kDistTol = kMatchDistancePx;
constexpr float kAngleTol = kMatchAngleDeg * kPi / 180.0f;
constexpr int kMaxMinutiae = kMaxViewMinutiae;

float WrapPi(float a) {
  while (a > kPi) a -= kTwoPi;
  while (a <= -kPi) a += kTwoPi;
  return a;
}

struct Neighbour {
  float dist;
  float alpha;  // direction to the neighbour, relative to the minutia's direction
  float beta;   // the neighbour's direction, relative to the minutia's direction
};

struct Local {
  int count;
  Neighbour n[kNeighbours];
};

void BuildLocals(const MatcherMinutia* m, int count, Local* locals) {
  for (int i = 0; i < count; ++i) {
    // Keep the kNeighbours nearest in a small sorted array.
    float best_d[kNeighbours];
    int best_j[kNeighbours];
    int found = 0;
    for (int j = 0; j < count; ++j) {
      if (j == i) continue;
      float dx = m[j].x - m[i].x;
      float dy = m[j].y - m[i].y;
      float d = sqrtf(dx * dx + dy * dy);
      if (d < kMinNeighbourDist || d > kMaxNeighbourDist) continue;
      if (found == kNeighbours && d >= best_d[found - 1]) continue;
      int at = found < kNeighbours ? found++ : kNeighbours - 1;
      while (at > 0 && best_d[at - 1] > d) {
        best_d[at] = best_d[at - 1];
        best_j[at] = best_j[at - 1];
        --at;
      }
      best_d[at] = d;
      best_j[at] = j;
    }
    locals[i].count = found;
    for (int k = 0; k < found; ++k) {
      const MatcherMinutia& q = m[best_j[k]];
      locals[i].n[k].dist = best_d[k];
      locals[i].n[k].alpha = WrapPi(atan2f(q.y - m[i].y, q.x - m[i].x) - m[i].angle);
      locals[i].n[k].beta = WrapPi(q.angle - m[i].angle);
    }
  }
}

// 0..1: how well the neighbourhoods agree (greedy one-to-one).
float LocalSimilarity(const Local& a, const Local& b) {
  if (a.count == 0 || b.count == 0) return 0.0f;
  bool used[kNeighbours] = {false};
  float sum = 0.0f;
  for (int p = 0; p < a.count; ++p) {
    float best = 0.0f;
    int best_q = -1;
    for (int q = 0; q < b.count; ++q) {
      if (used[q]) continue;
      float dd = fabsf(a.n[p].dist - b.n[q].dist);
      if (dd > kLocalDistTol) continue;
      float da = fabsf(WrapPi(a.n[p].alpha - b.n[q].alpha));
      if (da > kLocalAngleTol) continue;
      float db = fabsf(WrapPi(a.n[p].beta - b.n[q].beta));
      if (db > kLocalAngleTol) continue;
      float s = 1.0f - (dd / kLocalDistTol + da / kLocalAngleTol + db / kLocalAngleTol) / 3.0f;
      if (s > best) {
        best = s;
        best_q = q;
      }
    }
    if (best_q >= 0) {
      used[best_q] = true;
      sum += best;
    }
  }
  return sum / static_cast<float>(std::max(a.count, b.count));
}

bool SameType(const MatcherMinutia& a, const MatcherMinutia& b) {
  return a.type == b.type || a.type == kMinutiaOther || b.type == kMinutiaOther;
}

struct Transform {
  float cos_r, sin_r, rot;
  float tx, ty;
};

// Pairs the minutiae of a, moved by t, with those of b; fills pair_b[i]
// (index into b or -1) and returns the pairs in half points: 2 for a pair of
// the same type, 1 for a pair whose types differ. Pressure and moisture turn
// endings into bifurcations and back, so such a pair is still evidence, but
// weaker.
int PairUp(const MatcherMinutia* a, int na, const MatcherMinutia* b, int nb, const Transform& t,
           int* pair_b) {
  bool taken[kMaxMinutiae];
  memset(taken, 0, sizeof(bool) * static_cast<size_t>(nb));
  int pairs = 0;
  for (int i = 0; i < na; ++i) {
    pair_b[i] = -1;
    float x = t.cos_r * a[i].x - t.sin_r * a[i].y + t.tx;
    float y = t.sin_r * a[i].x + t.cos_r * a[i].y + t.ty;
    float angle = a[i].angle + t.rot;
    float best = 2.0f;
    int best_j = -1;
    for (int j = 0; j < nb; ++j) {
      if (taken[j]) continue;
      float dx = b[j].x - x;
      float dy = b[j].y - y;
      float d2 = dx * dx + dy * dy;
      if (d2 > kDistTol * kDistTol) continue;
      float da = fabsf(WrapPi(b[j].angle - angle));
      if (da > kAngleTol) continue;
      float cost = sqrtf(d2) / kDistTol + da / kAngleTol + (SameType(a[i], b[j]) ? 0.0f : 0.5f);
      if (cost < best) {
        best = cost;
        best_j = j;
      }
    }
    if (best_j >= 0) {
      taken[best_j] = true;
      pair_b[i] = best_j;
      pairs += SameType(a[i], b[best_j]) ? 2 : 1;
    }
  }
  return pairs;
}

// Least-squares rotation and translation that carry the paired a onto b.
Transform Refit(const MatcherMinutia* a, int na, const MatcherMinutia* b, const int* pair_b,
                const Transform& previous) {
  float sax = 0, say = 0, sbx = 0, sby = 0;
  int n = 0;
  for (int i = 0; i < na; ++i) {
    if (pair_b[i] < 0) continue;
    sax += a[i].x;
    say += a[i].y;
    sbx += b[pair_b[i]].x;
    sby += b[pair_b[i]].y;
    ++n;
  }
  if (n < 3) return previous;
  float max = sax / n, may = say / n, mbx = sbx / n, mby = sby / n;
  float dot = 0, cross = 0;
  for (int i = 0; i < na; ++i) {
    if (pair_b[i] < 0) continue;
    float ax = a[i].x - max, ay = a[i].y - may;
    float bx = b[pair_b[i]].x - mbx, by = b[pair_b[i]].y - mby;
    dot += ax * bx + ay * by;
    cross += ax * by - ay * bx;
  }
  float rot = atan2f(cross, dot);
  if (fabsf(WrapPi(rot - previous.rot)) > kAngleTol) return previous;
  Transform t;
  t.rot = rot;
  t.cos_r = cosf(rot);
  t.sin_r = sinf(rot);
  t.tx = mbx - (t.cos_r * max - t.sin_r * may);
  t.ty = mby - (t.sin_r * max + t.cos_r * may);
  return t;
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
  }
  return v.minutia_count;
}

uint32_t MatchMinutiae(const MatcherMinutia* a, int na, const MatcherMinutia* b, int nb) {
  na = std::min(na, kMaxMinutiae);
  nb = std::min(nb, kMaxMinutiae);
  if (a == nullptr || b == nullptr || na < kMatchMinMinutiae || nb < kMatchMinMinutiae) return 0;

  Local la[kMaxMinutiae];
  Local lb[kMaxMinutiae];
  BuildLocals(a, na, la);
  BuildLocals(b, nb, lb);

  // The kAnchors most similar local pairs, best first.
  float anchor_s[kAnchors];
  int anchor_i[kAnchors], anchor_j[kAnchors];
  int anchors = 0;
  for (int i = 0; i < na; ++i) {
    for (int j = 0; j < nb; ++j) {
      float s = LocalSimilarity(la[i], lb[j]);
      if (s <= 0.0f) continue;
      if (anchors == kAnchors && s <= anchor_s[anchors - 1]) continue;
      int at = anchors < kAnchors ? anchors++ : kAnchors - 1;
      while (at > 0 && anchor_s[at - 1] < s) {
        anchor_s[at] = anchor_s[at - 1];
        anchor_i[at] = anchor_i[at - 1];
        anchor_j[at] = anchor_j[at - 1];
        --at;
      }
      anchor_s[at] = s;
      anchor_i[at] = i;
      anchor_j[at] = j;
    }
  }

  int best = 0;  // half points
  int pair_b[kMaxMinutiae];
  for (int k = 0; k < anchors; ++k) {
    const MatcherMinutia& p = a[anchor_i[k]];
    const MatcherMinutia& q = b[anchor_j[k]];
    Transform t;
    t.rot = WrapPi(q.angle - p.angle);
    t.cos_r = cosf(t.rot);
    t.sin_r = sinf(t.rot);
    t.tx = q.x - (t.cos_r * p.x - t.sin_r * p.y);
    t.ty = q.y - (t.sin_r * p.x + t.cos_r * p.y);
    int pairs = PairUp(a, na, b, nb, t, pair_b);
    if (pairs >= 6) {
      Transform refined = Refit(a, na, b, pair_b, t);
      int again = PairUp(a, na, b, nb, refined, pair_b);
      pairs = std::max(pairs, again);
    }
    best = std::max(best, pairs);
    // Nearly every minutia of the smaller print is paired: no other anchor
    // can do much better.
    if (best * 10 >= std::min(na, nb) * 18) break;
  }
  return static_cast<uint32_t>(best / 2);
}

uint32_t MatchTemplateRecords(const TemplateRecord& a, const TemplateRecord& b) {
  MatcherMinutia ma[kMaxViewMinutiae];
  MatcherMinutia mb[kMaxViewMinutiae];
  uint32_t best = 0;
  int views_a = std::min(a.view_count, kMaxParsedViews);
  int views_b = std::min(b.view_count, kMaxParsedViews);
  for (int va = 0; va < views_a; ++va) {
    int na = MatcherMinutiaeFromView(a, va, ma);
    for (int vb = 0; vb < views_b; ++vb) {
      int nb = MatcherMinutiaeFromView(b, vb, mb);
      best = std::max(best, MatchMinutiae(ma, na, mb, nb));
    }
  }
  return best;
}
