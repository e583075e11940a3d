// Rescaling of 8-bit grey images to the SDK's 500 ppi, for readers whose
// sensors have another resolution. Pure functions over caller-owned buffers;
// any thread.
#pragma once

#include <span>

inline constexpr double kPixelsPerMmAt500Ppi = 500.0 / 25.4;
// Resolutions this close to 500 ppi (relative) are taken as 500 ppi: scaling
// by less than a pixel per hundred only blurs.
inline constexpr double kResolutionTolerance = 0.01;

struct ImageDimensions {
  int width;
  int height;
};

// The size an image of width x height at pixels_per_mm has at 500 ppi; the
// same size when pixels_per_mm is unknown (0 or less, or not finite) or
// within kResolutionTolerance of 500 ppi. Each side is at least 1.
ImageDimensions DimensionsAt500Ppi(int width, int height, double pixels_per_mm);

// Bilinear resampling of src (src_size) into dst (dst_size), pixel centres
// mapped onto each other; equal sizes copy the bytes unchanged. Returns 0, or
// -1 when a size is not positive or a span is shorter than its size (dst is
// then untouched).
[[nodiscard]] int ResampleImage(std::span<const unsigned char> src, ImageDimensions src_size,
                                std::span<unsigned char> dst, ImageDimensions dst_size);
