// The /events command parser: what it takes, what it refuses, and that a
// capture's members reach the HTTP capture's parameter readers unchanged.
#include "api/events_command.h"

#include <gtest/gtest.h>

#include <string>

#include "api/request_params.h"
#include "net/http_parser.h"

namespace {

std::string Form(const EventsCommand& c) {
  return std::string(c.form.buf == nullptr ? "" : c.form.buf, c.form.len);
}

TEST(EventsCommand, TakesCommandsAndEncodesMembersAsAForm) {
  const struct {
    std::string text;
    EventsCommandKind kind;
    const char* form;
    const char* why;
  } cases[] = {
      {R"({"Command":"Capture"})", EventsCommandKind::kCapture, "", "no parameters"},
      {" \t\r\n{ \"Command\" : \"Cancel\" } \n", EventsCommandKind::kCancel, "", "white space"},
      {R"({"timeout":5000,"Command":"Capture","quality":"60"})", EventsCommandKind::kCapture,
       "timeout=5000&quality=60", "numbers keep their text; Command anywhere"},
      {R"({"Command":"Capture","rawimagedata":true,"x":false,"y":null})",
       EventsCommandKind::kCapture, "rawimagedata=Y&x=N", "true Y, false N, null left out"},
      {R"({"Command":"Capture","sessionkey":"ab+/=="})", EventsCommandKind::kCapture,
       "sessionkey=ab%2B%2F%3D%3D", "Base64 survives the form decoding"},
      {R"({"Command":"Capture","a&b":"c=d e"})", EventsCommandKind::kCapture, "a%26b=c%3Dd%20e",
       "separators in names and values are escaped"},
      {R"({"Command":"Capture","t":"\u00e9\ud83d\ude00\n\"\\\/"})", EventsCommandKind::kCapture,
       "t=%C3%A9%F0%9F%98%80%0A%22%5C%2F", "escapes and surrogate pairs become UTF-8"},
      {R"({"Command":"Capture","n":-0.5e+3})", EventsCommandKind::kCapture, "n=-0.5e%2B3",
       "a full number"},
  };
  for (const auto& c : cases) {
    EventsCommand command;
    const char* error = nullptr;
    ASSERT_EQ(ParseEventsCommand(c.text, &command, &error), 0) << c.why << ": " << error;
    EXPECT_EQ(command.kind, c.kind) << c.why;
    EXPECT_EQ(Form(command), c.form) << c.why;
  }
}

TEST(EventsCommand, RefusesWhatIsNotOneFlatObjectWithAKnownCommand) {
  const struct {
    std::string text;
    const char* why;
  } cases[] = {
      {"", "empty"},
      {"[]", "not an object"},
      {R"({"Command":"Capture"} x)", "text after the object"},
      {R"({"Command":"Capture",})", "trailing comma"},
      {R"({"Command":"Capture" "a":1})", "missing comma"},
      {R"({"quality":50})", "no Command"},
      {R"({"Command":"capture"})", "command names are exact"},
      {R"({"Command":1})", "Command not a string"},
      {R"({"Command":"Cancel","Command":"Capture"})", "Command twice"},
      {R"({"Command":"Capture","a":{"b":1}})", "nested object"},
      {R"({"Command":"Capture","a":[1]})", "array"},
      {R"({"Command":"Capture","a":01})", "leading zero"},
      {R"({"Command":"Capture","a":1.})", "no fraction digits"},
      {R"({"Command":"Capture","a":tru})", "cut literal"},
      {"{\"Command\":\"Capture\",\"a\":\"x\ty\"}", "raw control character"},
      {R"({"Command":"Capture","a":"\x"})", "unknown escape"},
      {R"({"Command":"Capture","a":"\ud800"})", "lone high surrogate"},
      {R"({"Command":"Capture","a":"\udc00"})", "lone low surrogate"},
      {R"({"Command":"Capture","a":"\u12"})", "short \\u escape"},
      {R"({"Command":"Capture","a":"abc)", "unterminated string"},
      {"{\"Command\":\"Capture\",\"a\":\"" + std::string(kEventsCommandMaxBytes, 'x') + "\"}",
       "too long"},
  };
  for (const auto& c : cases) {
    // Every prefix is parsed as well, for the sanitizer build: the parser
    // never reads past the end of what it was given.
    for (size_t cut = 0; cut <= c.text.size(); cut += (c.text.size() > 64 ? 997 : 1)) {
      EventsCommand command;
      const char* error = nullptr;
      const std::string text = c.text.substr(0, cut);
      if (cut == c.text.size()) {
        EXPECT_EQ(ParseEventsCommand(text, &command, &error), -1) << c.why;
        EXPECT_NE(error, nullptr) << c.why;
      } else {
        (void)ParseEventsCommand(text, &command, &error);
      }
    }
  }
}

TEST(EventsCommand, CaptureMembersReadAsTheHttpFormReadsThem) {
  EventsCommand command;
  const char* error = nullptr;
  ASSERT_EQ(
      ParseEventsCommand(R"({"Command":"Capture","TIMEOUT":"2500","quality":101,)"
                         R"("templateFormat":"ansi","imageWSQRate":0.75,"rawimagedata":true})",
                         &command, &error),
      0);
  http_message hm{};
  hm.body.data = command.form.buf;
  hm.body.len = command.form.len;
  EXPECT_EQ(GetTimeoutParam(&hm), 2500);
  EXPECT_EQ(GetQualityParam(&hm), 50);  // out of range: the form's default
  EXPECT_EQ(GetTemplateFormatParam(&hm), 2);
  EXPECT_EQ(GetImageWSQRateParam(&hm), 0.75f);
  EXPECT_TRUE(GetRawImageDataParam(&hm));
}

}  // namespace
