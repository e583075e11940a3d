// Finger minutiae records: writing and parsing ISO/IEC 19794-2:2005 (SDK
// format 768) and ANSI INCITS 378-2004 (SDK format 256) records. Pure
// functions over caller-owned buffers; any thread. The parser never reads
// outside the bytes it is given. docs/templates.md shows the layouts.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "sdk/vrfplib.h"

inline constexpr size_t kIsoHeaderBytes = 24;
inline constexpr size_t kAnsiHeaderBytes = 26;      // with the 2-byte length
inline constexpr size_t kAnsiLongHeaderBytes = 30;  // with the 0000 + 4-byte length form
inline constexpr size_t kViewHeaderBytes = 4;
inline constexpr size_t kMinutiaBytes = 6;
inline constexpr size_t kExtendedLengthBytes = 2;
inline constexpr int kMaxViewMinutiae = 255;        // the count is one byte
inline constexpr int kMaxParsedViews = 4;           // views kept by the parser; all are checked
inline constexpr uint16_t kResolution500Ppi = 197;  // pixels per centimetre
inline constexpr uint32_t kAnsiShortLengthMax = 65535;

// CBEFF product identifier written into ANSI records: owner 0x4B56 ("KV") and
// type 0x0001, this SDK's minutiae template.
inline constexpr uint16_t kCbeffOwner = 0x4B56;
inline constexpr uint16_t kCbeffType = 0x0001;

// Minutia types as the records code them (two bits).
enum TemplateMinutiaType : uint8_t {
  kMinutiaOther = 0,
  kMinutiaEnding = 1,
  kMinutiaBifurcation = 2,
};

// One minutia in record units: pixels from the top-left corner, the angle in
// the format's unit (ISO 360/256 degrees, ANSI 2 degrees), quality 0..100.
struct TemplateMinutia {
  uint8_t type;
  uint16_t x, y;  // 14 bits each
  uint8_t angle;
  uint8_t quality;
};

struct TemplateView {
  uint8_t finger_position;
  uint8_t view_number;      // high nibble of its byte
  uint8_t impression_type;  // low nibble
  uint8_t finger_quality;
  int minutia_count;
  TemplateMinutia minutiae[kMaxViewMinutiae];
  uint16_t extended_bytes;  // length of the skipped extended data block
};

// A parsed record. views[] holds the first kMaxParsedViews views.
struct TemplateRecord {
  uint32_t format;         // VRFPM_FORMAT_ISO or VRFPM_FORMAT_ANSI
  uint32_t record_length;  // as declared, whole record
  uint32_t header_bytes;   // 24, 26 or 30
  uint16_t cbeff_owner;    // ANSI only
  uint16_t cbeff_type;     // ANSI only
  uint16_t capture_equipment;
  uint16_t width, height;
  uint16_t x_resolution, y_resolution;  // pixels per centimetre
  int view_count;                       // as declared
  TemplateView views[kMaxParsedViews];
};

// What the writer puts into the header and the single view.
struct TemplateWriteInfo {
  uint16_t capture_equipment;  // low 12 bits: device type id
  uint16_t width, height;
  uint16_t resolution;      // pixels per centimetre, both axes
  uint8_t finger_position;  // 0..10
  uint8_t view_number;      // 0..15
  uint8_t impression_type;  // 0..3 or 8
  uint8_t finger_quality;   // 0..100
};

// A direction in radians (counter-clockwise on screen from +x, any value) in
// the format's angle unit, rounded to the nearest: ISO 0..255, ANSI 0..179.
uint8_t TemplateAngleUnits(uint32_t format, float radians);

// Resolution field of a record for an image of ppi pixels per inch (pixels
// per centimetre, 197 for 500 ppi).
uint16_t TemplateResolution(uint32_t ppi);

// Bytes of a one-view record without extended data: ISO 30 + 6n, ANSI 32 + 6n.
size_t TemplateRecordBytes(uint32_t format, int minutia_count);

// Writes a one-view record with no extended data into out (capacity bytes).
// Returns VRFPM_OK and *written, VRFPM_ERR_INVALID_ARGUMENT for a bad format,
// count (0..255) or field value, or VRFPM_ERR_TEMPLATE_TOO_LARGE when the
// record would not fit (nothing is written then).
[[nodiscard]] int WriteTemplateRecord(uint32_t format, const TemplateWriteInfo& info,
                                      const TemplateMinutia* minutiae, int count,
                                      unsigned char* out, size_t capacity, size_t* written);

// Parses len bytes as a record of the given format. The declared length must
// lie within len; views, minutiae and extended data must end exactly at it.
// Returns VRFPM_OK or VRFPM_ERR_BAD_TEMPLATE. record may be null (check only).
[[nodiscard]] int ParseTemplateRecord(uint32_t format, const unsigned char* data, size_t len,
                                      TemplateRecord* record);

// Length the header of a record of that format declares, reading only the
// header (len bytes available). Returns VRFPM_OK or VRFPM_ERR_BAD_TEMPLATE.
[[nodiscard]] int TemplateDeclaredLength(uint32_t format, const unsigned char* data, size_t len,
                                         uint32_t* length);

// Check for templates that arrive from outside before the SDK matches them:
// a record header with the "FMR" identifier and version, a declared length no
// larger than len, and a well-formed body, read as the given SDK format
// (VRFPM_FORMAT_ISO or VRFPM_FORMAT_ANSI). Returns 0 or VRFPM_ERR_BAD_TEMPLATE.
[[nodiscard]] int ValidateTemplateRecord(const unsigned char* data, size_t len, uint32_t format);
