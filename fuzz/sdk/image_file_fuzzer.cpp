// Feeds arbitrary bytes to the image-file decoder of the virtual reader's
// images= option (PGM, BMP, WSQ). The input sits in a block of its own size,
// so any read past it is caught by the address sanitizer; a decoded image
// must have the size it claims.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "sdk/image_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint8_t* copy = static_cast<uint8_t*>(malloc(size > 0 ? size : 1));
  if (copy == nullptr) return 0;
  if (size > 0) memcpy(copy, data, size);
  ImageFile image;
  const int rc = DecodeImageFile(std::span<const uint8_t>(copy, size), &image);
  if (rc == kImageFileOk) {
    if (image.pixels == nullptr || image.width < kImageFileMinSide ||
        image.width > kImageFileMaxSide || image.height < kImageFileMinSide ||
        image.height > kImageFileMaxSide || image.ppi < 250 || image.ppi > 1000) {
      abort();
    }
    // Every pixel is there to read.
    volatile unsigned sum = 0;
    const size_t n = static_cast<size_t>(image.width) * static_cast<size_t>(image.height);
    for (size_t i = 0; i < n; i += 97) sum = sum + image.pixels.get()[i];
    sum = sum + image.pixels.get()[n - 1];
  } else if (image.pixels != nullptr) {
    abort();
  }
  free(copy);
  return 0;
}
