#include "api/bmp_image.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

void PutU16(unsigned char* p, uint16_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}

void PutU32(unsigned char* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

}  // namespace

unsigned BmpRowStride(unsigned width) {
  return static_cast<unsigned>(((static_cast<uint64_t>(width) * 8 + 31) / 32) * 4);
}

unsigned char* CreateBMPImage(const unsigned char* raw, unsigned width, unsigned height,
                              int* file_size) {
  *file_size = 0;
  const uint64_t stride = ((static_cast<uint64_t>(width) * 8 + 31) / 32) * 4;
  const uint64_t pixel_bytes = stride * height;
  const uint64_t total = kBmpPixelOffset + pixel_bytes;
  // The header fields are signed 32-bit for width and height, and the size is
  // reported as an int.
  if (width > INT32_MAX || height > INT32_MAX || total > INT32_MAX) return nullptr;
  unsigned char* bmp = static_cast<unsigned char*>(malloc(total));
  if (!bmp) return nullptr;

  unsigned char* h = bmp;
  h[0] = 'B';
  h[1] = 'M';
  PutU32(h + 2, static_cast<uint32_t>(total));
  PutU16(h + 6, 0);
  PutU16(h + 8, 0);
  PutU32(h + 10, kBmpPixelOffset);

  unsigned char* info = bmp + kBmpFileHeaderBytes;
  PutU32(info + 0, kBmpInfoHeaderBytes);
  PutU32(info + 4, width);
  PutU32(info + 8, height);  // positive: rows stored bottom-up
  PutU16(info + 12, 1);      // planes
  PutU16(info + 14, 8);      // bits per pixel
  PutU32(info + 16, 0);      // no compression
  PutU32(info + 20, static_cast<uint32_t>(pixel_bytes));
  PutU32(info + 24, 0);    // horizontal resolution
  PutU32(info + 28, 0);    // vertical resolution
  PutU32(info + 32, 256);  // colours used
  PutU32(info + 36, 256);  // important colours

  unsigned char* palette = info + kBmpInfoHeaderBytes;
  for (unsigned i = 0; i < 256; ++i) {
    palette[4 * i + 0] = static_cast<unsigned char>(i);
    palette[4 * i + 1] = static_cast<unsigned char>(i);
    palette[4 * i + 2] = static_cast<unsigned char>(i);
    palette[4 * i + 3] = 0;
  }

  unsigned char* pixels = bmp + kBmpPixelOffset;
  for (uint64_t r = 0; r < height; ++r) {
    unsigned char* row = pixels + r * stride;
    memcpy(row, raw + (height - 1 - r) * static_cast<uint64_t>(width), width);
    memset(row + width, 0, stride - width);
  }
  *file_size = static_cast<int>(total);
  return bmp;
}
