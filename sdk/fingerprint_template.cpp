#include "sdk/fingerprint_template.h"

#include <math.h>
#include <string.h>

namespace {

constexpr unsigned char kMagic[8] = {'F', 'M', 'R', 0, ' ', '2', '0', 0};

uint16_t Get16(const unsigned char* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

uint32_t Get32(const unsigned char* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

void Put16(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v >> 8);
  p[1] = static_cast<unsigned char>(v);
}

void Put32(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v >> 24);
  p[1] = static_cast<unsigned char>(v >> 16);
  p[2] = static_cast<unsigned char>(v >> 8);
  p[3] = static_cast<unsigned char>(v);
}

bool KnownFormat(uint32_t format) {
  return format == VRFPM_FORMAT_ISO || format == VRFPM_FORMAT_ANSI;
}

// Reads the declared length and where the fixed header fields start.
int ReadHeaderLength(uint32_t format, const unsigned char* data, size_t len, uint32_t* length,
                     uint32_t* header_bytes) {
  if (data == nullptr || !KnownFormat(format)) return VRFPM_ERR_BAD_TEMPLATE;
  size_t min_header = format == VRFPM_FORMAT_ISO ? kIsoHeaderBytes : kAnsiHeaderBytes;
  if (len < min_header || memcmp(data, kMagic, sizeof kMagic) != 0) return VRFPM_ERR_BAD_TEMPLATE;
  // ISO and ANSI share identifier and version; the length field tells them
  // apart. An ISO record whose high length word is 26 or more is an ANSI
  // record (2-byte length of at least 26); an ANSI long-form length whose
  // high word is 24 or more is an ISO record. Refusing these here keeps a
  // record of the other format from being walked with a wrong length.
  if (format == VRFPM_FORMAT_ISO) {
    if (Get16(data + 8) >= kAnsiHeaderBytes) return VRFPM_ERR_BAD_TEMPLATE;
    *length = Get32(data + 8);
    *header_bytes = kIsoHeaderBytes;
  } else {
    uint32_t short_length = Get16(data + 8);
    if (short_length != 0) {
      *length = short_length;
      *header_bytes = kAnsiHeaderBytes;
    } else {
      if (len < kAnsiLongHeaderBytes || Get16(data + 10) >= kIsoHeaderBytes) {
        return VRFPM_ERR_BAD_TEMPLATE;
      }
      *length = Get32(data + 10);
      *header_bytes = kAnsiLongHeaderBytes;
    }
  }
  if (*length < *header_bytes || *length > len) return VRFPM_ERR_BAD_TEMPLATE;
  return VRFPM_OK;
}

}  // namespace

uint8_t TemplateAngleUnits(uint32_t format, float radians) {
  float degrees = fmodf(radians * (180.0f / 3.14159265358979f), 360.0f);
  if (degrees < 0) degrees += 360.0f;
  if (format == VRFPM_FORMAT_ISO)
    return static_cast<uint8_t>(lroundf(degrees / (360.0f / 256.0f)) % 256);
  return static_cast<uint8_t>(lroundf(degrees / 2.0f) % 180);
}

uint16_t TemplateResolution(uint32_t ppi) {
  return static_cast<uint16_t>(lroundf(static_cast<float>(ppi) / 2.54f));
}

size_t TemplateRecordBytes(uint32_t format, int minutia_count) {
  size_t header = format == VRFPM_FORMAT_ANSI ? kAnsiHeaderBytes : kIsoHeaderBytes;
  return header + kViewHeaderBytes + kMinutiaBytes * static_cast<size_t>(minutia_count) +
         kExtendedLengthBytes;
}

