// Helpers of the WSQ codec tests: finger images from the virtual reader's generator, image
// comparison, and an independent walker over a WSQ file's segments.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// An impression of the given finger from the virtual reader's generator.
Bytes FingerImage(unsigned finger_id, unsigned impression, int width, int height,
                  bool poor = false);

// Peak signal-to-noise ratio in dB of b against a (same size); 99 for identical images.
double Psnr(const Bytes& a, const Bytes& b);

// WsqEncode into a vector; rc receives the result code.
Bytes Encode(const Bytes& image, int width, int height, float rate, int* rc,
             const char* comment = "Kestrav", int ppi = 500);

// WsqDecode from an exact-size heap copy of the bytes, so that a sanitizer build flags any
// read past the end. The image is returned only on success.
struct Decoded {
  int rc = 0;
  int width = 0, height = 0, ppi = 0;
  Bytes image;
};
Decoded Decode(const Bytes& file);

// One segment of a WSQ file: marker code, offset of the 0xFF, the whole segment's bytes
// (marker and length included) and, after an SOB, the entropy-coded bytes up to the next marker.
struct Segment {
  uint8_t marker;
  size_t offset;
  Bytes bytes;
  Bytes entropy;
  const uint8_t* payload() const { return bytes.data() + 4; }  // after marker and length
  size_t payload_size() const { return bytes.size() - 4; }
};

// Splits a well-formed file into segments (SOI and EOI carry only their marker). Returns false
// on anything it cannot follow.
bool SplitSegments(const Bytes& file, std::vector<Segment>* out);
Bytes JoinSegments(const std::vector<Segment>& segments);

inline unsigned Be16(const uint8_t* p) {
  return (unsigned{p[0]} << 8) | p[1];
}
inline uint32_t Be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
