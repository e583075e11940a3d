// The SDK calls over the virtual reader, and the reader's configuration text.
#include "sdk/vrfplib.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "sdk/fingerprint_template.h"
#include "sdk/libfprint_reader.h"
#include "sdk/minutiae_matcher.h"
#include "sdk/virtual_reader.h"
#include "tests/extract/ridge_pattern.h"

namespace {

class SdkTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (h_ != nullptr) {
      EXPECT_EQ(VRFPM_Terminate(h_), VRFPM_OK);
    }
    EXPECT_EQ(VirtualReaderConfigure(nullptr), 0);
    EXPECT_EQ(PlatformSetEnv(kVirtualReaderEnv, nullptr), 0);
    VirtualReaderStats s = VirtualReaderStatsSnapshot();
    EXPECT_EQ(s.live_handles, 0);
    EXPECT_EQ(s.open_devices, 0);
  }
  void Open(const char* config, uint32_t code, uint32_t identifier = VRFPM_OPEN_USB) {
    ASSERT_EQ(VirtualReaderConfigure(config), 0);
    ASSERT_EQ(VRFPM_Create(&h_), VRFPM_OK);
    ASSERT_EQ(VRFPM_Init(h_, code), VRFPM_OK);
    ASSERT_EQ(VRFPM_OpenDevice(h_, identifier), VRFPM_OK);
  }
  VRFPM_HANDLE h_ = nullptr;
};

TEST(VirtualReaderConfig, ParsesEveryOption) {
  VirtualReaderConfig c;
  char error[128];
  ASSERT_EQ(VirtualReaderParseConfig(
                "readers=NX51,TRV08,klm06x; com=3; finger=7; placement_ms=300; quality=poor; "
                "fake=yes; fake_thresholds=0; impression=9; image_size=320x480; "
                "fail=GetImageEx@3:1234,VRFPM_OpenDevice; images= prints/left hand ",
                &c, error, sizeof error),
            0)
      << error;
  EXPECT_EQ(c.reader_count, 3);
  EXPECT_EQ(c.readers[0], static_cast<uint32_t>(VRFPM_DEVICE_NX51));
  EXPECT_EQ(c.readers[1], static_cast<uint32_t>(VRFPM_DEVICE_TRV08));
  EXPECT_EQ(c.readers[2], static_cast<uint32_t>(VRFPM_DEVICE_KLM06X));
  EXPECT_EQ(c.com_port, 3);
  EXPECT_EQ(c.finger, 7u);
  EXPECT_EQ(c.placement_ms, 300);
  EXPECT_EQ(c.quality, kSynthPoor);
  EXPECT_TRUE(c.fake);
  EXPECT_EQ(c.fake_thresholds, 0);
  EXPECT_EQ(c.first_impression, 9u);
  EXPECT_EQ(c.image_width, 320);
  EXPECT_EQ(c.image_height, 480);
  ASSERT_EQ(c.fault_count, 2);
  EXPECT_EQ(c.faults[0].call, kCallGetImageEx);
  EXPECT_EQ(c.faults[0].nth, 3);
  EXPECT_EQ(c.faults[0].code, 1234);
  EXPECT_EQ(c.faults[1].call, kCallOpenDevice);
  EXPECT_EQ(c.faults[1].nth, 0);
  EXPECT_EQ(c.faults[1].code, VRFPM_ERR_OPEN_FAILED);
  EXPECT_STREQ(c.images, "prints/left hand");
}

