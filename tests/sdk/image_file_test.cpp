// Image files the virtual reader presents: PGM, BMP and WSQ decoded to grey
// pixels top row first, and every kind of damaged or unsupported file
// refused with its own code, without reading past the bytes.
#include "sdk/image_file.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "wsq/wsq.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint8_t Pattern(int x, int y) {
  return static_cast<uint8_t>((x * 7 + y * 13) & 0xFF);
}

Bytes Pgm(const std::string& header, int w, int h, size_t drop = 0) {
  Bytes b(header.begin(), header.end());
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) b.push_back(Pattern(x, y));
  }
  b.resize(b.size() - drop);
  return b;
}

void Put16(Bytes* b, size_t at, uint32_t v) {
  (*b)[at] = static_cast<uint8_t>(v);
  (*b)[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(Bytes* b, size_t at, uint32_t v) {
  Put16(b, at, v & 0xFFFF);
  Put16(b, at + 2, v >> 16);
}

struct BmpShape {
  int width = 80, height = 70;
  int bits = 8;
  bool top_down = false;
  uint32_t compression = 0;
  int32_t ppm = 19685;  // 500 ppi
  uint32_t palette = 256;
};

// A BMP whose pixel (x, y), counted from the top, shows Pattern(x, y): grey
// palette entries for 8 bits, equal channels for 24.
Bytes Bmp(const BmpShape& s) {
  const size_t palette_bytes = s.bits == 8 ? 4 * s.palette : 0;
  const size_t stride = (static_cast<size_t>(s.width) * s.bits + 31) / 32 * 4;
  const size_t offset = 54 + palette_bytes;
  Bytes b(offset + stride * static_cast<size_t>(s.height), 0);
  b[0] = 'B';
  b[1] = 'M';
  Put32(&b, 2, static_cast<uint32_t>(b.size()));
  Put32(&b, 10, static_cast<uint32_t>(offset));
  Put32(&b, 14, 40);
  Put32(&b, 18, static_cast<uint32_t>(s.width));
  Put32(&b, 22, static_cast<uint32_t>(s.top_down ? -s.height : s.height));
  Put16(&b, 26, 1);
  Put16(&b, 28, static_cast<uint32_t>(s.bits));
  Put32(&b, 30, s.compression);
  Put32(&b, 38, static_cast<uint32_t>(s.ppm));
  Put32(&b, 46, s.bits == 8 ? s.palette : 0);
  for (uint32_t i = 0; i < (s.bits == 8 ? s.palette : 0); ++i) {
    b[54 + 4 * i] = b[55 + 4 * i] = b[56 + 4 * i] = static_cast<uint8_t>(i);
  }
  for (int y = 0; y < s.height; ++y) {
    const int stored = s.top_down ? y : s.height - 1 - y;
    uint8_t* row = &b[offset + static_cast<size_t>(stored) * stride];
    for (int x = 0; x < s.width; ++x) {
      if (s.bits == 8) {
        row[x] = Pattern(x, y);
      } else if (s.bits == 24) {
        row[3 * x] = row[3 * x + 1] = row[3 * x + 2] = Pattern(x, y);
      }  // other depths stay zero: the decoder refuses them before their pixels
    }
  }
  return b;
}

Bytes Wsq(int w, int h) {
  std::vector<uint8_t> image(static_cast<size_t>(w) * h);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) image[static_cast<size_t>(y) * w + x] = Pattern(x, y);
  }
  unsigned char* out = nullptr;
  int size = 0;
  EXPECT_EQ(WsqEncode(image.data(), w, h, 8, 1000, 2.25f, "", &out, &size), kWsqOk);
  Bytes b(out, out + size);
  free(out);
  return b;
}

bool ShowsPattern(const ImageFile& f) {
  for (int y = 0; y < f.height; ++y) {
    for (int x = 0; x < f.width; ++x) {
      if (f.pixels.get()[static_cast<size_t>(y) * f.width + x] != Pattern(x, y)) return false;
    }
  }
  return true;
}

TEST(ImageFile, DecodesEachFormatTopRowFirst) {
  struct Case {
    Bytes bytes;
    int width, height, ppi;
    bool exact;  // the pixels are the pattern exactly (WSQ is lossy)
    const char* why;
  };
  BmpShape top;
  top.top_down = true;
  BmpShape colour;
  colour.bits = 24;
  colour.width = 77;  // rows padded to a multiple of 4
  colour.ppm = 39370;
  BmpShape screen;
  screen.ppm = 2835;  // 72 dpi: a drawing program's default, not a sensor's
  const Case kCases[] = {
      {Pgm("P5\n100 90\n255\n", 100, 90), 100, 90, 500, true, "plain PGM"},
      {Pgm("P5 # made by hand\n100\t90 # two lines\n255\r", 100, 90), 100, 90, 500, true,
       "PGM with comments and other white space"},
      {Bmp(BmpShape{}), 80, 70, 500, true, "8-bit BMP, rows stored bottom-up"},
      {Bmp(top), 80, 70, 500, true, "8-bit BMP, negative height: rows top-down"},
      {Bmp(colour), 77, 70, 1000, true, "24-bit BMP at 1000 ppi"},
      {Bmp(screen), 80, 70, 500, true, "implausible resolution taken as 500 ppi"},
      {Wsq(300, 280), 300, 280, 1000, false, "WSQ keeps its resolution"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.why);
    ImageFile f;
    ASSERT_EQ(DecodeImageFile(c.bytes, &f), kImageFileOk);
    EXPECT_EQ(f.width, c.width);
    EXPECT_EQ(f.height, c.height);
    EXPECT_EQ(f.ppi, c.ppi);
    ASSERT_NE(f.pixels, nullptr);
    EXPECT_TRUE(!c.exact || ShowsPattern(f));
  }
  // A maxval below 255 stretches to the full range.
  Bytes low = {'P', '5', ' ', '6', '4', ' ', '6', '4', ' ', '1', '5', '\n'};
  low.resize(low.size() + 64 * 64, 15);
  ImageFile f;
  ASSERT_EQ(DecodeImageFile(low, &f), kImageFileOk);
  EXPECT_EQ(f.pixels.get()[0], 255);
}

