// BMP files made from raw grey images, read back field by field.
#include "api/bmp_image.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

uint32_t U32(const unsigned char* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

TEST(BmpImage, SizesAndStride) {
  const struct {
    unsigned w, h, stride;
    int file;
  } cases[] = {
      {300, 400, 300, 121078},
      {258, 336, 260, 1078 + 260 * 336},
      {260, 300, 260, 1078 + 78000},
      {1, 1, 4, 1082},
      {3, 2, 4, 1086},
      {5, 1, 8, 1086},
      {4, 0, 4, 1078},
      {0, 3, 0, 1078},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(BmpRowStride(c.w), c.stride) << c.w;
    std::vector<unsigned char> raw(static_cast<size_t>(c.w) * c.h + 1, 0x55);
    int size = -1;
    unsigned char* bmp = CreateBMPImage(raw.data(), c.w, c.h, &size);
    ASSERT_NE(bmp, nullptr);
    EXPECT_EQ(size, c.file) << c.w << "x" << c.h;
    EXPECT_EQ(U32(bmp + 2), static_cast<uint32_t>(c.file));
    EXPECT_EQ(U32(bmp + 34), c.stride * c.h);
    free(bmp);
  }
}

TEST(BmpImage, DimensionsBeyondTheFormatAreRefused) {
  unsigned char pixel = 0;
  int size = 5;
  EXPECT_EQ(CreateBMPImage(&pixel, 70000, 70000, &size), nullptr);
  EXPECT_EQ(size, 0);
  EXPECT_EQ(CreateBMPImage(&pixel, 0x80000000u, 1, &size), nullptr);
}

}  // namespace
