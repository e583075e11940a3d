// Test images with known answers: straight ridges of a chosen direction and
// period, optionally with one minutia of known type, place and direction made
// by a phase singularity (the ridges on one side of it are one more than on
// the other, so one ridge ends or splits there while the spacing stays even).
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

namespace ridge_pattern {

inline constexpr double kPi = 3.14159265358979323846;

enum class Minutia { kNone, kEnding, kBifurcation };

struct Pattern {
  int width, height;
  double period;   // pixels between ridges
  double degrees;  // ridge direction; for a minutia its direction: counter-
                   // clockwise on screen from +x, an ending pointing along
                   // its ridge, a bifurcation away from its stem
  Minutia minutia;
  double x, y;  // the minutia, pixels from the top-left corner
};

// Dark ridges (about 40) on light valleys (about 220).
inline std::vector<uint8_t> Render(const Pattern& p) {
  std::vector<uint8_t> image(static_cast<size_t>(p.width) * static_cast<size_t>(p.height));
  const double a = p.degrees * kPi / 180.0;
  // Along the direction (v) and across it (u), in image pixels with y down.
  const double vx = std::cos(a), vy = -std::sin(a);
  const double ux = -vy, uy = vx;
  // Winding the phase once round the minutia puts one more ridge on one side
  // of it: with this sense, on the side ahead of it. Ahead of an ending its
  // ridge goes on (phase 0: ridge centre) and behind it the valley opens; a
  // bifurcation is the other way round.
  const double offset = p.minutia == Minutia::kEnding ? kPi / 2 : -kPi / 2;
  for (int y = 0; y < p.height; ++y) {
    for (int x = 0; x < p.width; ++x) {
      const double dx = x - p.x, dy = y - p.y;
      const double u = dx * ux + dy * uy, v = dx * vx + dy * vy;
      double phase = 2 * kPi * u / p.period;
      if (p.minutia != Minutia::kNone) phase += offset - std::atan2(v, u);
      image[static_cast<size_t>(y) * p.width + x] =
          static_cast<uint8_t>(std::lround(130.0 - 90.0 * std::cos(phase)));
    }
  }
  return image;
}

}  // namespace ridge_pattern
