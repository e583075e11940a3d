// Minutiae on the skeleton by crossing number: 1 is a ridge ending, 3 a
// bifurcation. A minutia's axis is the ridge direction of the field around it
// (smooth, so more precise than a few skeleton pixels); which way along that
// axis it points comes from following the skeleton: an ending points along
// its ridge, a bifurcation away from its stem, between its two branches.
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "extract/extract_stages.h"

namespace extract {
namespace {

constexpr float kFieldAgreement =
    0.6f;  // radians: a trace further off than this keeps its own angle

float WrapPi(float a) {
  while (a > kPi) a -= 2 * kPi;
  while (a <= -kPi) a += 2 * kPi;
  return a;
}

// The starting neighbour of each run of set neighbours around the ring: a
// 4-neighbour where the run has one, since it is the pixel the line goes on
// through. Returns the number of runs (at most 4).
int RunStarts(int code, int starts[4]) {
  int runs = 0;
  for (int i = 0; i < 8 && runs < 4; ++i) {
    const int prev = (i + 7) & 7;
    if (!((code >> i) & 1) || ((code >> prev) & 1)) continue;
    int pick = i;
    for (int j = i; (code >> (j & 7)) & 1; ++j) {
      if ((j & 1) == 0) {
        pick = j & 7;
        break;
      }
      if (j - i >= 7) break;
    }
    starts[runs++] = pick;
  }
  return runs;
}

// Direction of the vector (dx, dy), snapped to the field's axis when the two
// agree.
float SnapToField(float dx, float dy, float axis) {
  const float traced = std::atan2(dy, dx);
  float best = axis;
  if (std::fabs(WrapPi(axis + kPi - traced)) < std::fabs(WrapPi(axis - traced))) best = axis + kPi;
  if (std::fabs(WrapPi(best - traced)) > kFieldAgreement) best = traced;
  return WrapPi(best);
}

// Thinning eats into a ridge from its end by about half its width; the
// ending sits where the ridge itself stops, so it is moved back along its
// direction over the ridge pixels of the enhanced image.
void MoveToRidgeTip(const ExtractWork& w, Candidate* c, int period) {
  const float bx = -std::cos(c->angle), by = -std::sin(c->angle);
  c->px = static_cast<float>(c->x);
  c->py = static_cast<float>(c->y);
  for (int d = 1; d <= period / 2; ++d) {
    const int x =
        static_cast<int>(std::lround(static_cast<float>(c->x) + static_cast<float>(d) * bx));
    const int y =
        static_cast<int>(std::lround(static_cast<float>(c->y) + static_cast<float>(d) * by));
    if (x < 1 || y < 1 || x + 1 >= w.width || y + 1 >= w.height) break;
    if (!(w.enhanced[static_cast<size_t>(y) * w.width + x] > 0)) break;
    c->px = static_cast<float>(x);
    c->py = static_cast<float>(y);
  }
}

}  // namespace

int TraceSkeleton(const ExtractWork& work, int x, int y, int nx, int ny, int max_steps, int* ex,
                  int* ey, int* stop) {
  int px = x, py = y, cx = nx, cy = ny;
  int steps = 1;
  *stop = 0;
  for (;;) {
    const uint8_t* p = work.ridges + static_cast<size_t>(cy) * work.width + cx;
    const int code = NeighbourCode(p, work.width);
    const Neighbourhood& nb = kNeighbourhoods[code];
    if (nb.crossing <= 1) {
      *stop = 1;
      break;
    }
    if (nb.crossing >= 3) {
      *stop = 3;
      break;
    }
    if (steps >= max_steps) break;
    // The way on: not back, and rather not beside where we came from, but
    // where the line turns a right angle that is the only way.
    int best = -1, best_cost = 0;
    for (int k = 0; k < 8; ++k) {
      if (!((code >> k) & 1)) continue;
      const int qx = cx + kNeighbourDx[k], qy = cy + kNeighbourDy[k];
      if (qx == px && qy == py) continue;
      const bool beside = std::abs(qx - px) <= 1 && std::abs(qy - py) <= 1;
      const int cost = (beside ? 4 : 0) + (k & 1);
      if (best < 0 || cost < best_cost) {
        best = k;
        best_cost = cost;
      }
    }
    if (best < 0) {
      *stop = 1;
      break;
    }
    px = cx;
    py = cy;
    cx += kNeighbourDx[best];
    cy += kNeighbourDy[best];
    ++steps;
  }
  *ex = cx;
  *ey = cy;
  return steps;
}

int DetectMinutiae(const ExtractWork& work, Candidate* candidates, int capacity) {
  const ExtractWork& w = work;
  int count = 0;
  for (int y = 1; y + 1 < w.height && count < capacity; ++y) {
    const uint8_t* row = w.ridges + static_cast<size_t>(y) * w.width;
    for (int x = 1; x + 1 < w.width && count < capacity; ++x) {
      if (!row[x]) continue;
      const int code = NeighbourCode(row + x, w.width);
      const int crossing = kNeighbourhoods[code].crossing;
      if (crossing != 1 && crossing != 3) continue;
      const int block = BlockOfPixel(w, x, y);
      const float axis = w.blocks.orient[block];
      const int reach = std::max(6, static_cast<int>(std::lround(w.blocks.period[block])));
      int starts[4];
      const int runs = RunStarts(code, starts);
      Candidate c{x, y, static_cast<float>(x), static_cast<float>(y), 0.0f, 0, false, 0.0f};
      if (crossing == 1) {
        int ex, ey, stop;
        TraceSkeleton(w, x, y, x + kNeighbourDx[starts[0]], y + kNeighbourDy[starts[0]], reach, &ex,
                      &ey, &stop);
        c.type = 1;
        c.angle = SnapToField(static_cast<float>(ex - x), static_cast<float>(ey - y), axis);
        MoveToRidgeTip(w, &c, reach);
      } else {
        // A junction two pixels thick shows two crossing-number-3 pixels
        // side by side; they are one bifurcation.
        bool twin = false;
        for (int k = count - 1; k >= 0 && candidates[k].y >= y - 1; --k) {
          if (candidates[k].type == 2 && std::abs(candidates[k].x - x) <= 1) twin = true;
        }
        if (twin || runs != 3) continue;
        float vx[3], vy[3];
        for (int b = 0; b < 3; ++b) {
          int ex, ey, stop;
          TraceSkeleton(w, x, y, x + kNeighbourDx[starts[b]], y + kNeighbourDy[starts[b]], reach,
                        &ex, &ey, &stop);
          const float dx = static_cast<float>(ex - x), dy = static_cast<float>(ey - y);
          const float len = std::max(1e-3f, std::sqrt(dx * dx + dy * dy));
          vx[b] = dx / len;
          vy[b] = dy / len;
        }
        // The two branches closest in direction are the fork; the third is the stem.
        int stem = 0;
        float best = -2.0f;
        for (int b = 0; b < 3; ++b) {
          const int i = (b + 1) % 3, j = (b + 2) % 3;
          const float dot = vx[i] * vx[j] + vy[i] * vy[j];
          if (dot > best) {
            best = dot;
            stem = b;
          }
        }
        const int i = (stem + 1) % 3, j = (stem + 2) % 3;
        c.type = 2;
        c.angle = SnapToField(vx[i] + vx[j] - vx[stem], vy[i] + vy[j] - vy[stem], axis);
      }
      candidates[count++] = c;
    }
  }
  return count;
}

}  // namespace extract
