// The device layer driven through the virtual reader: every path of the
// capture procedure with its trace lines, reader selection and matching.
// After every call no SDK object may be left created or open.
#include "device/fingerprint_device.h"

#include <gtest/gtest.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "base/trace_log.h"
#include "sdk/fingerprint_template.h"
#include "sdk/minutiae_matcher.h"
#include "sdk/virtual_reader.h"
#include "tests/temp_dir.h"

namespace {

constexpr float kNoWsq = 0.0f;

class DeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(temp_.path().empty());
    snprintf(trace_path_, sizeof trace_path_, "%s", temp_.File("trace.txt").c_str());
    TraceLogConfigure(1, trace_path_);
    com_port_ = 0;
    result_ = static_cast<CaptureResult*>(calloc(1, sizeof(CaptureResult)));
    ASSERT_NE(result_, nullptr);
  }

  void TearDown() override {
    ReleaseCaptureResult(result_);
    free(result_);
    ASSERT_EQ(VirtualReaderConfigure(nullptr), 0);
    remove(trace_path_);
    TraceLogConfigure(0, "");
  }

  static void Configure(const char* text) { ASSERT_EQ(VirtualReaderConfigure(text), 0) << text; }

  static void ExpectNothingLeft() {
    VirtualReaderStats s = VirtualReaderStatsSnapshot();
    EXPECT_EQ(s.live_handles, 0);
    EXPECT_EQ(s.open_devices, 0);
  }

  static std::vector<std::string> Trace() {
    std::vector<std::string> lines;
    std::ifstream in(trace_path_);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  static void ClearTrace() { remove(trace_path_); }

  static bool Traced(const std::string& line) {
    for (const std::string& l : Trace()) {
      if (l == line) return true;
    }
    return false;
  }

  static bool TracedPrefix(const std::string& prefix) {
    for (const std::string& l : Trace()) {
      if (l.compare(0, prefix.size(), prefix) == 0) return true;
    }
    return false;
  }

  int Capture(uint32_t device, int threshold, int format = 1, int fake = 0, int timeout = 10000,
              float wsq = kNoWsq) {
    int rc =
        BCCaptureImage(device, com_port_, 0, timeout, threshold, format, fake, 0, result_, wsq);
    ExpectNothingLeft();
    return rc;
  }

  static inline char trace_path_[kTracePathBytes];
  int com_port_ = 0;  // the -cp: setting the capture is given
  testutil::TempDir temp_{"kv-device-trace-"};
  CaptureResult* result_ = nullptr;
};

TEST_F(DeviceTest, ThresholdZeroEndsWithTheFirstImageAndFillsTheRecord) {
  Configure("finger=3");
  ASSERT_EQ(Capture(VRFPM_DEVICE_NX51, 0), 0);
  EXPECT_EQ(VirtualReaderStatsSnapshot().capture_calls, 1);
  const int q = static_cast<int>(result_->image_quality);
  const std::vector<std::string> expected = {
      "[BCCaptureImage]: device_name[6]; fpos[0]; timeout[10000]; quality[0]; t_format[1]; "
      "fakedetection[0]; WSQRate[0.00];",
      "[BCCaptureImage]: VRFPM_Create; ret[0];",
      "[BCCaptureImage]: VRFPM_Init; ret[0];",
      "[BCCaptureImage]: VRFPM_Open; ret[0];",
      "[BCCaptureImage]: VRFPM_DeviceInfo; ret[0]; DeviceID[6]",
      "[BCCaptureImage]: SetLedOn;",
      "[BCCaptureImage]: if VRFPM_GetImageQuality[" + std::to_string(q) +
          "] >= [0] then break; ret[0]",
      "[BCCaptureImage]: SetLedOff;",
      "[BCCaptureImage]: VRFPM_GetImageQuality[" + std::to_string(q) + "]; ret[0];",
      "[BCCaptureImage]: VRFPM_GetTemplateSize ret[0]; TemplateSize[" +
          std::to_string(result_->template_size) + "]",
      "[BCCaptureImage] Leaving, return 0",
  };
  EXPECT_EQ(Trace(), expected);

  EXPECT_STREQ(result_->manufacturer, "Kestrav");
  EXPECT_STREQ(result_->model, "NX51");
  EXPECT_EQ(strlen(result_->serial_number), 16u);
  EXPECT_EQ(result_->image_width, 300u);
  EXPECT_EQ(result_->image_height, 400u);
  EXPECT_EQ(result_->image_dpi, 500u);
  EXPECT_GE(result_->nfiq, 1);
  EXPECT_LE(result_->nfiq, 5);
  EXPECT_EQ(result_->wsq_data, nullptr);
  EXPECT_EQ(result_->wsq_size, 0);
  TemplateRecord* record = static_cast<TemplateRecord*>(malloc(sizeof(TemplateRecord)));
  ASSERT_EQ(
      ParseTemplateRecord(VRFPM_FORMAT_ISO, result_->template_data, result_->template_size, record),
      VRFPM_OK);
  EXPECT_EQ(record->views[0].finger_quality, result_->image_quality);
  EXPECT_EQ(record->width, 300);
  EXPECT_GT(record->views[0].minutia_count, kMatchMinMinutiae);
  free(record);
}

