// Parameter readers over request bodies: names, defaults, ranges, buffer
// limits, and the second decoding stage of the Base64 parameters.
#include "api/request_params.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "api/session_keys.h"
#include "net/http_parser.h"

namespace {

http_message WithBody(const std::string& body) {
  http_message hm{};
  hm.body.data = body.data();
  hm.body.len = body.size();
  return hm;
}

struct Options {
  int timeout, quality, format;
  float wsq;
  int fake, raw;
};

TEST(RequestParams, CaptureOptionsFromBody) {
  const struct {
    const char* body;
    Options want;
    const char* why;
  } cases[] = {
      {"", {10000, 50, 1, 0.0f, 0, 0}, "empty body: defaults"},
      {"TIMEOUT=5000", {5000, 50, 1, 0.0f, 0, 0}, "name case ignored"},
      {"xtimeout=5000", {10000, 50, 1, 0.0f, 0, 0}, "name must start the body or follow &"},
      {"a=1&timeout=5000&timeout=7", {5000, 50, 1, 0.0f, 0, 0}, "first match wins"},
      {"timeout=-1", {10000, 50, 1, 0.0f, 0, 0}, "negative timeout"},
      {"timeout=0", {0, 50, 1, 0.0f, 0, 0}, "zero timeout kept"},
      {"timeout=abc", {0, 50, 1, 0.0f, 0, 0}, "non-number reads as 0"},
      {"timeout=12abc", {12, 50, 1, 0.0f, 0, 0}, "stops at first non-digit"},
      {"timeout=+%2030", {30, 50, 1, 0.0f, 0, 0}, "leading white space skipped"},
      {"timeout=12345678901234567890", {10000, 50, 1, 0.0f, 0, 0}, "20 characters: too long"},
      {"timeout=123456789012345678", {INT_MAX, 50, 1, 0.0f, 0, 0}, "19 characters saturate"},
      {"timeout=", {10000, 50, 1, 0.0f, 0, 0}, "empty value"},
      {"timeout=5%zz", {10000, 50, 1, 0.0f, 0, 0}, "malformed escape"},
      {"quality=101", {10000, 50, 1, 0.0f, 0, 0}, "quality above range"},
      {"quality=100", {10000, 100, 1, 0.0f, 0, 0}, "quality top edge"},
      {"quality=0", {10000, 0, 1, 0.0f, 0, 0}, "quality 0 kept"},
      {"quality=-1", {10000, 50, 1, 0.0f, 0, 0}, "quality below range"},
      {"templateFormat=ansi", {10000, 50, 2, 0.0f, 0, 0}, "ANSI any case"},
      {"templateFormat=ANSI378", {10000, 50, 2, 0.0f, 0, 0}, "ANSI prefix"},
      {"templateFormat=ISO19794", {10000, 50, 1, 0.0f, 0, 0}, "ISO prefix"},
      {"templateFormat=XYZ", {10000, 50, 1, 0.0f, 0, 0}, "unknown gives ISO"},
      {"templateFormat=AN", {10000, 50, 1, 0.0f, 0, 0}, "short ANSI prefix"},
      {"imageWSQRate=0.75", {10000, 50, 1, 0.75f, 0, 0}, "rate 0.75"},
      {"imageWSQRate=2.25", {10000, 50, 1, 2.25f, 0, 0}, "rate 2.25"},
      {"imageWSQRate=2.250x", {10000, 50, 1, 2.25f, 0, 0}, "trailing text ignored as atof does"},
      {"imageWSQRate=1.5", {10000, 50, 1, 0.0f, 0, 0}, "other rates give 0"},
      {"imageWSQRate=nan", {10000, 50, 1, 0.0f, 0, 0}, "NaN gives 0"},
      {"fakeDetection=10", {10000, 50, 1, 0.0f, 10, 0}, "fake top edge"},
      {"fakeDetection=11", {10000, 50, 1, 0.0f, 0, 0}, "fake above range"},
      {"fakeDetection=-3", {10000, 50, 1, 0.0f, 0, 0}, "fake below range"},
      {"rawimagedata=yes", {10000, 50, 1, 0.0f, 0, 1}, "raw flag lower case"},
      {"rawimagedata=Y", {10000, 50, 1, 0.0f, 0, 1}, "raw flag"},
      {"rawimagedata=N", {10000, 50, 1, 0.0f, 0, 0}, "raw flag off"},
      {"rawimagedata=", {10000, 50, 1, 0.0f, 0, 0}, "raw flag empty"},
      {"timeout=3000&quality=60&templateFormat=ANSI&imageWSQRate=0.75&fakeDetection=2&rawimagedata="
       "Y",
       {3000, 60, 2, 0.75f, 2, 1},
       "everything at once"},
  };
  for (const auto& c : cases) {
    std::string body = c.body;
    http_message hm = WithBody(body);
    EXPECT_EQ(GetTimeoutParam(&hm), c.want.timeout) << c.why;
    EXPECT_EQ(GetQualityParam(&hm), c.want.quality) << c.why;
    EXPECT_EQ(GetTemplateFormatParam(&hm), c.want.format) << c.why;
    EXPECT_EQ(GetImageWSQRateParam(&hm), c.want.wsq) << c.why;
    EXPECT_EQ(GetFakeDetectionParam(&hm), c.want.fake) << c.why;
    EXPECT_EQ(GetRawImageDataParam(&hm), c.want.raw) << c.why;
  }
}

TEST(RequestParams, QueryStringIsNeverRead) {
  std::string body;
  http_message hm = WithBody(body);
  const char query[] = "timeout=5000&quality=70";
  hm.query.data = query;
  hm.query.len = strlen(query);
  EXPECT_EQ(GetTimeoutParam(&hm), 10000);
  EXPECT_EQ(GetQualityParam(&hm), 50);
}

TEST(RequestParams, GenerateFlagAndItsNineCharacterLimit) {
  const struct {
    const char* body;
    bool want;
  } cases[] = {
      {"generate=Y", true},         {"generate=yes", true},         {"GENERATE=y", true},
      {"generate=N", false},        {"generate=", false},           {"", false},
      {"generate=Y23456789", true}, {"generate=Y234567890", false},  // 10 characters: too long
  };
  for (const auto& c : cases) {
    std::string body = c.body;
    http_message hm = WithBody(body);
    EXPECT_EQ(GetGenerateParam(&hm), c.want) << c.body;
  }
}

// A named reader that cannot be read must not turn into "the first reader".
TEST(RequestParams, ReaderSerialSentAbsentOrUnreadable) {
  const struct {
    const char* body;
    int want;
    const char* serial;
  } cases[] = {
      {"", 0, ""},
      {"readerSerial=", 0, ""},
      {"READERSERIAL=TRV08000020240001", 1, "TRV08000020240001"},
      {"readerSerial=NX51%30", 1, "NX510"},
      {"readerSerial=1234567890123456789", 1, "1234567890123456789"},
      {"readerSerial=12345678901234567890", -1, ""},  // 20 characters: too long
      {"readerSerial=NX%zz", -1, ""},
  };
  for (const auto& c : cases) {
    std::string body = c.body;
    http_message hm = WithBody(body);
    char serial[kReaderSerialParamBytes];
    EXPECT_EQ(GetReaderSerialParam(&hm, serial), c.want) << c.body;
    EXPECT_STREQ(serial, c.serial) << c.body;
  }
}

TEST(RequestParams, ParseLeadingIntReadsLikeAtoiWithoutOverflow) {
  const struct {
    const char* text;
    int want;
  } cases[] = {
      {"0", 0},
      {"42", 42},
      {" \t42", 42},
      {"-17x", -17},
      {"+8", 8},
      {"", 0},
      {"-", 0},
      {"x1", 0},
      {"2147483647", INT_MAX},
      {"2147483648", INT_MAX},
      {"-2147483648", INT_MIN},
      {"-99999999999999999999", INT_MIN},
      {"99999999999999999999999999", INT_MAX},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseLeadingInt(c.text), c.want) << c.text;
}

TEST(RequestParams, FixPercentEscapesSecondStage) {
  const struct {
    const char* in;
    const char* out;
    bool ok;
    const char* why;
  } cases[] = {
      {"abc", "abc", true, "nothing to do"},
      {"", "", true, "empty"},
      {"a%3Db", "a=b", true, "="},
      {"%2B%2F%3D", "+/=", true, "all three"},
      {"%2b%2f%3d", "+/=", true, "lower case"},
      {"x%2B%2By", "x++y", true, "adjacent"},
      {"ab%41cd", "ab%41cd", false, "other escape stops"},
      {"a%3Db%41c%2B", "a=b%41c%2B", false, "earlier replacements stay, rest untouched"},
      {"abc%", "abc%", false, "lone % at the end"},
      {"abc%3", "abc%3", false, "half an escape at the end"},
      {"%%2B", "%%2B", false, "%% is unhandled"},
  };
  for (const auto& c : cases) {
    std::string text = c.in;
    EXPECT_EQ(FixPercentEscapes(text.data()) == 0, c.ok) << c.why;
    EXPECT_STREQ(text.c_str(), c.out) << c.why;
  }
}

TEST(RequestParams, DoublyEncodedBase64ReachesTheDecoderPlain) {
  // "%253D" is "%3D" after the form reader and "=" after the second stage.
  std::string body = "template1=QQ%253D%253D&template2=%2541";
  http_message hm = WithBody(body);
  char buf[kTemplateParamBytes];
  ASSERT_EQ(ReadFormParam(&hm, "template1", buf, sizeof buf), 8);
  ASSERT_EQ(FixPercentEscapes(buf), 0);
  EXPECT_STREQ(buf, "QQ==");
  ASSERT_EQ(ReadFormParam(&hm, "template2", buf, sizeof buf), 3);
  EXPECT_EQ(FixPercentEscapes(buf), -1);
  EXPECT_STREQ(buf, "%41");
}

TEST(RequestParams, TemplateBufferHolds2047Characters) {
  std::string fits = "template1=" + std::string(2047, 'A');
  std::string too_long = "template1=" + std::string(2048, 'A');
  char buf[kTemplateParamBytes];
  http_message hm = WithBody(fits);
  EXPECT_EQ(ReadFormParam(&hm, "template1", buf, sizeof buf), 2047);
  hm = WithBody(too_long);
  EXPECT_LT(ReadFormParam(&hm, "template1", buf, sizeof buf), 0);
  EXPECT_EQ(strlen(buf), 2047u);  // always terminated inside the buffer
}

// A sessionkey that is present but unusable must be told apart from none, so
// that the capture never sends a template in the clear to a page that asked
// for it to be encrypted.
TEST(RequestParams, SessionKeyAbsentEmptyOrUnusable) {
  ASSERT_EQ(GenerateRSAKeyPair(), 0);
  const struct {
    std::string body;
    int want_len;
    const char* why;
  } cases[] = {
      {"", 0, "empty body"},
      {"timeout=1", 0, "not sent"},
      {"sessionkey=", 0, "empty value"},
      {"sessionkey=" + std::string(511, 'A'), -1, "511 characters, not a wrapped key"},
      {"sessionkey=" + std::string(512, 'A'), -1, "too long for the buffer"},
      {"sessionkey=AB%zz", -1, "bad escape"},
      {"sessionkey=AB%2541", -1, "unhandled second-stage escape"},
      {"sessionkey=!!!", -1, "not Base64"},
  };
  for (const auto& c : cases) {
    http_message hm = WithBody(c.body);
    int len = 7;
    unsigned char* key = GetSessionKey(&hm, &len);
    EXPECT_EQ(key, nullptr) << c.why;
    EXPECT_EQ(len, c.want_len) << c.why;
    FreeSessionKey(key);
  }
  ReleaseServiceKeyPair();
}

}  // namespace
