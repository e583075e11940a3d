#include "api/request_params.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "net/http_helpers.h"
#include "net/http_parser.h"

namespace {

bool StartsWithNoCase(const char* text, const char* prefix) {
  for (; *prefix; ++text, ++prefix) {
    unsigned char a = static_cast<unsigned char>(*text);
    unsigned char b = static_cast<unsigned char>(*prefix);
    if (a >= 'A' && a <= 'Z') a = static_cast<unsigned char>(a - 'A' + 'a');
    if (b >= 'A' && b <= 'Z') b = static_cast<unsigned char>(b - 'A' + 'a');
    if (a != b) return false;  // also stops at the end of text
  }
  return true;
}

// Reads a numeric parameter; *present is false when it counts as absent.
int ReadIntParam(const http_message* hm, const char* name, bool* present) {
  char buf[kNumericParamBytes];
  *present = ReadFormParam(hm, name, buf, sizeof buf) > 0;
  return *present ? ParseLeadingInt(buf) : 0;
}

bool IsSpace(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

}  // namespace

int ReadFormParam(const http_message* hm, const char* name, char* buf, size_t capacity) {
  buf[0] = '\0';
  int got = http_form_var(&hm->body, name, buf, capacity);
  buf[capacity - 1] = '\0';
  return got;
}

int ParseLeadingInt(const char* text) {
  while (IsSpace(*text)) ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = *text++ == '-';
  long long value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    value = value * 10 + (*text - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) value = -value;
  if (value > INT_MAX) value = INT_MAX;
  return static_cast<int>(value);
}

bool GetRawImageDataParam(const http_message* hm) {
  char buf[kNumericParamBytes];
  if (ReadFormParam(hm, "rawimagedata", buf, sizeof buf) <= 0) return false;
  return buf[0] == 'Y' || buf[0] == 'y';
}

int GetTimeoutParam(const http_message* hm) {
  bool present = false;
  int value = ReadIntParam(hm, "timeout", &present);
  return (!present || value < 0) ? kDefaultTimeoutMs : value;
}

int GetQualityParam(const http_message* hm) {
  bool present = false;
  int value = ReadIntParam(hm, "quality", &present);
  return (!present || value < 0 || value > kMaxQuality) ? kDefaultQuality : value;
}

int GetTemplateFormatParam(const http_message* hm) {
  char buf[kNumericParamBytes];
  if (ReadFormParam(hm, "templateFormat", buf, sizeof buf) <= 0) return kTemplateFormatIso;
  if (StartsWithNoCase(buf, "ISO")) return kTemplateFormatIso;
  if (StartsWithNoCase(buf, "ANSI")) return kTemplateFormatAnsi;
  return kTemplateFormatIso;
}

float GetImageWSQRateParam(const http_message* hm) {
  char buf[kNumericParamBytes];
  if (ReadFormParam(hm, "imageWSQRate", buf, sizeof buf) <= 0) return 0.0f;
  // As atof: the longest leading number, 0 when there is none.
  float rate = static_cast<float>(strtod(buf, nullptr));
  return (rate == 0.75f || rate == 2.25f) ? rate : 0.0f;
}

int GetFakeDetectionParam(const http_message* hm) {
  bool present = false;
  int value = ReadIntParam(hm, "fakeDetection", &present);
  return (!present || value < 0 || value > kMaxFakeDetectionLevel) ? 0 : value;
}

bool GetGenerateParam(const http_message* hm) {
  char buf[kGenerateParamBytes];
  if (ReadFormParam(hm, "generate", buf, sizeof buf) <= 0) return false;
  return buf[0] == 'Y' || buf[0] == 'y';
}

int GetReaderSerialParam(const http_message* hm, char (&serial)[kReaderSerialParamBytes]) {
  const int got = ReadFormParam(hm, "readerSerial", serial, sizeof serial);
  if (got > 0) return 1;
  serial[0] = '\0';
  return got == -2 ? -1 : 0;
}

int FixPercentEscapes(char* text) {
  static constexpr struct {
    char hex[2];
    char plain;
  } kEscapes[] = {{{'3', 'D'}, '='}, {{'2', 'B'}, '+'}, {{'2', 'F'}, '/'}};
  char* p = text;
  while ((p = strchr(p, '%')) != nullptr) {
    char hi = p[1];
    char lo = (hi != '\0') ? p[2] : '\0';
    if (lo >= 'a' && lo <= 'z') lo = static_cast<char>(lo - 'a' + 'A');
    char plain = '\0';
    for (const auto& e : kEscapes) {
      if (hi == e.hex[0] && lo == e.hex[1]) plain = e.plain;
    }
    if (plain == '\0') {
      fprintf(stderr, "Unhandled character %s\n", p);
      return -1;
    }
    *p = plain;
    memmove(p + 1, p + 3, strlen(p + 3) + 1);
    ++p;
  }
  return 0;
}