TEST_F(DeviceTest, QualityEqualToTheThresholdEndsTheLoop) {
  Configure("finger=5");
  ASSERT_EQ(Capture(VRFPM_DEVICE_NX51, 0), 0);
  const int q = static_cast<int>(result_->image_quality);
  Configure("finger=5");  // the same impression again
  ClearTrace();
  ASSERT_EQ(Capture(VRFPM_DEVICE_NX51, q), 0);
  EXPECT_EQ(VirtualReaderStatsSnapshot().capture_calls, 1);
  EXPECT_TRUE(Traced("[BCCaptureImage]: if VRFPM_GetImageQuality[" + std::to_string(q) + "] >= [" +
                     std::to_string(q) + "] then break; ret[0]"));
}

TEST_F(DeviceTest, NeverReachingTheThresholdGoesOnWithTimeoutZeroUntilTheSdkFails) {
  // Every capture needs a new placement of 40 ms. Attempts go on with what is
  // left of the 100 ms until one is given less time than a placement takes
  // (0, or the last few milliseconds, depending on the scheduler): the finger
  // cannot arrive and the SDK's time-out ends the capture.
  Configure("quality=never;placement_ms=40");
  ASSERT_EQ(Capture(VRFPM_DEVICE_NX51, 50, 1, 0, 100), VRFPM_ERR_TIMEOUT);
  VirtualReaderStats s = VirtualReaderStatsSnapshot();
  EXPECT_GE(s.capture_calls, 2);
  EXPECT_LT(s.last_capture_timeout, 40u);
  EXPECT_TRUE(Traced("[BCCaptureImage] VRFPM_GetImageEx failure, return [1009]"));
  EXPECT_FALSE(TracedPrefix("[BCCaptureImage]: SetLedOff;"));
}

TEST_F(DeviceTest, NeverReachingTheThresholdEndsWhenTheSdkCaptureFails) {
  Configure("quality=never;fail=GetImageEx@4");
  ASSERT_EQ(Capture(VRFPM_DEVICE_NX51, 50, 1, 0, 0), VRFPM_ERR_DEVICE_FAILURE);
  EXPECT_EQ(VirtualReaderStatsSnapshot().capture_calls, 4);
  EXPECT_TRUE(Traced("[BCCaptureImage] VRFPM_GetImageEx failure, return [1008]"));
}

TEST_F(DeviceTest, FingerRestingWithLowQualityDoesNotHoldTheThreadForEver) {
  Configure("quality=never");
  ASSERT_EQ(Capture(VRFPM_DEVICE_NX51, 50, 1, 0, 0), VRFPM_ERR_TIMEOUT);
  EXPECT_EQ(VirtualReaderStatsSnapshot().capture_calls, kMaxAttemptsAfterTimeout + 1);
  EXPECT_TRUE(TracedPrefix("[BCCaptureImage]: quality["));
}