TEST(ImageFile, RefusesDamagedAndUnsupportedFiles) {
  BmpShape rle;
  rle.compression = 1;
  BmpShape mono;
  mono.bits = 1;
  BmpShape small;
  small.width = 63;
  BmpShape big_palette;
  big_palette.palette = 300;
  Bytes short_pixels = Bmp(BmpShape{});
  short_pixels.resize(short_pixels.size() - 1);
  Bytes offset_past_end = Bmp(BmpShape{});
  Put32(&offset_past_end, 10, 0xFFFFFFF0u);
  Bytes offset_in_headers = Bmp(BmpShape{});
  Put32(&offset_in_headers, 10, 20);
  Bytes most_negative_height = Bmp(BmpShape{});
  Put32(&most_negative_height, 22, 0x80000000u);
  Bytes os2 = Bmp(BmpShape{});
  Put32(&os2, 14, 12);
  Bytes wsq = Wsq(260, 260);
  const Bytes truncated_wsq(wsq.begin(), wsq.begin() + static_cast<long>(wsq.size() / 2));
  struct Case {
    Bytes bytes;
    int rc;
    const char* why;
  };
  const Case kCases[] = {
      {{}, kImageFileUnknownFormat, "nothing"},
      {{'P'}, kImageFileUnknownFormat, "one byte"},
      {Pgm("P2\n100 90\n255\n", 0, 0), kImageFileUnknownFormat, "text PGM"},
      {{'G', 'I', 'F', '8'}, kImageFileUnknownFormat, "another format"},
      {Pgm("P5\n100 90\n255\n", 100, 90, 1), kImageFileMalformed, "one pixel missing"},
      {Pgm("P5\n100 90\n255", 0, 0), kImageFileMalformed, "header without its last white space"},
      {Pgm("P5\n100 90\n0\n", 100, 90), kImageFileMalformed, "maxval 0"},
      {Pgm("P5\n123456789 90\n255\n", 0, 0), kImageFileMalformed, "a number too long"},
      {Pgm("P5\n100\n", 0, 0), kImageFileMalformed, "height and maxval missing"},
      {Pgm("P5\n100 90\n1023\n", 100, 180), kImageFileUnsupported, "16-bit PGM"},
      {Pgm("P5\n63 90\n255\n", 63, 90), kImageFileBadSize, "a side below 64"},
      {Pgm("P5\n1025 64\n255\n", 0, 0), kImageFileBadSize, "a side above 1024"},
      {Bmp(rle), kImageFileUnsupported, "run-length compressed BMP"},
      {Bmp(mono), kImageFileUnsupported, "1-bit BMP"},
      {os2, kImageFileUnsupported, "OS/2 BMP header"},
      {Bmp(small), kImageFileBadSize, "BMP 63 pixels wide"},
      {most_negative_height, kImageFileBadSize, "height -2^31 does not overflow"},
      {Bmp(big_palette), kImageFileMalformed, "palette of 300 colours"},
      {short_pixels, kImageFileMalformed, "last row cut short"},
      {offset_past_end, kImageFileMalformed, "pixels start past the end"},
      {offset_in_headers, kImageFileMalformed, "pixels start inside the headers"},
      {truncated_wsq, kImageFileMalformed, "WSQ cut in half"},
  };
  for (const Case& c : kCases) {
    ImageFile f;
    EXPECT_EQ(DecodeImageFile(c.bytes, &f), c.rc) << c.why;
    EXPECT_EQ(f.pixels, nullptr) << c.why;
    EXPECT_STRNE(ImageFileResultText(c.rc), "unknown error");
  }
}

TEST(ImageFile, ReadsFilesAndRefusesWhatCannotBeRead) {
  const std::string path = testing::TempDir() + "image_file_test.pgm";
  const Bytes pgm = Pgm("P5\n64 64\n255\n", 64, 64);
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(fwrite(pgm.data(), 1, pgm.size(), f), pgm.size());
  fclose(f);
  ImageFile image;
  EXPECT_EQ(ReadImageFile(path.c_str(), &image), kImageFileOk);
  EXPECT_TRUE(ShowsPattern(image));
  EXPECT_EQ(ReadImageFile((path + ".missing").c_str(), &image), kImageFileUnreadable);
  EXPECT_EQ(ReadImageFile(testing::TempDir().c_str(), &image), kImageFileUnreadable);
  remove(path.c_str());
}

}  // namespace
