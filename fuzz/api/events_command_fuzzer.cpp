// The /events command parser over arbitrary messages; a parsed capture's
// form is then read by the HTTP capture's parameter readers.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "api/events_command.h"
#include "api/request_params.h"
#include "net/http_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  EventsCommand command;
  const char* error = nullptr;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (ParseEventsCommand(text, &command, &error) != 0) return 0;
  http_message hm{};
  hm.body.data = command.form.buf;
  hm.body.len = command.form.len;
  (void)GetTimeoutParam(&hm);
  (void)GetQualityParam(&hm);
  (void)GetTemplateFormatParam(&hm);
  (void)GetImageWSQRateParam(&hm);
  (void)GetRawImageDataParam(&hm);
  return 0;
}
