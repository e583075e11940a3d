// Image quality and the NFIQ estimate over arbitrary images: the first bytes
// choose width, height, depth and resolution (dimensions may disagree with
// the data length only in the safe direction: the image is always at least
// width*height bytes), the rest are the pixels.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "sdk/image_quality.h"
#include "sdk/nfiq.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 6) return 0;
  const int width = 1 + (data[0] | (data[1] & 0x01) << 8);   // 1..512
  const int height = 1 + (data[2] | (data[3] & 0x01) << 8);  // 1..512
  const int depth = data[4] & 0x80 ? 8 : data[4] & 0x1F;
  static const int kPpi[] = {500, 0, 250, 1000, 249, 1001, -1, 333};
  const int ppi = kPpi[data[5] & 7];
  data += 6;
  size -= 6;
  // Pixels beyond the input repeat it, so that every byte of the image is
  // chosen by the fuzzer and the image has exactly width*height bytes.
  std::vector<uint8_t> image(static_cast<size_t>(width) * height);
  for (size_t i = 0; i < image.size(); i++) image[i] = size ? data[i % size] : 0;

  const int q = MeasureImageQuality(image.data(), width, height);
  if (q < 0 || q > 100) __builtin_trap();
  ImageQualityFeatures f;
  const int measured_ppi = ppi == 0 ? 500 : ppi;
  if (MeasureImageQualityFeaturesAtPpi(image.data(), width, height, measured_ppi, &f) == 0) {
    if (f.foreground_blocks > f.blocks || f.score < 0 || f.score > 100) __builtin_trap();
    if (measured_ppi == 500 && f.score != q) __builtin_trap();
  }
  int nfiq = -1, flags = 0;
  float confidence = -1;
  if (NFIQ_ComputeNfiq(&nfiq, &confidence, image.data(), width, height, depth, ppi, &flags) == 0) {
    if (nfiq < 1 || nfiq > 5 || confidence < 0 || confidence > 1 || flags != 0) __builtin_trap();
  }
  return 0;
}
