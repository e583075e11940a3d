// Feeds arbitrary images to the minutiae extractor: the first bytes choose
// the width, height, resolution and output room (sizes on both sides of the
// accepted range included), the rest are the pixels, repeated to fill the
// image or, in "short" mode, given as they are so that too few bytes must be
// refused. The pixels sit in a block of exactly their size, so that the
// address sanitizer catches any read past them.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "extract/minutiae_extractor.h"

namespace {

constexpr int kPpis[] = {0, 500, 250, 249, 333, 1000, 1001, 720};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 6) return 0;
  const uint8_t mode = data[4];
  // Mostly small images keep the fuzzer fast; mode bit 0 allows any size up
  // to a little beyond the largest accepted.
  const int span = (mode & 1) ? 1100 : 200;
  const int width = 40 + (data[0] | data[1] << 8) % span;
  const int height = 40 + (data[2] | data[3] << 8) % span;
  const int ppi = kPpis[(mode >> 1) % (sizeof kPpis / sizeof kPpis[0])];
  const bool short_pixels = (mode & 0x10) != 0;
  const size_t room = data[5] % 64 == 0 ? 0 : static_cast<size_t>(data[5]);
  data += 6;
  size -= 6;

  const size_t wanted = static_cast<size_t>(width) * static_cast<size_t>(height);
  const size_t bytes = short_pixels ? size : wanted;
  uint8_t* pixels = static_cast<uint8_t*>(malloc(bytes > 0 ? bytes : 1));
  if (pixels == nullptr) return 0;
  if (short_pixels) {
    if (size > 0) memcpy(pixels, data, size);
  } else {
    for (size_t i = 0; i < bytes; ++i) pixels[i] = size > 0 ? data[i % size] : 0;
  }
  const ExtractImage image{std::span<const uint8_t>(pixels, bytes), width, height, ppi};
  std::vector<ExtractedMinutia> out(room);
  int count = -1;
  const int rc = ExtractMinutiae(image, out, &count);
  if (rc == kExtractOk) {
    if (count < 0 || static_cast<size_t>(count) > room) abort();
    for (int i = 0; i < count; ++i) {
      const ExtractedMinutia& m = out[static_cast<size_t>(i)];
      if (!(m.x >= -0.5f && m.y >= -0.5f && m.x < width && m.y < height) || m.quality < 1 ||
          m.quality > 100 || !(m.angle >= 0 && m.angle < 6.2832f)) {
        abort();
      }
    }
  } else if (count != 0) {
    abort();
  }
  if (mode & 0x20) {
    int bx = 0, by = 0;
    if (ExtractBlockGrid(width, height, ppi, &bx, &by) == kExtractOk) {
      std::vector<float> orientation(static_cast<size_t>(bx) * by);
      std::vector<uint8_t> quality(orientation.size());
      (void)ExtractRidgeMaps(image, ExtractMaps{orientation, {}, quality});
    }
  }
  free(pixels);
  return 0;
}