TEST(VirtualReaderConfig, DefaultsAndRefusals) {
  VirtualReaderConfig c;
  ASSERT_EQ(VirtualReaderParseConfig("", &c, nullptr, 0), 0);
  EXPECT_EQ(c.reader_count, 1);
  EXPECT_EQ(c.readers[0], static_cast<uint32_t>(VRFPM_DEVICE_NX51));
  EXPECT_EQ(c.finger, 1u);
  EXPECT_EQ(c.placement_ms, 0);
  EXPECT_EQ(c.quality, kSynthGood);
  EXPECT_EQ(c.fake_thresholds, 3);
  ASSERT_EQ(VirtualReaderParseConfig("readers=none;finger=none", &c, nullptr, 0), 0);
  EXPECT_EQ(c.reader_count, 0);
  EXPECT_EQ(c.finger, 0u);

  const char* bad[] = {
      "readers=NX52",
      "readers=SERIAL",
      "readers=NX51,NX51,NX51,NX51,NX51,NX51,NX51,NX51,NX51",
      "finger=-1",
      "placement_ms=1e3",
      "quality=great",
      "fake=maybe",
      "fake_thresholds=11",
      "image_size=20x20",
      "image_size=300",
      "fail=Teleport",
      "fail=GetImageEx@0",
      "fail=GetImageEx:x",
      "colour=blue",
      "finger",
      "com=256",
  };
  for (const char* text : bad) {
    char error[128] = "";
    EXPECT_EQ(VirtualReaderParseConfig(text, &c, error, sizeof error), -1) << text;
    EXPECT_NE(error[0], '\0') << text;
  }
  std::vector<char> huge(static_cast<size_t>(kVirtualConfigTextBytes) + 10, ';');
  huge.back() = '\0';
  EXPECT_EQ(VirtualReaderParseConfig(huge.data(), &c, nullptr, 0), -1);
  const std::string long_path = "images=" + std::string(kVirtualImagesPathBytes, 'a');
  EXPECT_EQ(VirtualReaderParseConfig(long_path.c_str(), &c, nullptr, 0), -1);
}

