// Decoders of the image files the virtual reader can present. Each format's
// header is read field by field with its bounds checked; sizes are compared
// in 64-bit arithmetic before any pixel is touched.
#include "sdk/image_file.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "wsq/wsq.h"

namespace {

constexpr int kMinPlausiblePpi = 250;
constexpr int kMaxPlausiblePpi = 1000;

int PlausiblePpi(long ppi) {
  return ppi >= kMinPlausiblePpi && ppi <= kMaxPlausiblePpi ? static_cast<int>(ppi)
                                                            : kImageFileDefaultPpi;
}

bool SideOk(long side) {
  return side >= kImageFileMinSide && side <= kImageFileMaxSide;
}

// Allocates the pixels of a width x height image into *out.
int Allocate(int width, int height, ImageFile* out) {
  out->pixels.reset(static_cast<unsigned char*>(
      malloc(static_cast<size_t>(width) * static_cast<size_t>(height))));
  if (!out->pixels) return kImageFileNoMemory;
  out->width = width;
  out->height = height;
  return kImageFileOk;
}

// --- PGM: "P5", width, height, maxval as decimal text separated by white
// space or comments, one white-space byte, then the pixels.

bool IsSpace(uint8_t c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Reads the next decimal number of the header at *pos; false when there is
// none or it is longer than 7 digits.
bool PgmNumber(std::span<const uint8_t> b, size_t* pos, long* value) {
  size_t i = *pos;
  for (;;) {
    while (i < b.size() && IsSpace(b[i])) ++i;
    if (i < b.size() && b[i] == '#') {
      while (i < b.size() && b[i] != '\n' && b[i] != '\r') ++i;
      continue;
    }
    break;
  }
  long v = 0;
  int digits = 0;
  while (i < b.size() && b[i] >= '0' && b[i] <= '9') {
    if (++digits > 7) return false;
    v = v * 10 + (b[i] - '0');
    ++i;
  }
  if (digits == 0) return false;
  *pos = i;
  *value = v;
  return true;
}

int DecodePgm(std::span<const uint8_t> b, ImageFile* out) {
  size_t pos = 2;
  long width = 0, height = 0, maxval = 0;
  if (!PgmNumber(b, &pos, &width) || !PgmNumber(b, &pos, &height) || !PgmNumber(b, &pos, &maxval) ||
      pos >= b.size() || !IsSpace(b[pos])) {
    return kImageFileMalformed;
  }
  ++pos;  // the one white-space byte before the pixels
  if (maxval < 1 || maxval > 65535) return kImageFileMalformed;
  if (maxval > 255) return kImageFileUnsupported;  // two bytes a pixel
  if (!SideOk(width) || !SideOk(height)) return kImageFileBadSize;
  const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
  if (b.size() - pos < count) return kImageFileMalformed;
  const int rc = Allocate(static_cast<int>(width), static_cast<int>(height), out);
  if (rc != kImageFileOk) return rc;
  unsigned char* p = out->pixels.get();
  for (size_t i = 0; i < count; ++i) {
    const long v = b[pos + i] > maxval ? maxval : b[pos + i];
    p[i] = static_cast<unsigned char>((v * 255 + maxval / 2) / maxval);
  }
  out->ppi = kImageFileDefaultPpi;  // PGM does not say
  return kImageFileOk;
}

// --- BMP: file header, an information header of 40 bytes or more
// (BITMAPINFOHEADER and its later versions), a palette for 8-bit images,
// rows padded to 4 bytes, bottom-up unless the height is negative.

uint32_t Le16(std::span<const uint8_t> b, size_t at) {
  return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8;
}
uint32_t Le32(std::span<const uint8_t> b, size_t at) {
  return Le16(b, at) | Le16(b, at + 2) << 16;
}

uint8_t Luminance(uint8_t r, uint8_t g, uint8_t b) {
  return static_cast<uint8_t>((77u * r + 150u * g + 29u * b + 128u) >> 8);
}

int DecodeBmp(std::span<const uint8_t> b, ImageFile* out) {
  constexpr size_t kFileHeader = 14, kInfoHeader = 40;
  if (b.size() < kFileHeader + kInfoHeader) return kImageFileMalformed;
  const uint64_t offset = Le32(b, 10);
  const uint64_t info = Le32(b, 14);
  if (info == 12) return kImageFileUnsupported;  // the old OS/2 header
  if (info < kInfoHeader || kFileHeader + info > b.size()) return kImageFileMalformed;
  const int64_t width = static_cast<int32_t>(Le32(b, 18));
  const int64_t signed_height = static_cast<int32_t>(Le32(b, 22));
  const uint32_t planes = Le16(b, 26), bits = Le16(b, 28), compression = Le32(b, 30);
  const int64_t ppm = static_cast<int32_t>(Le32(b, 38));
  const uint64_t colours = Le32(b, 46);
  if (planes != 1) return kImageFileMalformed;
  if ((bits != 8 && bits != 24) || compression != 0) return kImageFileUnsupported;
  const bool top_down = signed_height < 0;
  const int64_t height = top_down ? -signed_height : signed_height;
  if (!SideOk(width) || !SideOk(height)) return kImageFileBadSize;
  // The palette of an 8-bit image lies between the headers and the pixels.
  uint8_t grey_of[256] = {};
  if (bits == 8) {
    const uint64_t entries = colours == 0 ? 256 : colours;
    if (entries > 256) return kImageFileMalformed;
    const uint64_t start = kFileHeader + info;
    if (start + 4 * entries > offset || start + 4 * entries > b.size()) return kImageFileMalformed;
    for (uint64_t i = 0; i < entries; ++i) {
      const size_t e = static_cast<size_t>(start + 4 * i);
      grey_of[i] = Luminance(b[e + 2], b[e + 1], b[e]);
    }
    // Indices past a short palette read as black, as most viewers show them.
  }
  const uint64_t stride = (static_cast<uint64_t>(width) * bits + 31) / 32 * 4;
  if (offset < kFileHeader + info || offset + stride * static_cast<uint64_t>(height) > b.size()) {
    return kImageFileMalformed;
  }
  const int rc = Allocate(static_cast<int>(width), static_cast<int>(height), out);
  if (rc != kImageFileOk) return rc;
  for (int64_t y = 0; y < height; ++y) {
    const int64_t stored = top_down ? y : height - 1 - y;
    const size_t row = static_cast<size_t>(offset + static_cast<uint64_t>(stored) * stride);
    unsigned char* dst = out->pixels.get() + static_cast<size_t>(y) * static_cast<size_t>(width);
    for (int64_t x = 0; x < width; ++x) {
      if (bits == 8) {
        dst[x] = grey_of[b[row + static_cast<size_t>(x)]];
      } else {
        const size_t p = row + 3 * static_cast<size_t>(x);
        dst[x] = Luminance(b[p + 2], b[p + 1], b[p]);
      }
    }
  }
  out->ppi = PlausiblePpi((ppm * 254 + 5000) / 10000);
  return kImageFileOk;
}

int DecodeWsq(std::span<const uint8_t> b, ImageFile* out) {
  unsigned char* image = nullptr;
  int width = 0, height = 0, ppi = 0;
  constexpr size_t kMaxPixels = static_cast<size_t>(kImageFileMaxSide) * kImageFileMaxSide;
  const int rc = WsqDecodeBounded(b.data(), b.size(), kMaxPixels, &image, &width, &height, &ppi);
  HeapBytes owned(image);
  switch (rc) {
    case kWsqOk:
      break;
    case kWsqErrUnsupported:
      return kImageFileUnsupported;
    case kWsqErrTooLarge:
      return kImageFileBadSize;
    case kWsqErrMemory:
      return kImageFileNoMemory;
    default:
      return kImageFileMalformed;
  }
  if (!SideOk(width) || !SideOk(height)) return kImageFileBadSize;
  out->pixels = std::move(owned);
  out->width = width;
  out->height = height;
  out->ppi = PlausiblePpi(ppi);
  return kImageFileOk;
}

}  // namespace

int DecodeImageFile(std::span<const uint8_t> bytes, ImageFile* out) {
  if (out == nullptr) return kImageFileMalformed;
  *out = ImageFile{};
  if (bytes.size() < 2 || bytes.data() == nullptr) return kImageFileUnknownFormat;
  if (bytes.size() > kImageFileMaxBytes) return kImageFileBadSize;
  int rc = kImageFileUnknownFormat;
  if (bytes[0] == 'P' && bytes[1] == '5') {
    rc = DecodePgm(bytes, out);
  } else if (bytes[0] == 'B' && bytes[1] == 'M') {
    rc = DecodeBmp(bytes, out);
  } else if (bytes[0] == 0xFF && bytes[1] == 0xA0) {
    rc = DecodeWsq(bytes, out);
  }
  if (rc != kImageFileOk) *out = ImageFile{};
  return rc;
}

int ReadImageFile(const char* path, ImageFile* out) {
  if (out == nullptr) return kImageFileMalformed;
  *out = ImageFile{};
  if (path == nullptr) return kImageFileUnreadable;
  FilePtr file(fopen(path, "rb"));
  if (!file) return kImageFileUnreadable;
  // One byte more than allowed tells a file that is too long.
  HeapBytes buffer(static_cast<unsigned char*>(malloc(kImageFileMaxBytes + 1)));
  if (!buffer) return kImageFileNoMemory;
  const size_t n = fread(buffer.get(), 1, kImageFileMaxBytes + 1, file.get());
  if (ferror(file.get())) return kImageFileUnreadable;
  if (n > kImageFileMaxBytes) return kImageFileBadSize;
  return DecodeImageFile(std::span<const uint8_t>(buffer.get(), n), out);
}

const char* ImageFileResultText(int code) {
  switch (code) {
    case kImageFileOk:
      return "ok";
    case kImageFileUnknownFormat:
      return "not a PGM, BMP or WSQ file";
    case kImageFileMalformed:
      return "malformed or truncated image";
    case kImageFileUnsupported:
      return "a kind of image not read here (16-bit PGM, compressed or other-depth BMP, WSQ "
             "feature)";
    case kImageFileBadSize:
      return "image sides must be 64 to 1024 pixels (file at most 4 MiB)";
    case kImageFileNoMemory:
      return "out of memory";
    case kImageFileUnreadable:
      return "cannot be opened or read";
    default:
      return "unknown error";
  }
}