TEST_F(DeviceTest, NoFingerWaitsTheWholeTimeout) {
  Configure("finger=none");
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(Capture(VRFPM_DEVICE_NX51, 50, 1, 0, 200), VRFPM_ERR_TIMEOUT);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                  start);
  EXPECT_GE(ms.count(), 200);
}

// A page that goes away cancels its capture from another thread: the capture
// ends at its next SDK call, or within the wait for a finger, closes the
// reader and releases the SDK object.
TEST_F(DeviceTest, CancelEndsTheCaptureAtTheNextSdkCallAndFreesTheReader) {
  Configure("placement_ms=1000");
  std::atomic<bool> cancel{false};
  std::thread page_gone([&] { cancel.store(true); });
  const int rc =
      BCCaptureImage(VRFPM_DEVICE_NX51, 0, 0, 10000, 50, 1, 0, 0, result_, kNoWsq, &cancel);
  page_gone.join();
  EXPECT_EQ(rc, kErrCaptureCancelled);
  ExpectNothingLeft();
  EXPECT_LE(VirtualReaderStatsSnapshot().capture_calls, 1);
  EXPECT_TRUE(Traced("[BCCaptureImage]: cancelled; return [-1]"));
  EXPECT_FALSE(TracedPrefix("[BCCaptureImage]: VRFPM_GetTemplateSize"));

  // Cancelled before it starts: the reader is not opened at all.
  ClearTrace();
  EXPECT_EQ(BCCaptureImage(VRFPM_DEVICE_NX51, 0, 0, 10000, 50, 1, 0, 0, result_, kNoWsq, &cancel),
            kErrCaptureCancelled);
  ExpectNothingLeft();
  EXPECT_FALSE(TracedPrefix("[BCCaptureImage]: VRFPM_Init"));
}

// The finger would come after a minute; the cancel reaches the wait itself.
TEST_F(DeviceTest, CancelReachesACaptureWaitingForAFinger) {
  Configure("placement_ms=60000");
  std::atomic<bool> cancel{false};
  std::thread page_gone([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    cancel.store(true);
  });
  const auto start = std::chrono::steady_clock::now();
  const int rc =
      BCCaptureImage(VRFPM_DEVICE_NX51, 0, 0, 120000, 50, 1, 0, 0, result_, kNoWsq, &cancel);
  page_gone.join();
  EXPECT_EQ(rc, kErrCaptureCancelled);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  EXPECT_EQ(VirtualReaderStatsSnapshot().capture_calls, 1);
  ExpectNothingLeft();
}

struct FakeCase {
  const char* config;
  int level;
  int expected_rc;
  int level_set;        // -1: none
  const char* summary;  // trace line, or nullptr when none is expected
  const char* why;
};