int WriteTemplateRecord(uint32_t format, const TemplateWriteInfo& info,
                        const TemplateMinutia* minutiae, int count, unsigned char* out,
                        size_t capacity, size_t* written) {
  if (!KnownFormat(format) || out == nullptr || written == nullptr || count < 0 ||
      count > kMaxViewMinutiae || (count > 0 && minutiae == nullptr)) {
    return VRFPM_ERR_INVALID_ARGUMENT;
  }
  const bool iso = format == VRFPM_FORMAT_ISO;
  if (info.width == 0 || info.height == 0 || info.resolution == 0 || info.finger_position > 10 ||
      info.view_number > 15 || (info.impression_type > 3 && info.impression_type != 8) ||
      info.finger_quality > 100) {
    return VRFPM_ERR_INVALID_ARGUMENT;
  }
  for (int i = 0; i < count; ++i) {
    const TemplateMinutia& m = minutiae[i];
    if (m.type > kMinutiaBifurcation || m.x > 0x3FFF || m.y > 0x3FFF || m.quality > 100 ||
        (!iso && m.angle > 179)) {
      return VRFPM_ERR_INVALID_ARGUMENT;
    }
  }
  size_t total = TemplateRecordBytes(format, count);
  if (total > capacity) return VRFPM_ERR_TEMPLATE_TOO_LARGE;

  unsigned char* p = out;
  memcpy(p, kMagic, sizeof kMagic);
  p += sizeof kMagic;
  if (iso) {
    Put32(p, static_cast<uint32_t>(total));
    p += 4;
  } else {
    Put16(p, static_cast<uint32_t>(total));  // a one-view record is far below 65 535 bytes
    Put16(p + 2, kCbeffOwner);
    Put16(p + 4, kCbeffType);
    p += 6;
  }
  Put16(p, info.capture_equipment & 0x0FFFu);
  Put16(p + 2, info.width);
  Put16(p + 4, info.height);
  Put16(p + 6, info.resolution);
  Put16(p + 8, info.resolution);
  p[10] = 1;  // one finger view
  p[11] = 0;
  p += 12;
  p[0] = info.finger_position;
  p[1] = static_cast<unsigned char>((info.view_number << 4) | info.impression_type);
  p[2] = info.finger_quality;
  p[3] = static_cast<unsigned char>(count);
  p += kViewHeaderBytes;
  for (int i = 0; i < count; ++i) {
    const TemplateMinutia& m = minutiae[i];
    Put16(p, (static_cast<uint32_t>(m.type) << 14) | m.x);
    Put16(p + 2, m.y);
    p[4] = m.angle;
    p[5] = m.quality;
    p += kMinutiaBytes;
  }
  Put16(p, 0);  // no extended data
  *written = total;
  return VRFPM_OK;
}

int TemplateDeclaredLength(uint32_t format, const unsigned char* data, size_t len,
                           uint32_t* length) {
  uint32_t header = 0;
  uint32_t declared = 0;
  int rc = ReadHeaderLength(format, data, len, &declared, &header);
  if (rc != VRFPM_OK) return rc;
  if (length != nullptr) *length = declared;
  return VRFPM_OK;
}

int ParseTemplateRecord(uint32_t format, const unsigned char* data, size_t len,
                        TemplateRecord* record) {
  uint32_t declared = 0;
  uint32_t header = 0;
  int rc = ReadHeaderLength(format, data, len, &declared, &header);
  if (rc != VRFPM_OK) return rc;
  // From here on nothing past the declared length is read.
  const unsigned char* h = data + header - 12;  // equipment .. reserved
  TemplateRecord local;
  TemplateRecord* r = record != nullptr ? record : &local;
  r->format = format;
  r->record_length = declared;
  r->header_bytes = header;
  r->cbeff_owner = format == VRFPM_FORMAT_ANSI ? Get16(data + header - 16) : 0;
  r->cbeff_type = format == VRFPM_FORMAT_ANSI ? Get16(data + header - 14) : 0;
  r->capture_equipment = Get16(h);
  r->width = Get16(h + 2);
  r->height = Get16(h + 4);
  r->x_resolution = Get16(h + 6);
  r->y_resolution = Get16(h + 8);
  r->view_count = h[10];

  size_t at = header;
  for (int v = 0; v < r->view_count; ++v) {
    if (declared - at < kViewHeaderBytes) return VRFPM_ERR_BAD_TEMPLATE;
    const unsigned char* vh = data + at;
    int count = vh[3];
    at += kViewHeaderBytes;
    size_t minutiae_bytes = kMinutiaBytes * static_cast<size_t>(count);
    if (declared - at < minutiae_bytes + kExtendedLengthBytes) return VRFPM_ERR_BAD_TEMPLATE;
    TemplateView* view = v < kMaxParsedViews ? &r->views[v] : nullptr;
    if (view != nullptr) {
      view->finger_position = vh[0];
      view->view_number = static_cast<uint8_t>(vh[1] >> 4);
      view->impression_type = static_cast<uint8_t>(vh[1] & 0x0F);
      view->finger_quality = vh[2];
      view->minutia_count = count;
      for (int i = 0; i < count; ++i) {
        const unsigned char* m = data + at + kMinutiaBytes * static_cast<size_t>(i);
        TemplateMinutia& out = view->minutiae[i];
        out.type = static_cast<uint8_t>(m[0] >> 6);
        out.x = static_cast<uint16_t>(Get16(m) & 0x3FFF);
        out.y = static_cast<uint16_t>(Get16(m + 2) & 0x3FFF);
        out.angle = m[4];
        out.quality = m[5];
      }
    }
    at += minutiae_bytes;
    uint16_t extended = Get16(data + at);
    at += kExtendedLengthBytes;
    if (declared - at < extended) return VRFPM_ERR_BAD_TEMPLATE;
    at += extended;
    if (view != nullptr) view->extended_bytes = extended;
  }
  if (at != declared) return VRFPM_ERR_BAD_TEMPLATE;
  return VRFPM_OK;
}

int ValidateTemplateRecord(const unsigned char* data, size_t len, uint32_t format) {
  if (!KnownFormat(format)) return VRFPM_ERR_BAD_TEMPLATE;
  return ParseTemplateRecord(format, data, len, nullptr) == VRFPM_OK ? 0 : VRFPM_ERR_BAD_TEMPLATE;
}
