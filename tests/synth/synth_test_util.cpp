#include "tests/synth/synth_test_util.h"

#include <cmath>

int Synthesize(const SynthRequest& req, SynthImage* img) {
  img->width = req.width;
  img->height = req.height;
  img->pixels.assign(
      static_cast<size_t>(req.width > 0 ? req.width : 1) * (req.height > 0 ? req.height : 1), 0);
  return SynthesizeImpression(&req, img->pixels.data(), &img->info);
}

float RidgeOrientationAt(const SynthImage& img, int cx, int cy, int radius, float* coherence) {
  double sxx = 0, syy = 0, sxy = 0;
  const int w = img.width;
  const unsigned char* p = img.pixels.data();
  for (int y = cy - radius; y <= cy + radius; y++) {
    for (int x = cx - radius; x <= cx + radius; x++) {
      if (x < 1 || y < 1 || x >= img.width - 1 || y >= img.height - 1) continue;
      const double gx = (p[y * w + x + 1] - p[y * w + x - 1]) / 2.0;
      const double gy = (p[(y + 1) * w + x] - p[(y - 1) * w + x]) / 2.0;
      sxx += gx * gx;
      syy += gy * gy;
      sxy += gx * gy;
    }
  }
  const double tr = sxx + syy;
  *coherence =
      tr > 0 ? static_cast<float>(std::sqrt((sxx - syy) * (sxx - syy) + 4 * sxy * sxy) / tr) : 0.0f;
  // Gradient normal in image axes (y down); the ridge runs across it. On
  // screen (y up) the ridge angle is the negated image angle.
  const double normal = 0.5 * std::atan2(2 * sxy, sxx - syy);
  double ridge = -(normal + M_PI / 2);
  ridge = std::fmod(ridge, M_PI);
  if (ridge < 0) ridge += M_PI;
  return static_cast<float>(ridge);
}

float AxisDifference(float a, float b) {
  float d = std::fmod(std::fabs(a - b), static_cast<float>(M_PI));
  return d > M_PI / 2 ? static_cast<float>(M_PI) - d : d;
}
