#include "sdk/image_resample.h"

#include <math.h>

#include <algorithm>

#include "extract/minutiae_extractor.h"

namespace {

int ScaledSide(int side, double factor) {
  const long scaled = lround(static_cast<double>(side) * factor);
  return static_cast<int>(std::clamp(scaled, 1L, 1L << 20));
}

bool Holds(size_t span_bytes, ImageDimensions size) {
  return size.width > 0 && size.height > 0 &&
         static_cast<unsigned long long>(size.width) *
                 static_cast<unsigned long long>(size.height) <=
             span_bytes;
}

}  // namespace

ImageDimensions DimensionsAt500Ppi(int width, int height, double pixels_per_mm) {
  ImageDimensions same{std::max(width, 1), std::max(height, 1)};
  if (!(pixels_per_mm > 0.0) || !isfinite(pixels_per_mm)) return same;
  const double factor = kPixelsPerMmAt500Ppi / pixels_per_mm;
  if (fabs(factor - 1.0) <= kResolutionTolerance) return same;
  return ImageDimensions{ScaledSide(same.width, factor), ScaledSide(same.height, factor)};
}

int ResampleImage(std::span<const unsigned char> src, ImageDimensions src_size,
                  std::span<unsigned char> dst, ImageDimensions dst_size) {
  if (!Holds(src.size(), src_size) || !Holds(dst.size(), dst_size)) return -1;
  ResampleGreyImage(src.data(), src_size.width, src_size.height, dst.data(), dst_size.width,
                    dst_size.height);
  return 0;
}