TEST_F(DeviceTest, FakeDetectionLevels) {
  const FakeCase cases[] = {
      {"fake_thresholds=3", 5, 0, 3,
       "[BCCaptureImage]: SetGetData[0]; setGetDataResult[1]; numThresholds[3];",
       "level lowered to the number of thresholds"},
      {"fake_thresholds=3", 2, 0, 2,
       "[BCCaptureImage]: SetGetData[0]; setGetDataResult[1]; numThresholds[3];", "level kept"},
      {"fake_thresholds=0", 2, kErrFakeDetectionUnavailable, -1, nullptr,
       "graded level on a reader without thresholds"},
      {"fake_thresholds=0", 1, 0, 1,
       "[BCCaptureImage]: SetGetData[0]; setGetDataResult[0]; numThresholds[0];",
       "on/off detection on a reader without thresholds"},
      {"fake_thresholds=3;fail=SetGetData@2", 2, kErrFakeDetectionUnavailable, -1, nullptr,
       "the threshold count cannot be read"},
      {"fake_thresholds=3;fail=SetFakeDetectionLevel", 2, kErrFakeDetectionUnavailable, -1, nullptr,
       "the level cannot be set"},
      {"fake_thresholds=0;fail=SetFakeDetectionLevel", 1, kErrFakeDetectionUnavailable, -1, nullptr,
       "level 1 cannot be set"},
      {"fake_thresholds=3;fail=SetGetData@1", 1, 0, 1,
       "[BCCaptureImage]: SetGetData[0]; setGetDataResult[0]; numThresholds[0];",
       "the first query's own result is not tested"},
      {"fake=1;fake_thresholds=3", 1, VRFPM_ERR_FAKE_FINGER, 1, nullptr, "fake finger detected"},
      {"fake=1;fake_thresholds=0", 1, VRFPM_ERR_FAKE_FINGER, 1, nullptr, "fake finger, on/off"},
      {"fake=1;fake_thresholds=3", 0, 0, -1, nullptr, "fake finger captured without detection"},
  };
  for (const FakeCase& c : cases) {
    SCOPED_TRACE(c.why);
    Configure(c.config);
    ClearTrace();
    EXPECT_EQ(Capture(VRFPM_DEVICE_NX51, 0, 1, c.level), c.expected_rc);
    EXPECT_EQ(VirtualReaderStatsSnapshot().fake_level, c.level_set);
    if (c.level > 0) {
      const char* ret = strstr(c.why, "first query") != nullptr ? "1015" : "0";
      EXPECT_TRUE(Traced(std::string("[BCCaptureImage]: VRFPM_SetGetData; ret[") + ret + "]"));
    }
    if (c.summary != nullptr) {
      EXPECT_TRUE(Traced(c.summary));
    }
    EXPECT_EQ(Traced("[BCCaptureImage]: SetLedOn;"), c.expected_rc != kErrFakeDetectionUnavailable);
  }
}

TEST_F(DeviceTest, SerialReaderWithoutComPortGives55WithoutOpening) {
  // An open attempt would fail with the injected code instead of 55.
  Configure("readers=none;com=3;fail=OpenDevice:4242");
  com_port_ = 0;
  EXPECT_EQ(Capture(NO_USB_DEVICE, 0), kErrSerialNoComPort);
  EXPECT_TRUE(Traced("[BCCaptureImage]: VRFPM_Init; ret[0];"));
  EXPECT_TRUE(Traced("[BCCaptureImage]: Pre-OpenDevice; ComPort[0];"));
  EXPECT_TRUE(Traced("[BCCaptureImage]: VRFPM_OpenDevice - FAILURE; ret[55]; COMPort[0]"));
}

TEST_F(DeviceTest, SerialReaderOnItsComPort) {
  Configure("readers=none;com=3");
  memcpy(result_->model, "previous", 9);
  com_port_ = 3;
  ASSERT_EQ(Capture(NO_USB_DEVICE, 0), 0);
  EXPECT_TRUE(Traced("[BCCaptureImage]: VRFPM_OpenDevice - SUCCESS; ret[0]; COMPort[3]"));
  EXPECT_STREQ(result_->model, "previous");  // not a USB model: left unchanged
  EXPECT_EQ(result_->image_width, 260u);
  EXPECT_EQ(result_->image_height, 300u);

  com_port_ = 4;
  ClearTrace();
  EXPECT_EQ(Capture(NO_USB_DEVICE, 0), VRFPM_ERR_NO_DEVICE);
  EXPECT_TRUE(Traced("[BCCaptureImage]: VRFPM_OpenDevice - FAILURE; ret[1006]; COMPort[4]"));
}

TEST_F(DeviceTest, ReaderModelsAndSizes) {
  struct Case {
    const char* readers;
    uint32_t code;
    const char* model;
    uint32_t width, height;
  } cases[] = {
      {"readers=KLM06X", VRFPM_DEVICE_KLM06X, "KLM06X", 258, 336},
      {"readers=TRV08", VRFPM_DEVICE_TRV08, "TRV08", 260, 300},
      {"readers=NX51", VRFPM_DEVICE_NX51, "NX51", 300, 400},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.readers);
    Configure(c.readers);
    ASSERT_EQ(Capture(c.code, 0), 0);
    EXPECT_STREQ(result_->model, c.model);
    EXPECT_EQ(result_->image_width, c.width);
    EXPECT_EQ(result_->image_height, c.height);
    EXPECT_EQ(strncmp(result_->serial_number, c.model, strlen(c.model)), 0);
    // A reader not attached does not open.
    Configure("readers=none");
    EXPECT_EQ(Capture(c.code, 0), VRFPM_ERR_NO_DEVICE);
  }
}

