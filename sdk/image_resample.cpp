#include "sdk/image_resample.h"

#include <math.h>
#include <string.h>

#include <algorithm>

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
  const size_t sw = static_cast<size_t>(src_size.width);
  if (src_size.width == dst_size.width && src_size.height == dst_size.height) {
    memcpy(dst.data(), src.data(), sw * static_cast<size_t>(src_size.height));
    return 0;
  }
  const double sx = static_cast<double>(src_size.width) / dst_size.width;
  const double sy = static_cast<double>(src_size.height) / dst_size.height;
  for (int y = 0; y < dst_size.height; ++y) {
    const double fy = std::clamp((y + 0.5) * sy - 0.5, 0.0, src_size.height - 1.0);
    const int y0 = static_cast<int>(fy);
    const int y1 = std::min(y0 + 1, src_size.height - 1);
    const double wy = fy - y0;
    for (int x = 0; x < dst_size.width; ++x) {
      const double fx = std::clamp((x + 0.5) * sx - 0.5, 0.0, src_size.width - 1.0);
      const int x0 = static_cast<int>(fx);
      const int x1 = std::min(x0 + 1, src_size.width - 1);
      const double wx = fx - x0;
      const unsigned char* r0 = src.data() + static_cast<size_t>(y0) * sw;
      const unsigned char* r1 = src.data() + static_cast<size_t>(y1) * sw;
      const double top = r0[x0] + (r0[x1] - r0[x0]) * wx;
      const double bottom = r1[x0] + (r1[x1] - r1[x0]) * wx;
      dst[static_cast<size_t>(y) * static_cast<size_t>(dst_size.width) + static_cast<size_t>(x)] =
          static_cast<unsigned char>(lround(std::clamp(top + (bottom - top) * wy, 0.0, 255.0)));
    }
  }
  return 0;
}
