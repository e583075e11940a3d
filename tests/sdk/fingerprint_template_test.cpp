// Template records written by the SDK, read back byte by byte at the offsets
// of the ISO/IEC 19794-2:2005 and ANSI INCITS 378-2004 layouts, and the
// parser's refusal of malformed and truncated records.
#include "sdk/fingerprint_template.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

namespace {

uint16_t Be16(const unsigned char* p) {
  return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
uint32_t Be32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}

TemplateWriteInfo Info() {
  TemplateWriteInfo info{};
  info.capture_equipment = 6;
  info.width = 258;
  info.height = 336;
  info.resolution = kResolution500Ppi;
  info.finger_position = 7;
  info.view_number = 0;
  info.impression_type = 0;
  info.finger_quality = 64;
  return info;
}

std::vector<TemplateMinutia> Minutiae(int n, bool ansi) {
  std::vector<TemplateMinutia> m(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    m[static_cast<size_t>(i)].type = static_cast<uint8_t>(i % 3);
    m[static_cast<size_t>(i)].x = static_cast<uint16_t>((i * 37) % 258);
    m[static_cast<size_t>(i)].y = static_cast<uint16_t>((i * 53) % 336);
    m[static_cast<size_t>(i)].angle = static_cast<uint8_t>(ansi ? (i * 7) % 180 : (i * 11) % 256);
    m[static_cast<size_t>(i)].quality = static_cast<uint8_t>(i % 101);
  }
  return m;
}

TEST(TemplateRecord, FieldsAtTheirOffsetsForEveryMinutiaCount) {
  for (uint32_t format : {VRFPM_FORMAT_ISO, VRFPM_FORMAT_ANSI}) {
    const bool ansi = format == VRFPM_FORMAT_ANSI;
    const size_t header = ansi ? 26 : 24;
    for (int n = 0; n <= kMaxViewMinutiae; ++n) {
      SCOPED_TRACE(testing::Message() << (ansi ? "ANSI " : "ISO ") << n);
      std::vector<TemplateMinutia> m = Minutiae(n, ansi);
      unsigned char out[VRFPM_TEMPLATE_BYTES];
      memset(out, 0xEE, sizeof out);
      size_t written = 0;
      ASSERT_EQ(WriteTemplateRecord(format, Info(), m.data(), n, out, sizeof out, &written),
                VRFPM_OK);
      ASSERT_EQ(written, (ansi ? 32u : 30u) + 6u * static_cast<size_t>(n));
      EXPECT_EQ(memcmp(out, "FMR\0 20\0", 8), 0);
      if (ansi) {
        EXPECT_EQ(Be16(out + 8), written);
        EXPECT_EQ(Be16(out + 10), kCbeffOwner);
        EXPECT_EQ(Be16(out + 12), kCbeffType);
      } else {
        EXPECT_EQ(Be32(out + 8), written);
      }
      const unsigned char* h = out + header - 12;
      EXPECT_EQ(Be16(h), 6);        // capture equipment
      EXPECT_EQ(Be16(h + 2), 258);  // width
      EXPECT_EQ(Be16(h + 4), 336);  // height
      EXPECT_EQ(Be16(h + 6), 197);  // x resolution, px/cm
      EXPECT_EQ(Be16(h + 8), 197);  // y resolution
      EXPECT_EQ(h[10], 1);          // views
      EXPECT_EQ(h[11], 0);          // reserved
      const unsigned char* v = out + header;
      EXPECT_EQ(v[0], 7);   // finger position
      EXPECT_EQ(v[1], 0);   // view 0, live-scan plain
      EXPECT_EQ(v[2], 64);  // finger quality
      EXPECT_EQ(v[3], n);
      for (int i = 0; i < n; ++i) {
        const unsigned char* p = v + 4 + 6 * i;
        const TemplateMinutia& e = m[static_cast<size_t>(i)];
        ASSERT_EQ(p[0] >> 6, e.type);
        ASSERT_EQ(Be16(p) & 0x3FFF, e.x);
        ASSERT_EQ(p[2] >> 6, 0);
        ASSERT_EQ(Be16(p + 2) & 0x3FFF, e.y);
        ASSERT_EQ(p[4], e.angle);
        ASSERT_EQ(p[5], e.quality);
      }
      EXPECT_EQ(Be16(v + 4 + 6 * n), 0);  // no extended data
      EXPECT_EQ(out[written], 0xEE);      // nothing past the record

      TemplateRecord* r = static_cast<TemplateRecord*>(malloc(sizeof(TemplateRecord)));
      ASSERT_EQ(ParseTemplateRecord(format, out, written, r), VRFPM_OK);
      EXPECT_EQ(r->record_length, written);
      EXPECT_EQ(r->views[0].minutia_count, n);
      if (n > 0) {
        EXPECT_EQ(r->views[0].minutiae[n - 1].x, m.back().x);
        EXPECT_EQ(r->views[0].minutiae[n - 1].angle, m.back().angle);
      }
      free(r);
    }
  }
}

TEST(TemplateRecord, WriterRefusesWhatTheFormatCannotHold) {
  unsigned char out[VRFPM_TEMPLATE_BYTES];
  size_t written = 0;
  std::vector<TemplateMinutia> m = Minutiae(kMaxViewMinutiae + 1, false);
  EXPECT_EQ(WriteTemplateRecord(VRFPM_FORMAT_ISO, Info(), m.data(), kMaxViewMinutiae + 1, out,
                                sizeof out, &written),
            VRFPM_ERR_INVALID_ARGUMENT);
  // A record that would not fit is refused and nothing is written.
  memset(out, 0xEE, sizeof out);
  EXPECT_EQ(WriteTemplateRecord(VRFPM_FORMAT_ISO, Info(), m.data(), 100, out, 629, &written),
            VRFPM_ERR_TEMPLATE_TOO_LARGE);
  EXPECT_EQ(out[0], 0xEE);
  EXPECT_EQ(WriteTemplateRecord(VRFPM_FORMAT_ISO, Info(), m.data(), 100, out, 630, &written),
            VRFPM_OK);

  struct Bad {
    const char* why;
    void (*spoil)(TemplateWriteInfo*, TemplateMinutia*);
    uint32_t format;
  } cases[] = {
      {"finger position 11",
       [](TemplateWriteInfo* i, TemplateMinutia*) { i->finger_position = 11; }, VRFPM_FORMAT_ISO},
      {"impression type 4", [](TemplateWriteInfo* i, TemplateMinutia*) { i->impression_type = 4; },
       VRFPM_FORMAT_ISO},
      {"quality 101", [](TemplateWriteInfo* i, TemplateMinutia*) { i->finger_quality = 101; },
       VRFPM_FORMAT_ISO},
      {"zero width", [](TemplateWriteInfo* i, TemplateMinutia*) { i->width = 0; },
       VRFPM_FORMAT_ISO},
      {"ANSI angle 180", [](TemplateWriteInfo*, TemplateMinutia* t) { t->angle = 180; },
       VRFPM_FORMAT_ANSI},
      {"reserved type", [](TemplateWriteInfo*, TemplateMinutia* t) { t->type = 3; },
       VRFPM_FORMAT_ISO},
      {"x over 14 bits", [](TemplateWriteInfo*, TemplateMinutia* t) { t->x = 0x4000; },
       VRFPM_FORMAT_ISO},
      {"unknown format", [](TemplateWriteInfo*, TemplateMinutia*) {}, 512},
  };
  for (const Bad& c : cases) {
    SCOPED_TRACE(c.why);
    TemplateWriteInfo info = Info();
    TemplateMinutia one = Minutiae(1, false)[0];
    c.spoil(&info, &one);
    EXPECT_NE(WriteTemplateRecord(c.format, info, &one, 1, out, sizeof out, &written), VRFPM_OK);
  }
}

std::vector<unsigned char> Record(uint32_t format, int n) {
  std::vector<unsigned char> out(VRFPM_TEMPLATE_BYTES);
  std::vector<TemplateMinutia> m = Minutiae(n, format == VRFPM_FORMAT_ANSI);
  size_t written = 0;
  EXPECT_EQ(WriteTemplateRecord(format, Info(), m.data(), n, out.data(), out.size(), &written),
            VRFPM_OK);
  out.resize(written);
  return out;
}

TEST(TemplateParser, EveryTruncationIsRefused) {
  for (uint32_t format : {VRFPM_FORMAT_ISO, VRFPM_FORMAT_ANSI}) {
    std::vector<unsigned char> r = Record(format, 12);
    for (size_t len = 0; len < r.size(); ++len) {
      // Each prefix in a block of its own size, so the sanitizer sees any over-read.
      std::vector<unsigned char> cut(r.begin(), r.begin() + static_cast<long>(len));
      ASSERT_EQ(ParseTemplateRecord(format, cut.data(), cut.size(), nullptr),
                VRFPM_ERR_BAD_TEMPLATE)
          << format << " " << len;
    }
    EXPECT_EQ(ParseTemplateRecord(format, r.data(), r.size(), nullptr), VRFPM_OK);
  }
}

TEST(TemplateParser, MalformedRecords) {
  struct Case {
    const char* why;
    uint32_t format;
    void (*spoil)(std::vector<unsigned char>*);
    int expected;
  } cases[] = {
      {"identifier", VRFPM_FORMAT_ISO, [](std::vector<unsigned char>* r) { (*r)[0] = 'X'; },
       VRFPM_ERR_BAD_TEMPLATE},
      {"version", VRFPM_FORMAT_ISO, [](std::vector<unsigned char>* r) { (*r)[5] = '3'; },
       VRFPM_ERR_BAD_TEMPLATE},
      {"declared length beyond the bytes", VRFPM_FORMAT_ISO,
       [](std::vector<unsigned char>* r) { (*r)[11] = static_cast<unsigned char>((*r)[11] + 1); },
       VRFPM_ERR_BAD_TEMPLATE},
      {"declared length below the header", VRFPM_FORMAT_ISO,
       [](std::vector<unsigned char>* r) { (*r)[11] = 10; }, VRFPM_ERR_BAD_TEMPLATE},
      {"huge declared length", VRFPM_FORMAT_ISO,
       [](std::vector<unsigned char>* r) { (*r)[8] = 0x7F; }, VRFPM_ERR_BAD_TEMPLATE},
      {"minutia count larger than the record", VRFPM_FORMAT_ISO,
       [](std::vector<unsigned char>* r) { (*r)[27] = 200; }, VRFPM_ERR_BAD_TEMPLATE},
      {"more views than the record holds", VRFPM_FORMAT_ISO,
       [](std::vector<unsigned char>* r) { (*r)[22] = 2; }, VRFPM_ERR_BAD_TEMPLATE},
      {"extended data beyond the record", VRFPM_FORMAT_ISO,
       [](std::vector<unsigned char>* r) { (*r)[r->size() - 1] = 4; }, VRFPM_ERR_BAD_TEMPLATE},
      {"trailing bytes inside the declared length", VRFPM_FORMAT_ISO,
       [](std::vector<unsigned char>* r) {
         r->push_back(0);
         (*r)[11] = static_cast<unsigned char>((*r)[11] + 1);
       },
       VRFPM_ERR_BAD_TEMPLATE},
      {"zero views is a valid record", VRFPM_FORMAT_ISO,
       [](std::vector<unsigned char>* r) {
         r->resize(24);
         (*r)[11] = 24;
         (*r)[22] = 0;
       },
       VRFPM_OK},
      {"extra bytes after the declared length are not read", VRFPM_FORMAT_ISO,
       [](std::vector<unsigned char>* r) { r->push_back(0x55); }, VRFPM_OK},
      {"ANSI length", VRFPM_FORMAT_ANSI,
       [](std::vector<unsigned char>* r) { (*r)[9] = static_cast<unsigned char>((*r)[9] + 2); },
       VRFPM_ERR_BAD_TEMPLATE},
      {"ANSI long form with an ISO-like length", VRFPM_FORMAT_ANSI,
       [](std::vector<unsigned char>* r) {
         (*r)[8] = 0;
         (*r)[9] = 0;
       },
       VRFPM_ERR_BAD_TEMPLATE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    std::vector<unsigned char> r = Record(c.format, 3);
    c.spoil(&r);
    EXPECT_EQ(ParseTemplateRecord(c.format, r.data(), r.size(), nullptr), c.expected);
    EXPECT_EQ(ValidateTemplateRecord(r.data(), r.size(), c.format),
              c.expected == VRFPM_OK ? 0 : VRFPM_ERR_BAD_TEMPLATE);
  }
}

TEST(TemplateParser, OtherFormatIsRefusedAtTheHeader) {
  std::vector<unsigned char> iso = Record(VRFPM_FORMAT_ISO, 5);
  std::vector<unsigned char> ansi = Record(VRFPM_FORMAT_ANSI, 5);
  EXPECT_EQ(ValidateTemplateRecord(iso.data(), iso.size(), VRFPM_FORMAT_ANSI),
            VRFPM_ERR_BAD_TEMPLATE);
  EXPECT_EQ(ValidateTemplateRecord(ansi.data(), ansi.size(), VRFPM_FORMAT_ISO),
            VRFPM_ERR_BAD_TEMPLATE);
  EXPECT_EQ(ValidateTemplateRecord(iso.data(), iso.size(), 0), VRFPM_ERR_BAD_TEMPLATE);
}

TEST(TemplateParser, ReadsRecordsOfOtherProducers) {
  // ANSI long length form, two views, the second with extended data.
  std::vector<unsigned char> r = {'F',  'M',  'R',  0,    ' ', '2', '0',
                                  0,    0,    0,    0,    0,   0,   0,  // long length, filled below
                                  0x12, 0x34, 0x00, 0x07,               // CBEFF owner, type
                                  0x80, 0x05,                           // equipment, certified flag
                                  0x01, 0x00, 0x01, 0x80,               // 256 x 384
                                  0x00, 0xC5, 0x00, 0xC5,               // 197 px/cm
                                  2,    0};
  const unsigned char view1[] = {2, 0x10, 80, 1, 0x40, 10, 0x00, 20, 90, 60, 0, 0};
  const unsigned char view2[] = {3, 0x21, 70, 0, 0, 6, 0x01, 0x00, 0x00, 0x02, 0xAA, 0xBB};
  r.insert(r.end(), view1, view1 + sizeof view1);
  r.insert(r.end(), view2, view2 + sizeof view2);
  r[13] = static_cast<unsigned char>(r.size());
  TemplateRecord* rec = static_cast<TemplateRecord*>(malloc(sizeof(TemplateRecord)));
  ASSERT_EQ(ParseTemplateRecord(VRFPM_FORMAT_ANSI, r.data(), r.size(), rec), VRFPM_OK);
  EXPECT_EQ(rec->header_bytes, 30u);
  EXPECT_EQ(rec->cbeff_owner, 0x1234);
  EXPECT_EQ(rec->capture_equipment, 0x8005);
  EXPECT_EQ(rec->width, 256);
  EXPECT_EQ(rec->height, 384);
  EXPECT_EQ(rec->view_count, 2);
  EXPECT_EQ(rec->views[0].view_number, 1);
  EXPECT_EQ(rec->views[0].minutiae[0].type, kMinutiaEnding);
  EXPECT_EQ(rec->views[0].minutiae[0].x, 10);
  EXPECT_EQ(rec->views[0].minutiae[0].y, 20);
  EXPECT_EQ(rec->views[0].minutiae[0].angle, 90);
  EXPECT_EQ(rec->views[1].impression_type, 1);
  EXPECT_EQ(rec->views[1].extended_bytes, 6);
  free(rec);
}

}  // namespace
