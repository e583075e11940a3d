// Feeds arbitrary request bodies to every parameter reader, the second
// decoding stage and the session-key unwrapping.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "api/request_params.h"
#include "api/session_keys.h"
#include "net/http_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool have_keys = GenerateRSAKeyPair() == 0;
  (void)have_keys;

  // The body is a slice with no terminator; copy it to an exact-size block so
  // that any read past its end is caught.
  std::vector<char> body(data, data + size);
  http_message hm{};
  hm.body.data = body.data();
  hm.body.len = body.size();

  (void)GetRawImageDataParam(&hm);
  (void)GetTimeoutParam(&hm);
  (void)GetQualityParam(&hm);
  (void)GetTemplateFormatParam(&hm);
  (void)GetImageWSQRateParam(&hm);
  (void)GetFakeDetectionParam(&hm);
  (void)GetGenerateParam(&hm);
  char serial[kReaderSerialParamBytes];
  if (GetReaderSerialParam(&hm, serial) > 0 && strlen(serial) >= sizeof serial) abort();

  char tmpl[kTemplateParamBytes];
  if (ReadFormParam(&hm, "template1", tmpl, sizeof tmpl) > 0) (void)FixPercentEscapes(tmpl);

  int key_len = 0;
  FreeSessionKey(GetSessionKey(&hm, &key_len));

  // The second stage on raw text too, at its exact length.
  char* text = static_cast<char*>(malloc(size + 1));
  if (text) {
    memcpy(text, data, size);
    text[size] = '\0';
    (void)ParseLeadingInt(text);
    size_t before = strlen(text);
    (void)FixPercentEscapes(text);
    if (strlen(text) > before) abort();
    free(text);
  }
  return 0;
}
