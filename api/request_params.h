// Readers of the API's request parameters. Every value comes from the
// form-encoded request body (never the query string) through http_form_var
// into a fixed buffer of the reader's own; a value that is absent, empty, too
// long for its buffer or badly percent-encoded counts as absent and gives the
// default, and so does a value out of range. Service thread only; no state.
#pragma once

#include <cstddef>

#include "device/fingerprint_device.h"

struct http_message;

// Buffer capacities, terminating NUL included: a value may hold one byte less.
inline constexpr size_t kNumericParamBytes = 20;       // flags and numbers
inline constexpr size_t kGenerateParamBytes = 10;      // "generate"
inline constexpr size_t kSessionKeyParamBytes = 512;   // "sessionkey"
inline constexpr size_t kTemplateParamBytes = 2048;    // "template1", "template2"
inline constexpr size_t kReaderSerialParamBytes = 20;  // "readerSerial"

inline constexpr int kDefaultTimeoutMs = 10000;
inline constexpr int kDefaultQuality = 50;
inline constexpr int kMaxQuality = 100;
inline constexpr int kMaxFakeDetectionLevel = 10;

// Reads name into buf (capacity bytes) and returns the http_form_var result:
// the value counts as present only when the result is greater than 0. buf
// always holds a NUL-terminated text afterwards.
[[nodiscard]] int ReadFormParam(const http_message* hm, const char* name, char* buf,
                                size_t capacity);

// "rawimagedata": true when the value begins with "Y" or "y".
bool GetRawImageDataParam(const http_message* hm);
// "timeout" in milliseconds, decimal as atoi reads it; negative gives 10000.
int GetTimeoutParam(const http_message* hm);
// "quality" threshold; outside 0..100 gives 50.
int GetQualityParam(const http_message* hm);
// "templateFormat": kTemplateFormatIso for a value beginning with "ISO",
// kTemplateFormatAnsi for one beginning with "ANSI", both without regard to
// case; otherwise kTemplateFormatIso.
int GetTemplateFormatParam(const http_message* hm);
// "imageWSQRate": 0.75 or 2.25 when the value reads as exactly that, else 0.0.
float GetImageWSQRateParam(const http_message* hm);
// "fakeDetection" level; outside 0..10 gives 0.
int GetFakeDetectionParam(const http_message* hm);
// "generate": true when the value begins with "Y" or "y".
bool GetGenerateParam(const http_message* hm);
// "readerSerial" into serial: 1 when a value was sent, 0 when it was not (or
// is empty), -1 when one was sent that cannot be read (too long, bad escape).
// Unlike the other readers an unreadable value is not the default: the page
// named a reader, and no other may serve it.
[[nodiscard]] int GetReaderSerialParam(const http_message* hm,
                                       char (&serial)[kReaderSerialParamBytes]);

// The integer an atoi-style reader gives: optional white space and sign, then
// decimal digits up to the first other character; no digits gives 0. Unlike
// atoi it never overflows: values beyond int saturate at INT_MIN / INT_MAX.
int ParseLeadingInt(const char* text);

// Second decoding stage of the Base64 parameters: in place, turns each "%3D",
// "%2B" and "%2F" (any case) into "=", "+" and "/", left to right. Returns 0,
// or -1 after writing "Unhandled character <rest>" to standard error when it
// meets any other "%" sequence; replacements made before it stay, and the
// rest of the text is left as it was.
[[nodiscard]] int FixPercentEscapes(char* text);
