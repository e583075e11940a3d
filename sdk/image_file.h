// Fingerprint image files for the virtual reader's images= option: 8-bit
// grey PGM (P5), BMP (8-bit palette or 24-bit, uncompressed) and WSQ (through
// wsq/wsq.h), decoded into an 8-bit grey image, top row first. The bytes come
// from a file a user points the reader at, so the decoder trusts nothing in
// them: every size and offset is checked before it is used, and nothing is
// read outside the bytes given. Pure functions; any thread; the caller owns
// the decoded pixels (a heap block released by the owner in ImageFile).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/heap_owner.h"

// Images the reader can present: the sides its images may have.
inline constexpr int kImageFileMinSide = 64;
inline constexpr int kImageFileMaxSide = 1024;
// Larger files are not read (a 1024 x 1024 image takes about 1 MB in any of
// the three formats).
inline constexpr size_t kImageFileMaxBytes = 4u << 20;
inline constexpr int kImageFileDefaultPpi = 500;

inline constexpr int kImageFileOk = 0;
inline constexpr int kImageFileUnknownFormat = -1;  // neither PGM, BMP nor WSQ
inline constexpr int kImageFileMalformed = -2;    // truncated, or fields that contradict each other
inline constexpr int kImageFileUnsupported = -3;  // a valid file of a kind not read here
                                                  // (16-bit PGM, compressed BMP, ...)
inline constexpr int kImageFileBadSize = -4;      // a side outside 64..1024, or the file too long
inline constexpr int kImageFileNoMemory = -5;
inline constexpr int kImageFileUnreadable = -6;  // the file cannot be opened or read

struct ImageFile {
  HeapBytes pixels;  // width * height grey levels, row by row from the top
  int width, height;
  int ppi;  // as the file says when it says a plausible one (250..1000), else 500
};

// Decodes the bytes of a PGM, BMP or WSQ file, recognised by their first
// bytes. Returns kImageFileOk and fills *out, or one of the codes above
// (*out is then left empty).
[[nodiscard]] int DecodeImageFile(std::span<const uint8_t> bytes, ImageFile* out);

// Reads the file at path (at most kImageFileMaxBytes) and decodes it.
[[nodiscard]] int ReadImageFile(const char* path, ImageFile* out);

// A short English text for a result code ("not a PGM, BMP or WSQ file"); never null.
const char* ImageFileResultText(int code);