TEST_F(SdkTest, EnvironmentVariableIsReadAtCreateAndABadOneRefused) {
  ASSERT_EQ(PlatformSetEnv(kVirtualReaderEnv, "readers=TRV08,KLM06X"), 0);
  ASSERT_EQ(VRFPM_Create(&h_), VRFPM_OK);
  uint32_t count = 0;
  VRFPM_DeviceListEntry* list = nullptr;
  ASSERT_EQ(VRFPM_EnumerateDevice(h_, &count, &list), VRFPM_OK);
  ASSERT_EQ(count, 2u);
  EXPECT_EQ(list[0].device_name, static_cast<uint32_t>(VRFPM_DEVICE_TRV08));
  EXPECT_EQ(list[1].device_name, static_cast<uint32_t>(VRFPM_DEVICE_KLM06X));
  EXPECT_EQ(memcmp(list[0].serial, "TRV08", 5), 0);
  ASSERT_EQ(VRFPM_Terminate(h_), VRFPM_OK);
  h_ = nullptr;

  ASSERT_EQ(PlatformSetEnv(kVirtualReaderEnv, "readers=nothing"), 0);
  VRFPM_HANDLE h = nullptr;
  EXPECT_EQ(VRFPM_Create(&h), VRFPM_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(h, nullptr);
  // A direct configuration overrides the variable.
  ASSERT_EQ(VirtualReaderConfigure("readers=none"), 0);
  ASSERT_EQ(VRFPM_Create(&h_), VRFPM_OK);
  ASSERT_EQ(VRFPM_EnumerateDevice(h_, &count, &list), VRFPM_OK);
  EXPECT_EQ(count, 0u);
}

TEST_F(SdkTest, OpeningFollowsTheIdentifierRules) {
  ASSERT_EQ(VirtualReaderConfigure("readers=NX51;com=5"), 0);
  struct Case {
    uint32_t code, identifier;
    int expected;
  } cases[] = {
      {VRFPM_DEVICE_NX51, VRFPM_OPEN_USB, VRFPM_OK},
      {VRFPM_DEVICE_NX51, 5, VRFPM_ERR_OPEN_FAILED},  // a USB reader has no COM port
      {VRFPM_DEVICE_TRV08, VRFPM_OPEN_USB, VRFPM_ERR_NO_DEVICE},
      {VRFPM_DEVICE_SERIAL, 5, VRFPM_OK},
      {VRFPM_DEVICE_SERIAL, 6, VRFPM_ERR_NO_DEVICE},
      {VRFPM_DEVICE_SERIAL, VRFPM_OPEN_USB, VRFPM_ERR_INVALID_ARGUMENT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.code << " " << c.identifier);
    VRFPM_HANDLE h = nullptr;
    ASSERT_EQ(VRFPM_Create(&h), VRFPM_OK);
    ASSERT_EQ(VRFPM_Init(h, c.code), VRFPM_OK);
    EXPECT_EQ(VRFPM_OpenDevice(h, c.identifier), c.expected);
    if (c.expected == VRFPM_OK) {
      EXPECT_EQ(VRFPM_OpenDevice(h, c.identifier), VRFPM_ERR_SEQUENCE);
      EXPECT_EQ(VirtualReaderStatsSnapshot().open_devices, 1);
      EXPECT_EQ(VRFPM_CloseDevice(h), VRFPM_OK);
    }
    EXPECT_EQ(VRFPM_Terminate(h), VRFPM_OK);
  }
}

TEST_F(SdkTest, HandlesAndCallOrder) {
  VRFPM_HANDLE h = nullptr;
  ASSERT_EQ(VRFPM_Create(&h), VRFPM_OK);
  EXPECT_EQ(VRFPM_Init(h, 99), VRFPM_ERR_UNKNOWN_DEVICE);
  EXPECT_EQ(VRFPM_OpenDevice(h, VRFPM_OPEN_USB), VRFPM_ERR_SEQUENCE);
  VRFPM_DeviceInfo info;
  EXPECT_EQ(VRFPM_GetDeviceInfo(h, &info), VRFPM_ERR_SEQUENCE);
  EXPECT_EQ(VRFPM_CloseDevice(h), VRFPM_ERR_SEQUENCE);
  ASSERT_EQ(VRFPM_Init(h, VRFPM_DEVICE_NX51), VRFPM_OK);
  EXPECT_EQ(VRFPM_Init(h, VRFPM_DEVICE_NX51), VRFPM_ERR_SEQUENCE);
  // Terminate closes an open reader.
  ASSERT_EQ(VRFPM_OpenDevice(h, VRFPM_OPEN_USB), VRFPM_OK);
  ASSERT_EQ(VRFPM_Terminate(h), VRFPM_OK);
  EXPECT_EQ(VirtualReaderStatsSnapshot().open_devices, 0);
  // A released handle is refused, not used.
  EXPECT_EQ(VRFPM_Init(h, VRFPM_DEVICE_NX51), VRFPM_ERR_INVALID_HANDLE);
  EXPECT_EQ(VRFPM_Terminate(h), VRFPM_ERR_INVALID_HANDLE);
  EXPECT_EQ(VRFPM_Terminate(nullptr), VRFPM_ERR_INVALID_HANDLE);
  EXPECT_EQ(VRFPM_Create(nullptr), VRFPM_ERR_INVALID_ARGUMENT);
}

TEST_F(SdkTest, ReaderDescribesItself) {
  Open("readers=KLM06X", VRFPM_DEVICE_KLM06X);
  VRFPM_DeviceInfo info;
  ASSERT_EQ(VRFPM_GetDeviceInfo(h_, &info), VRFPM_OK);
  EXPECT_EQ(info.device_id, static_cast<uint32_t>(VRFPM_DEVICE_KLM06X));
  EXPECT_EQ(info.image_width, 258u);
  EXPECT_EQ(info.image_height, 336u);
  EXPECT_EQ(info.image_dpi, 500u);
  EXPECT_EQ(memcmp(info.serial, "KLM06X", 6), 0);
  uint32_t value = 0;
  EXPECT_EQ(VRFPM_SetGetData(h_, VRFPM_DATA_HAS_FAKE_THRESHOLDS, &value), VRFPM_OK);
  EXPECT_EQ(value, 1u);
  EXPECT_EQ(VRFPM_SetGetData(h_, VRFPM_DATA_FAKE_THRESHOLDS, &value), VRFPM_OK);
  EXPECT_EQ(value, 3u);
  EXPECT_EQ(VRFPM_SetGetData(h_, 205, &value), VRFPM_ERR_NOT_SUPPORTED);
  EXPECT_EQ(VRFPM_SetFakeDetectionLevel(h_, 4), VRFPM_ERR_NOT_SUPPORTED);
  EXPECT_EQ(VRFPM_SetFakeDetectionLevel(h_, -1), VRFPM_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(VRFPM_SetFakeDetectionLevel(h_, 3), VRFPM_OK);
  EXPECT_EQ(VRFPM_CloseDevice(h_), VRFPM_OK);
}

TEST_F(SdkTest, PlacementDelayAndTimeout) {
  Open("placement_ms=150", VRFPM_DEVICE_NX51);
  std::vector<unsigned char> image(300 * 400);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(VRFPM_GetImageEx(h_, image.data(), 100, 0, 50), VRFPM_ERR_TIMEOUT);
  auto t1 = std::chrono::steady_clock::now();
  EXPECT_EQ(VRFPM_GetImageEx(h_, image.data(), 1000, 0, 50), VRFPM_OK);
  auto t2 = std::chrono::steady_clock::now();
  using std::chrono::milliseconds;
  EXPECT_GE(std::chrono::duration_cast<milliseconds>(t1 - t0).count(), 100);
  EXPECT_GE(std::chrono::duration_cast<milliseconds>(t2 - t1).count(), 150);
  EXPECT_EQ(VRFPM_CloseDevice(h_), VRFPM_OK);
}

// A page that goes away must not leave the reader waiting out its time-out:
// the abort check ends the wait, and the image size follows the capture.
TEST_F(SdkTest, AbortCheckEndsTheWaitForAFinger) {
  Open("placement_ms=60000", VRFPM_DEVICE_NX51);
  std::vector<unsigned char> image(300 * 400);
  uint32_t width = 0, height = 0;
  ASSERT_EQ(VRFPM_GetImageSize(h_, &width, &height), VRFPM_OK);
  EXPECT_EQ(width * 1000 + height, 300u * 1000 + 400u);
  int asked = 0;
  auto abort_on_third = [](void* count) { return ++*static_cast<int*>(count) >= 3 ? 1 : 0; };
  ASSERT_EQ(VRFPM_SetAbortCheck(h_, abort_on_third, &asked), VRFPM_OK);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(VRFPM_GetImageEx(h_, image.data(), 120000, 0, 50), VRFPM_ERR_CANCELLED);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(30));
  EXPECT_EQ(asked, 3);
  ASSERT_EQ(VRFPM_SetAbortCheck(h_, nullptr, nullptr), VRFPM_OK);
  EXPECT_EQ(VRFPM_GetImageEx(h_, image.data(), 0, 0, 50), VRFPM_ERR_TIMEOUT);
  EXPECT_EQ(VRFPM_CloseDevice(h_), VRFPM_OK);
  EXPECT_EQ(VRFPM_GetImageSize(h_, &width, &height), VRFPM_ERR_SEQUENCE);
}

TEST_F(SdkTest, BackendChosenByTheEnvironment) {
  const char* env = "VRFPLIB_BACKEND";
  VRFPM_HANDLE h = nullptr;
  ASSERT_EQ(PlatformSetEnv(env, "bogus"), 0);
  EXPECT_EQ(VRFPM_Create(&h), VRFPM_ERR_INVALID_ARGUMENT);
  ASSERT_EQ(PlatformSetEnv(env, "virtual"), 0);
  ASSERT_EQ(VRFPM_Create(&h), VRFPM_OK);
  EXPECT_EQ(VRFPM_Terminate(h), VRFPM_OK);
  ASSERT_EQ(PlatformSetEnv(env, "libfprint"), 0);
  if (!LibfprintBackendBuilt()) {
    EXPECT_EQ(VRFPM_Create(&h), VRFPM_ERR_NOT_SUPPORTED);
  } else {
    // libfprint's own readers; the virtual reader's models are unknown there.
    ASSERT_EQ(VRFPM_Create(&h), VRFPM_OK);
    EXPECT_EQ(VRFPM_Init(h, VRFPM_DEVICE_NX51), VRFPM_ERR_UNKNOWN_DEVICE);
    EXPECT_EQ(VRFPM_Terminate(h), VRFPM_OK);
  }
  ASSERT_EQ(PlatformSetEnv(env, nullptr), 0);
}

TEST_F(SdkTest, EachCaptureIsANewImpressionWithItsOwnTemplate) {
  Open("finger=21", VRFPM_DEVICE_NX51);
  std::vector<unsigned char> a(300 * 400), b(300 * 400);
  ASSERT_EQ(VRFPM_GetImageEx(h_, a.data(), 1000, 0, 50), VRFPM_OK);
  ASSERT_EQ(VRFPM_GetImageEx(h_, b.data(), 1000, 0, 50), VRFPM_OK);
  EXPECT_NE(a, b);
  VRFPM_FingerInfo info{3, 0, 0, 70};
  unsigned char ta[VRFPM_TEMPLATE_BYTES], tb[VRFPM_TEMPLATE_BYTES];
  ASSERT_EQ(VRFPM_CreateTemplate(h_, &info, a.data(), ta), VRFPM_OK);
  ASSERT_EQ(VRFPM_CreateTemplate(h_, &info, b.data(), tb), VRFPM_OK);
  uint32_t size = 0, score = 0;
  ASSERT_EQ(VRFPM_GetTemplateSize(h_, ta, &size), VRFPM_OK);
  EXPECT_EQ(size, 30u + 6u * ta[27]);
  EXPECT_EQ(ta[24], 3);   // finger position from FingerInfo
  EXPECT_EQ(ta[26], 70);  // quality from FingerInfo
  ASSERT_EQ(VRFPM_GetMatchingScore(h_, ta, tb, &score), VRFPM_OK);
  EXPECT_GE(score, kMatchThreshold);

  // Templates come from the pixels, whoever made them: a pixel changed
  // leaves the finger recognisable, and an image without ridges gives a
  // valid record without minutiae.
  a[0] ^= 1;
  ASSERT_EQ(VRFPM_CreateTemplate(h_, &info, a.data(), ta), VRFPM_OK);
  ASSERT_EQ(VRFPM_GetMatchingScore(h_, ta, tb, &score), VRFPM_OK);
  EXPECT_GE(score, kMatchThreshold);
  std::fill(a.begin(), a.end(), 200);
  ASSERT_EQ(VRFPM_CreateTemplate(h_, &info, a.data(), ta), VRFPM_OK);
  EXPECT_EQ(ta[27], 0);
  ASSERT_EQ(VRFPM_GetMatchingScore(h_, ta, tb, &score), VRFPM_OK);
  EXPECT_EQ(score, 0u);

  info.finger_number = 11;
  EXPECT_EQ(VRFPM_CreateTemplate(h_, &info, b.data(), ta), VRFPM_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(VRFPM_CloseDevice(h_), VRFPM_OK);
}

TEST_F(SdkTest, FakeFingerOnlyCaughtWithDetectionOn) {
  Open("fake=1", VRFPM_DEVICE_NX51);
  std::vector<unsigned char> image(300 * 400, 0x11);
  EXPECT_EQ(VRFPM_GetImageEx(h_, image.data(), 1000, 0, 50), VRFPM_OK);
  ASSERT_EQ(VRFPM_SetFakeDetectionLevel(h_, 1), VRFPM_OK);
  std::fill(image.begin(), image.end(), 0x11);
  EXPECT_EQ(VRFPM_GetImageEx(h_, image.data(), 1000, 0, 50), VRFPM_ERR_FAKE_FINGER);
  EXPECT_EQ(image[0], 0x11);  // a refused finger leaves the buffer alone
  EXPECT_EQ(VRFPM_CloseDevice(h_), VRFPM_OK);
}

TEST_F(SdkTest, WsqEncodingArguments) {
  Open("", VRFPM_DEVICE_NX51);
  std::vector<unsigned char> image(300 * 400);
  ASSERT_EQ(VRFPM_GetImageEx(h_, image.data(), 1000, 0, 50), VRFPM_OK);
  unsigned char* wsq = nullptr;
  int32_t size = -1;
  EXPECT_EQ(VRFPM_EncodeWSQ(h_, &wsq, &size, 0.0f, image.data(), 300, 400, 8, 500, "Kestrav"),
            VRFPM_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(VRFPM_EncodeWSQ(h_, &wsq, &size, 0.75f, image.data(), 300, 400, 16, 500, "Kestrav"),
            VRFPM_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(VRFPM_EncodeWSQ(h_, &wsq, &size, 0.75f, image.data(), 200, 200, 8, 500, "Kestrav"),
            VRFPM_ERR_IMAGE_TOO_SMALL);
  EXPECT_EQ(wsq, nullptr);
  ASSERT_EQ(VRFPM_EncodeWSQ(h_, &wsq, &size, 0.75f, image.data(), 300, 400, 8, 500, "Kestrav"),
            VRFPM_OK);
  EXPECT_GT(size, 1000);
  EXPECT_EQ(VRFPM_FreeWSQ(h_, wsq), VRFPM_OK);
  EXPECT_EQ(VRFPM_CloseDevice(h_), VRFPM_OK);
}

// A folder of images: one file per capture in name order (other files and
// folders ignored), each with its own size and resolution, its template
// extracted from its pixels; files that cannot be used keep the reader from
// opening, and a folder without images never shows a finger.
TEST_F(SdkTest, ImagesFromAFolderOnePerCaptureInNameOrder) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::path(testing::TempDir()) / "vrfplib_images";
  fs::remove_all(dir);
  fs::create_directories(dir / "sub.pgm");
  auto render = [](int w, int h) {
    return ridge_pattern::Render(
        ridge_pattern::Pattern{w, h, 9, 30, ridge_pattern::Minutia::kEnding, w / 2.0, h / 2.0});
  };
  auto write = [&](const char* name, int w, int h) {
    const std::vector<uint8_t> pixels = render(w, h);
    FILE* f = fopen((dir / name).string().c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fprintf(f, "P5\n%d %d\n255\n", w, h);
    fwrite(pixels.data(), 1, pixels.size(), f);
    fclose(f);
  };
  write("b.pgm", 200, 240);
  write("a.PGM", 256, 200);
  write("c.pgm.txt", 100, 100);  // not an image by its name
  FILE* bad = fopen((dir / "d.bmp").string().c_str(), "wb");
  ASSERT_NE(bad, nullptr);
  fputs("BM not really", bad);
  fclose(bad);

  const std::string config = "images=" + dir.string();
  struct Capture {
    int rc;  // of VRFPM_OpenDevice
    uint32_t width, height;
  };
  constexpr Capture kOrder[] = {{VRFPM_OK, 256, 200},           // a.PGM
                                {VRFPM_OK, 200, 240},           // b.pgm
                                {VRFPM_ERR_OPEN_FAILED, 0, 0},  // d.bmp, damaged
                                {VRFPM_OK, 256, 200}};          // a.PGM again
  ASSERT_EQ(VirtualReaderConfigure(config.c_str()), 0);
  ASSERT_EQ(VRFPM_Create(&h_), VRFPM_OK);
  ASSERT_EQ(VRFPM_Init(h_, VRFPM_DEVICE_NX51), VRFPM_OK);
  for (const Capture& c : kOrder) {
    ASSERT_EQ(VRFPM_OpenDevice(h_, VRFPM_OPEN_USB), c.rc);
    if (c.rc != VRFPM_OK) continue;
    VRFPM_DeviceInfo info;
    ASSERT_EQ(VRFPM_GetDeviceInfo(h_, &info), VRFPM_OK);
    EXPECT_EQ(info.image_width, c.width);
    EXPECT_EQ(info.image_height, c.height);
    EXPECT_EQ(info.image_dpi, 500u);
    std::vector<unsigned char> image(c.width * c.height);
    ASSERT_EQ(VRFPM_GetImageEx(h_, image.data(), 1000, 0, 50), VRFPM_OK);
    EXPECT_EQ(image, render(static_cast<int>(c.width), static_cast<int>(c.height)));
    VRFPM_FingerInfo info_in{0, 0, 0, 60};
    unsigned char record[VRFPM_TEMPLATE_BYTES];
    ASSERT_EQ(VRFPM_CreateTemplate(h_, &info_in, image.data(), record), VRFPM_OK);
    EXPECT_EQ(record[27], 1) << "the one ending drawn in the middle";
    EXPECT_EQ(record[14] << 8 | record[15], static_cast<int>(c.width));
    EXPECT_EQ(VRFPM_CloseDevice(h_), VRFPM_OK);
  }

  // Nothing to show: the finger never arrives.
  fs::remove_all(dir);
  fs::create_directories(dir);
  ASSERT_EQ(VirtualReaderConfigure(config.c_str()), 0);
  ASSERT_EQ(VRFPM_OpenDevice(h_, VRFPM_OPEN_USB), VRFPM_OK);
  std::vector<unsigned char> image(300 * 400);
  EXPECT_EQ(VRFPM_GetImageEx(h_, image.data(), 10, 0, 50), VRFPM_ERR_TIMEOUT);
  EXPECT_EQ(VRFPM_CloseDevice(h_), VRFPM_OK);
  fs::remove_all(dir);
}

}  // namespace
