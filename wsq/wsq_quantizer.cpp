// Bit allocation over the subbands and the scalar quantizer with its dead zone.

#include <cmath>

#include "wsq/wsq.h"

namespace wsq {

namespace {

constexpr double kBinCenter = 0.44;       // dequantizer places values 0.44 bins from the edge
constexpr double kMinVariance = 1.01;     // flatter subbands carry nothing worth coding
constexpr double kZeroBinRatio = 1.2;     // zero bin is 1.2 ordinary bins wide
constexpr double kMinBinWidth = 0.125;    // keeps every quantized value within 16 bits
constexpr int32_t kMaxQuantized = 65535;  // largest magnitude the escape symbols carry

// Relative weights of the high-frequency subbands 52..59: finer bins where the eye (and the
// matchers) see ridge detail best.
constexpr double kHighBandWeight[8] = {1.32, 1.08, 1.42, 1.08, 1.32, 1.42, 1.08, 1.08};

double Rounded(double x) {
  return FromScaled(ToScaled(x, 0xFFFF));
}

}  // namespace

void AllocateBins(const double variance[kSubbands], double bitrate, QuantTable* out) {
  out->bin_center = Rounded(kBinCenter);
  bool kept[kSubbands];
  double sigma[kSubbands];
  double relative[kSubbands];
  for (int k = 0; k < kSubbands; ++k) {
    out->q[k] = 0;
    out->z[k] = 0;
    kept[k] = k < kCodedSubbands && variance[k] >= kMinVariance;
    sigma[k] = kept[k] ? std::sqrt(variance[k]) : 0;
    if (!kept[k]) {
      relative[k] = 0;
    } else if (k < 4) {
      relative[k] = 1;
    } else {
      const double weight = k >= 52 ? kHighBandWeight[k - 52] : 1.0;
      relative[k] = 10 / (weight * std::log(variance[k]));
    }
  }
  // The rate model gives subband k about log2(5 * sigma_k / Q_k) bits per coefficient. Solve
  // for the global factor that meets the target, drop the subbands that would get no bits,
  // and solve again until every kept subband gets a positive share.
  double log_q = 0;
  for (;;) {
    double share = 0, log_product = 0;
    for (int k = 0; k < kSubbands; ++k) {
      if (!kept[k]) continue;
      const double f = SubbandAreaShare(k);
      share += f;
      log_product += f * std::log(sigma[k] / relative[k]);
    }
    if (share <= 0) break;
    log_q = (bitrate / share - 1) * std::log(2.0) - std::log(2.5) - log_product / share;
    bool removed = false;
    for (int k = 0; k < kSubbands; ++k) {
      if (kept[k] && std::log(relative[k]) - log_q >= std::log(5 * sigma[k])) {
        kept[k] = false;
        removed = true;
      }
    }
    if (!removed) break;
  }
  for (int k = 0; k < kSubbands; ++k) {
    if (!kept[k]) continue;
    double q = std::exp(std::log(relative[k]) - log_q);
    if (!(q >= kMinBinWidth)) q = kMinBinWidth;
    if (q > 0xFFFF) q = 0xFFFF;
    out->q[k] = Rounded(q);
    out->z[k] = Rounded(kZeroBinRatio * q);
  }
}

int32_t Quantize(float a, double q, double z) {
  if (!(q > 0)) return 0;
  const double half = z / 2;
  double v;
  if (a > half) {
    v = std::floor((a - half) / q) + 1;
  } else if (a < -half) {
    v = std::ceil((a + half) / q) - 1;
  } else {
    return 0;
  }
  if (v > kMaxQuantized) return kMaxQuantized;
  if (v < -kMaxQuantized) return -kMaxQuantized;
  return static_cast<int32_t>(v);
}

float Dequantize(int32_t p, double q, double z, double bin_center) {
  if (p == 0) return 0;
  if (p > 0) return static_cast<float>((p - bin_center) * q + z / 2);
  return static_cast<float>((p + bin_center) * q - z / 2);
}

}  // namespace wsq
