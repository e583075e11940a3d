// Feeds arbitrary bytes to the template parser in both formats, exactly as
// the match path does after validation, and matches what parses against a
// fixed record and against itself. The input sits in a block of its own
// size, so any read past it is caught by the address sanitizer.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <initializer_list>

#include "sdk/fingerprint_template.h"
#include "sdk/minutiae_matcher.h"

namespace {

TemplateRecord* Reference() {
  static TemplateRecord* record = [] {
    TemplateMinutia m[20];
    for (int i = 0; i < 20; ++i) {
      m[i] = TemplateMinutia{static_cast<uint8_t>(1 + i % 2), static_cast<uint16_t>(20 + 13 * i),
                             static_cast<uint16_t>(30 + 17 * i), static_cast<uint8_t>(i * 9), 60};
    }
    TemplateWriteInfo info{6, 300, 400, kResolution500Ppi, 1, 0, 0, 70};
    unsigned char bytes[VRFPM_TEMPLATE_BYTES];
    size_t n = 0;
    TemplateRecord* r = static_cast<TemplateRecord*>(malloc(sizeof(TemplateRecord)));
    if (WriteTemplateRecord(VRFPM_FORMAT_ISO, info, m, 20, bytes, sizeof bytes, &n) != VRFPM_OK ||
        ParseTemplateRecord(VRFPM_FORMAT_ISO, bytes, n, r) != VRFPM_OK) {
      abort();
    }
    return r;
  }();
  return record;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  unsigned char* copy = static_cast<unsigned char*>(malloc(size > 0 ? size : 1));
  if (copy == nullptr) return 0;
  if (size > 0) memcpy(copy, data, size);
  static TemplateRecord record;
  for (uint32_t format : {VRFPM_FORMAT_ISO, VRFPM_FORMAT_ANSI}) {
    uint32_t declared = 0;
    int valid = ValidateTemplateRecord(copy, size, format);
    if (valid == 0 && TemplateDeclaredLength(format, copy, size, &declared) != VRFPM_OK) abort();
    if (ParseTemplateRecord(format, copy, size, &record) == VRFPM_OK) {
      if (valid != 0 || declared > size) abort();
      (void)MatchTemplateRecords(record, *Reference());
      (void)MatchTemplateRecords(record, record);
    }
  }
  free(copy);
  return 0;
}