TEST_F(DeviceTest, ReaderWithImagesLargerThanTheBufferIsRefusedBeforeWriting) {
  Configure("image_size=700x600");
  memset(result_->image_data, 0xAB, sizeof result_->image_data);
  EXPECT_EQ(Capture(VRFPM_DEVICE_NX51, 0), VRFPM_ERR_IMAGE_TOO_LARGE);
  EXPECT_EQ(VirtualReaderStatsSnapshot().capture_calls, 0);
  for (unsigned char b : result_->image_data) ASSERT_EQ(b, 0xAB);
  // 350 000 bytes exactly still fits.
  Configure("image_size=700x500");
  EXPECT_EQ(Capture(VRFPM_DEVICE_NX51, 0), 0);
}

// A reader fed by image files hands back frames without a finger to wait
// for: a flat image never reaches the threshold, and the time-out must still
// end the capture; a file larger than the image buffer is refused like a
// larger reader.
TEST_F(DeviceTest, ImageFilesThatNeverReachTheThresholdOrDoNotFit) {
  auto write_flat = [](const std::string& path, int w, int h) {
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fprintf(f, "P5\n%d %d\n255\n", w, h);
    const std::vector<unsigned char> grey(static_cast<size_t>(w) * h, 200);
    fwrite(grey.data(), 1, grey.size(), f);
    fclose(f);
  };
  const std::string flat = testing::TempDir() + "device_flat.pgm";
  const std::string large = testing::TempDir() + "device_large.pgm";
  write_flat(flat, 300, 400);
  write_flat(large, 700, 600);

  Configure(("images=" + flat).c_str());
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(Capture(VRFPM_DEVICE_NX51, 50, 1, 0, 100), VRFPM_ERR_TIMEOUT);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                  start);
  EXPECT_GE(ms.count(), 100);
  EXPECT_LT(ms.count(), 5000);
  EXPECT_LE(VirtualReaderStatsSnapshot().capture_calls, 100 + kMaxAttemptsAfterTimeout + 1);
  ExpectNothingLeft();

  Configure(("images=" + large).c_str());
  EXPECT_EQ(Capture(VRFPM_DEVICE_NX51, 0), VRFPM_ERR_IMAGE_TOO_LARGE);
  EXPECT_EQ(VirtualReaderStatsSnapshot().capture_calls, 0);
  ExpectNothingLeft();
  remove(flat.c_str());
  remove(large.c_str());
}

TEST_F(DeviceTest, TemplateFormatChoice) {
  struct Case {
    int format;
    uint32_t expected;
    int sets;
  } cases[] = {{1, VRFPM_FORMAT_ISO, 1},
               {2, VRFPM_FORMAT_ANSI, 1},
               {3, VRFPM_FORMAT_ISO, 0},
               {0, VRFPM_FORMAT_ISO, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.format);
    Configure("finger=2");
    ASSERT_EQ(Capture(VRFPM_DEVICE_NX51, 0, c.format), 0);
    VirtualReaderStats s = VirtualReaderStatsSnapshot();
    EXPECT_EQ(s.template_format_sets, c.sets);
    EXPECT_EQ(s.last_template_format, c.expected);
    EXPECT_EQ(ValidateTemplateRecord(result_->template_data, result_->template_size, c.expected),
              0);
  }
}

struct FaultCase {
  const char* fail;
  int format;
  float wsq;
  const char* line;  // trace line of the failure, nullptr when none
};

