// libFuzzer target for the WSQ decoder: any bytes must give a clean result code or a
// full-size image, never a crash, a leak or an out-of-bounds access.

#include <cstdint>
#include <cstdlib>

#include "wsq/wsq.h"

namespace {
constexpr size_t kFuzzMaxPixels = 1u << 18;  // keeps every input fast to decode
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  unsigned char* image = nullptr;
  int width = 0, height = 0, ppi = 0;
  const int rc = WsqDecodeBounded(data, size, kFuzzMaxPixels, &image, &width, &height, &ppi);
  if (rc == kWsqOk) {
    if (image == nullptr || width <= 0 || height <= 0 ||
        static_cast<size_t>(width) * height > kFuzzMaxPixels)
      __builtin_trap();
    // Touch both ends so a short allocation shows up under the sanitizer.
    volatile unsigned char sink = image[0];
    sink = image[static_cast<size_t>(width) * height - 1];
    (void)sink;
  } else if (image != nullptr) {
    __builtin_trap();
  }
  std::free(image);
  return 0;
}
