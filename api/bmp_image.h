// 8-bit greyscale BMP files made from the reader's raw images, for the capture
// reply. Pure functions; the returned block belongs to the caller.
#pragma once

#include <cstddef>

inline constexpr unsigned kBmpFileHeaderBytes = 14;
inline constexpr unsigned kBmpInfoHeaderBytes = 40;
inline constexpr unsigned kBmpPaletteBytes = 256 * 4;
inline constexpr unsigned kBmpPixelOffset =
    kBmpFileHeaderBytes + kBmpInfoHeaderBytes + kBmpPaletteBytes;  // 1078

// Bytes of one stored row: the width rounded up to a multiple of 4.
unsigned BmpRowStride(unsigned width);

// Makes a bottom-up 8-bit BMP (40-byte information header, 256-entry linear
// grey palette) from width x height grey bytes stored top row first; the
// filler bytes that pad each row to the stride are 0. Returns a new malloc'd
// block of *file_size bytes, or null (with *file_size 0) when memory runs out
// or the file would not fit the format's 32-bit sizes.
[[nodiscard]] unsigned char* CreateBMPImage(const unsigned char* raw, unsigned width,
                                            unsigned height, int* file_size);