TEST_F(DeviceTest, EveryInjectedSdkFailureClosesAndReleases) {
  const FaultCase cases[] = {
      {"Create", 1, kNoWsq, "[BCCaptureImage]: VRFPM_Create; ret[4242];"},
      {"Init", 1, kNoWsq, "[BCCaptureImage]: VRFPM_Init; ret[4242];"},
      {"OpenDevice", 1, kNoWsq, "[BCCaptureImage]: VRFPM_Open - FAILED; ret[4242];"},
      {"GetDeviceInfo", 1, kNoWsq, "[BCCaptureImage]: VRFPM_DeviceInfo; ret[4242]; DeviceID[0]"},
      {"GetImageEx", 1, kNoWsq, "[BCCaptureImage] VRFPM_GetImageEx failure, return [4242]"},
      {"GetImageQuality@1", 1, kNoWsq,
       "[BCCaptureImage] VRFPM_GetImageQuality1 failure, return [4242]"},
      {"EncodeWSQ", 1, 0.75f, "[BCCaptureImage] VRFPM_EncodeWSQ failure, return [4242]"},
      {"SetTemplateFormat", 2, kNoWsq,
       "[BCCaptureImage] VRFPM_SetTemplateFormat failure, return [4242]"},
      {"CreateTemplate", 1, kNoWsq, nullptr},
      {"GetTemplateSize", 1, kNoWsq,
       "[BCCaptureImage] VRFPM_GetTemplateSize failure, return [4242]"},
  };
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.fail);
    std::string config = std::string("fail=") + c.fail + ":4242";
    Configure(config.c_str());
    ClearTrace();
    EXPECT_EQ(Capture(VRFPM_DEVICE_NX51, 0, c.format, 0, 10000, c.wsq), 4242);
    if (c.line != nullptr) {
      EXPECT_TRUE(Traced(c.line));
    }
    EXPECT_FALSE(Traced("[BCCaptureImage] Leaving, return 0"));
    EXPECT_EQ(result_->wsq_data, nullptr);
    EXPECT_EQ(result_->wsq_size, 0);
  }
}

// The image that ends the loop has had its quality measured; the capture
// does not ask the SDK again, so a second measurement is only ever another
// attempt's, and its failure is the loop's.
TEST_F(DeviceTest, QualityIsMeasuredOncePerImage) {
  const struct {
    const char* config;
    int threshold;
    int expected_rc;
    const char* line;
  } cases[] = {
      {"fail=GetImageQuality@2:4242", 0, 0, "[BCCaptureImage] Leaving, return 0"},
      {"quality=never;fail=GetImageQuality@2:4242", 50, 4242,
       "[BCCaptureImage] VRFPM_GetImageQuality1 failure, return [4242]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.config);
    Configure(c.config);
    ClearTrace();
    EXPECT_EQ(Capture(VRFPM_DEVICE_NX51, c.threshold, 1, 0, 0), c.expected_rc);
    EXPECT_TRUE(Traced(c.line));
    if (c.expected_rc == 0) {
      EXPECT_TRUE(Traced("[BCCaptureImage]: VRFPM_GetImageQuality[" +
                         std::to_string(result_->image_quality) + "]; ret[0];"));
    }
  }
}

TEST_F(DeviceTest, WsqRequestReplacesThePreviousBlock) {
  Configure("finger=4");
  ASSERT_EQ(Capture(VRFPM_DEVICE_NX51, 0, 1, 0, 10000, 0.75f), VRFPM_OK)
      << "the WSQ codec is part of the build";
  ASSERT_NE(result_->wsq_data, nullptr);
  ASSERT_GT(result_->wsq_size, 2);
  EXPECT_EQ(result_->wsq_data[0], 0xFF);
  EXPECT_EQ(result_->wsq_data[1], 0xA0);
  // A second WSQ capture frees the first block (the leak checker watches).
  ASSERT_EQ(Capture(VRFPM_DEVICE_NX51, 0, 1, 0, 10000, 2.25f), VRFPM_OK);
  ASSERT_NE(result_->wsq_data, nullptr);
  // Rate 0.0 leaves both fields alone.
  unsigned char* before = result_->wsq_data;
  int32_t size = result_->wsq_size;
  ASSERT_EQ(Capture(VRFPM_DEVICE_NX51, 0), VRFPM_OK);
  EXPECT_EQ(result_->wsq_data, before);
  EXPECT_EQ(result_->wsq_size, size);
}

TEST_F(DeviceTest, NanWsqRateCountsAsARequestAndFailsCleanly) {
  ASSERT_EQ(Capture(VRFPM_DEVICE_NX51, 0, 1, 0, 10000, nanf("")), VRFPM_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(result_->wsq_size, 0);
  EXPECT_TRUE(Traced("[BCCaptureImage] VRFPM_EncodeWSQ failure, return [1001]"));
}

TEST_F(DeviceTest, DeviceSelectionTakesTheFirstEnumeratedReader) {
  struct Case {
    const char* config;
    int expected;
    const char* last_line;
  } cases[] = {
      {"readers=none", NO_USB_DEVICE, "[GetDeviceIdFromName] VRFPM_EnumerateDevice, dname[NX51]"},
      {"readers=TRV08,NX51", VRFPM_DEVICE_TRV08, "[GetDeviceIdFromName] Leaving; device_name[5]"},
      {"readers=KLM06X", VRFPM_DEVICE_KLM06X, "[GetDeviceIdFromName] Leaving; device_name[4]"},
      {"fail=Create:4242", 4242, "[GetDeviceIdFromName] VRFPM_Create failure; rval[4242]"},
      {"fail=EnumerateDevice:4243", 4243,
       "[GetDeviceIdFromName] VRFPM_EnumerateDevice failure; rval[4243]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.config);
    Configure(c.config);
    ClearTrace();
    EXPECT_EQ(GetDeviceIdFromName("NX51"), c.expected);
    ExpectNothingLeft();
    ASSERT_FALSE(Trace().empty());
    EXPECT_EQ(Trace().back(), c.last_line);
  }
}

class MatchTest : public DeviceTest {
 protected:
  std::vector<unsigned char> CaptureTemplate(int finger, int format) {
    std::string config =
        "finger=" + std::to_string(finger) + ";impression=" + std::to_string(impression_++);
    Configure(config.c_str());
    EXPECT_EQ(Capture(VRFPM_DEVICE_NX51, 0, format), 0);
    return std::vector<unsigned char>(result_->template_data,
                                      result_->template_data + result_->template_size);
  }
  int Match(uint32_t device, int format, const std::vector<unsigned char>& a,
            const std::vector<unsigned char>& b, uint32_t* score) {
    EXPECT_EQ(ValidateMatchTemplate(format, a.data(), a.size()), 0);
    EXPECT_EQ(ValidateMatchTemplate(format, b.data(), b.size()), 0);
    int rc = BCGetMatchingScore(device, format, a.data(), b.data(), score);
    ExpectNothingLeft();
    return rc;
  }
  unsigned impression_ = 0;
};

TEST_F(MatchTest, SameFingerScoresAboveTheThresholdOtherFingersBelow) {
  for (int format : {1, 2}) {
    SCOPED_TRACE(format);
    auto a = CaptureTemplate(7, format);
    auto b = CaptureTemplate(7, format);
    auto c = CaptureTemplate(8, format);
    Configure("readers=NX51");
    uint32_t score = 0;
    ClearTrace();
    ASSERT_EQ(Match(VRFPM_DEVICE_NX51, format, a, b, &score), 0);
    EXPECT_GE(score, kMatchThreshold);
    EXPECT_TRUE(
        Traced("[BCGetMatchingScore]: Leaving, score[" + std::to_string(score) + "], return 0"));
    ASSERT_EQ(Match(VRFPM_DEVICE_NX51, format, a, c, &score), 0);
    EXPECT_LT(score, kMatchThreshold);
  }
}

TEST_F(MatchTest, EveryFormatButTwoReadsIso) {
  auto a = CaptureTemplate(9, 1);
  auto b = CaptureTemplate(9, 1);
  for (int format : {0, 1, 7, -1}) {
    SCOPED_TRACE(format);
    uint32_t score = 0;
    ClearTrace();
    ASSERT_EQ(Match(VRFPM_DEVICE_NX51, format, a, b, &score), 0);
    EXPECT_GE(score, kMatchThreshold);
    EXPECT_EQ(Trace().front(),
              "[BCGetMatchingScore]: device_name[6]; temp_format[" + std::to_string(format) + "];");
  }
  // Read as ANSI, the ISO records are refused at their header.
  EXPECT_NE(ValidateMatchTemplate(2, a.data(), a.size()), 0);
  uint32_t score = 0;
  EXPECT_EQ(BCGetMatchingScore(VRFPM_DEVICE_NX51, 2, a.data(), b.data(), &score),
            VRFPM_ERR_BAD_TEMPLATE);
  EXPECT_TRUE(Traced("[BCGetMatchingScore]: VRFPM_MatchingScore failure; ret[1014];"));
  ExpectNothingLeft();
}

TEST_F(MatchTest, DeviceCodesAndFailures) {
  auto a = CaptureTemplate(11, 1);
  auto b = CaptureTemplate(11, 1);
  uint32_t score = 0;
  // No reader attached: 10004 initialises the serial code and still matches.
  Configure("readers=none");
  EXPECT_EQ(Match(NO_USB_DEVICE, 1, a, b, &score), 0);
  EXPECT_GE(score, kMatchThreshold);
  // An error code taken for a device code fails in Init.
  ClearTrace();
  EXPECT_EQ(Match(VRFPM_ERR_NO_DEVICE, 1, a, b, &score), VRFPM_ERR_UNKNOWN_DEVICE);
  EXPECT_TRUE(Traced("[BCGetMatchingScore]: VRFPM_Init failure; ret[1004];"));
  const struct {
    const char* config;
    const char* line;
  } faults[] = {
      {"fail=Create:4242", "[BCGetMatchingScore]: VRFPM_Create failure; ret[4242];"},
      {"fail=Init:4242", "[BCGetMatchingScore]: VRFPM_Init failure; ret[4242];"},
      {"fail=SetTemplateFormat:4242",
       "[BCGetMatchingScore]: VRFPM_SetTemplateFormat failure; ret[4242];"},
      {"fail=GetMatchingScore:4242",
       "[BCGetMatchingScore]: VRFPM_MatchingScore failure; ret[4242];"},
  };
  for (const auto& f : faults) {
    SCOPED_TRACE(f.config);
    Configure(f.config);
    ClearTrace();
    EXPECT_EQ(Match(VRFPM_DEVICE_NX51, 1, a, b, &score), 4242);
    EXPECT_TRUE(Traced(f.line));
  }
}

TEST_F(MatchTest, ValidationOfTemplatesFromOutside) {
  auto iso = CaptureTemplate(12, 1);
  auto ansi = CaptureTemplate(12, 2);
  EXPECT_EQ(ValidateMatchTemplate(1, iso.data(), iso.size()), 0);
  EXPECT_EQ(ValidateMatchTemplate(2, ansi.data(), ansi.size()), 0);
  EXPECT_EQ(ValidateMatchTemplate(1, ansi.data(), ansi.size()), VRFPM_ERR_BAD_TEMPLATE);
  EXPECT_EQ(ValidateMatchTemplate(2, iso.data(), iso.size()), VRFPM_ERR_BAD_TEMPLATE);
  // Every shorter length than the record declares is refused.
  for (size_t len = 0; len < iso.size(); ++len) {
    std::vector<unsigned char> cut(iso.begin(), iso.begin() + static_cast<long>(len));
    ASSERT_EQ(ValidateMatchTemplate(1, cut.data(), cut.size()), VRFPM_ERR_BAD_TEMPLATE) << len;
  }
  EXPECT_EQ(ValidateMatchTemplate(1, nullptr, 0), VRFPM_ERR_BAD_TEMPLATE);
}

}  // namespace
