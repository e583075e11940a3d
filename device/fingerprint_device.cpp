#include "device/fingerprint_device.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "base/trace_log.h"
#include "base/trace_tags.h"
#include "platform/platform.h"
#include "sdk/fingerprint_template.h"
#include "sdk/nfiq.h"

namespace {

constexpr const char* kWsqComment = "Kestrav";
constexpr uint32_t kBitsPerPixel = 8;

// Owns one SDK object for the length of an operation: whatever path leaves
// the operation, an open reader is closed and the object released.
class SdkSession {
 public:
  SdkSession() = default;
  SdkSession(const SdkSession&) = delete;
  SdkSession& operator=(const SdkSession&) = delete;
  ~SdkSession() { Release(); }

  int Create() { return VRFPM_Create(&handle_); }
  VRFPM_HANDLE get() const { return handle_; }
  void MarkOpen() { open_ = true; }
  void Release() {
    if (open_) VRFPM_CloseDevice(handle_);
    open_ = false;
    if (handle_ != nullptr) VRFPM_Terminate(handle_);
    handle_ = nullptr;
  }

 private:
  VRFPM_HANDLE handle_ = nullptr;
  bool open_ = false;
};

bool CancelRequested(const std::atomic<bool>* cancel) {
  return cancel != nullptr && cancel->load(std::memory_order_relaxed);
}

// The SDK's abort check over the caller's cancel flag, so that a capture
// waiting for a finger ends as soon as the flag is set.
int CancelFlagSet(void* flag) {
  return static_cast<const std::atomic<bool>*>(flag)->load(std::memory_order_relaxed) ? 1 : 0;
}

// The SDK's capture sink over the caller's observer.
void ToObserver(void* context, int what, const unsigned char* image, uint32_t width,
                uint32_t height) {
  const auto* o = static_cast<const CaptureObserver*>(context);
  if (what == VRFPM_SINK_FRAME && o->frame != nullptr) {
    o->frame(o->context, image, width, height);
  } else if (what != VRFPM_SINK_FRAME && o->finger_present != nullptr) {
    o->finger_present(o->context, what == VRFPM_SINK_FINGER_PRESENT);
  }
}

int Cancelled() {
  trace_log(kTraceProgress, "[%s]: cancelled; return [%d]", kTagCaptureImage, kErrCaptureCancelled);
  return kErrCaptureCancelled;
}

// Sets up fake-finger detection at the requested level. Returns 0 or
// kErrFakeDetectionUnavailable.
int SetFakeDetection(VRFPM_HANDLE h, int level) {
  uint32_t has_thresholds = 0;
  int rc = VRFPM_SetGetData(h, VRFPM_DATA_HAS_FAKE_THRESHOLDS, &has_thresholds);
  trace_log(kTraceProgress, "[%s]: VRFPM_SetGetData; ret[%d]", kTagCaptureImage, rc);
  uint32_t thresholds = 0;
  if (has_thresholds == 1) {
    rc = VRFPM_SetGetData(h, VRFPM_DATA_FAKE_THRESHOLDS, &thresholds);
    // A reader that claims graded levels but reports none cannot honour the
    // request; lowering the level to 0 would switch detection off unasked.
    if (rc != VRFPM_OK || thresholds == 0) return kErrFakeDetectionUnavailable;
    if (static_cast<uint32_t>(level) > thresholds) level = static_cast<int>(thresholds);
    rc = VRFPM_SetFakeDetectionLevel(h, level);
    if (rc != VRFPM_OK) return kErrFakeDetectionUnavailable;
  } else {
    if (level > 1) return kErrFakeDetectionUnavailable;
    rc = VRFPM_SetFakeDetectionLevel(h, 1);
    if (rc != VRFPM_OK) return kErrFakeDetectionUnavailable;
  }
  trace_log(kTraceProgress, "[%s]: SetGetData[%d]; setGetDataResult[%d]; numThresholds[%d];",
            kTagCaptureImage, rc, static_cast<int>(has_thresholds), static_cast<int>(thresholds));
  return 0;
}

// Initialises the SDK for the reader and opens it: the USB reader, or for
// NO_USB_DEVICE the serial one on com_port. Marks the session open on success.
int OpenReader(SdkSession* sdk, uint32_t device_code, int com_port) {
  VRFPM_HANDLE h = sdk->get();
  const bool serial = device_code == static_cast<uint32_t>(NO_USB_DEVICE);
  int rc = VRFPM_Init(h, serial ? kSerialDeviceCode : device_code);
  trace_log(kTraceProgress, "[%s]: VRFPM_Init; ret[%d];", kTagCaptureImage, rc);
  if (rc != VRFPM_OK) return rc;

  if (!serial) {
    rc = VRFPM_OpenDevice(h, VRFPM_OPEN_USB);
    if (rc != VRFPM_OK) {
      trace_log(kTraceProgress, "[%s]: VRFPM_Open - FAILED; ret[%d];", kTagCaptureImage, rc);
      return rc;
    }
    trace_log(kTraceProgress, "[%s]: VRFPM_Open; ret[%d];", kTagCaptureImage, rc);
  } else {
    trace_log(kTraceProgress, "[%s]: Pre-OpenDevice; ComPort[%d];", kTagCaptureImage, com_port);
    rc = com_port <= 0 ? kErrSerialNoComPort : VRFPM_OpenDevice(h, static_cast<uint32_t>(com_port));
    if (rc != VRFPM_OK) {
      trace_log(kTraceProgress, "[%s]: VRFPM_OpenDevice - FAILURE; ret[%d]; COMPort[%d]",
                kTagCaptureImage, rc, com_port);
      return rc;
    }
    trace_log(kTraceProgress, "[%s]: VRFPM_OpenDevice - SUCCESS; ret[%d]; COMPort[%d]",
              kTagCaptureImage, rc, com_port);
  }
  sdk->MarkOpen();
  return VRFPM_OK;
}

// Reads the open reader's description and refuses a reader whose images do
// not fit the record's fixed buffer, before anything is written into it.
int ReadDeviceInfo(VRFPM_HANDLE h, VRFPM_DeviceInfo* info) {
  memset(info, 0, sizeof *info);
  int rc = VRFPM_GetDeviceInfo(h, info);
  trace_log(kTraceProgress, "[%s]: VRFPM_DeviceInfo; ret[%d]; DeviceID[%d]", kTagCaptureImage, rc,
            static_cast<int>(info->device_id));
  if (rc != VRFPM_OK) return rc;
  const uint64_t image_bytes = static_cast<uint64_t>(info->image_width) * info->image_height;
  if (image_bytes == 0 || image_bytes > kImageDataBytes) {
    rc = image_bytes == 0 ? VRFPM_ERR_DEVICE_FAILURE : VRFPM_ERR_IMAGE_TOO_LARGE;
    trace_log(kTraceProgress, "[%s]: image %ux%u does not fit the %zu-byte buffer; return [%d]",
              kTagCaptureImage, info->image_width, info->image_height, kImageDataBytes, rc);
  }
  return rc;
}

// Captures into image until one reaches quality_threshold, and leaves its
// quality in *quality. Each attempt is given what is left of timeout_ms (the
// capture calls' own time counts, the quality measurements do not); once
// that is used up, attempts go on with 0 up to kMaxAttemptsAfterTimeout
// times. The quality of the image that ends the loop is measured once. A
// cancel is seen before each SDK call.
int CaptureUntilQuality(VRFPM_HANDLE h, VRFPM_DeviceInfo* info, int timeout_ms,
                        int quality_threshold, uint64_t display_handle, unsigned char* image,
                        uint32_t* quality, const std::atomic<bool>* cancel,
                        const CaptureObserver* observer) {
  // The reader lights itself while VRFPM_GetImageEx waits for a finger; these
  // two entries mark the loop's start and end, where trace readers expect
  // the light to go on and off.
  trace_log(kTraceProgress, "[%s]: SetLedOn;", kTagCaptureImage);
  int remaining = std::max(timeout_ms, 0);
  int zero_timeout_attempts = 0;
  int rc = VRFPM_OK;
  if (observer != nullptr && observer->finger_needed != nullptr)
    observer->finger_needed(observer->context);
  for (;;) {
    if (CancelRequested(cancel)) return Cancelled();
    const unsigned long long start = PlatformMonotonicMs();
    rc = VRFPM_GetImageEx(h, image, static_cast<uint32_t>(remaining), display_handle,
                          quality_threshold);
    if (rc == VRFPM_ERR_CANCELLED) return Cancelled();
    if (rc != VRFPM_OK) {
      trace_log(kTraceProgress, "[%s] VRFPM_GetImageEx failure, return [%d]", kTagCaptureImage, rc);
      return rc;
    }
    const unsigned long long end = PlatformMonotonicMs();
    // A reader whose images vary in size (libfprint) reports each one's.
    rc = VRFPM_GetImageSize(h, &info->image_width, &info->image_height);
    if (rc != VRFPM_OK) return rc;
    if (observer != nullptr && observer->frame != nullptr)
      observer->frame(observer->context, image, info->image_width, info->image_height);
    if (CancelRequested(cancel)) return Cancelled();
    rc = VRFPM_GetImageQuality(h, info->image_width, info->image_height, image, quality);
    if (rc != VRFPM_OK) {
      trace_log(kTraceProgress, "[%s] VRFPM_GetImageQuality1 failure, return [%d]",
                kTagCaptureImage, rc);
      return rc;
    }
    if (static_cast<long long>(*quality) >= quality_threshold) {
      trace_log(kTraceProgress, "[%s]: if VRFPM_GetImageQuality[%d] >= [%d] then break; ret[%d]",
                kTagCaptureImage, static_cast<int>(*quality), quality_threshold, rc);
      break;
    }
    // A reader that hands back a frame in under a millisecond would never
    // use its time up: every attempt costs at least one.
    const long long spent = std::max(static_cast<long long>(end - start), 1LL);
    const long long left = remaining - spent;
    if (left < 0) {
      trace_log(kTraceProgress, "[%s]: timeout reached", kTagCaptureImage);
      remaining = 0;
    } else {
      remaining = static_cast<int>(left);
    }
    if (remaining == 0) {
      if (zero_timeout_attempts == kMaxAttemptsAfterTimeout) {
        rc = VRFPM_ERR_TIMEOUT;
        trace_log(kTraceProgress, "[%s]: quality[%d] below [%d] after the time-out; return [%d]",
                  kTagCaptureImage, static_cast<int>(*quality), quality_threshold, rc);
        return rc;
      }
      ++zero_timeout_attempts;
    }
  }
  trace_log(kTraceProgress, "[%s]: SetLedOff;", kTagCaptureImage);
  // The quality of the final image is the one that ended the loop; reading
  // it again from the SDK would measure the same bytes twice.
  trace_log(kTraceProgress, "[%s]: VRFPM_GetImageQuality[%d]; ret[%d];", kTagCaptureImage,
            static_cast<int>(*quality), rc);
  return VRFPM_OK;
}

// Encodes the captured image as WSQ into a heap copy owned by the record. The
// previous capture's block is replaced either way: by the new file, or by
// nothing when this encoding failed (wsq_size 0).
int EncodeWsq(VRFPM_HANDLE h, const VRFPM_DeviceInfo& info, float bit_rate, CaptureResult* result) {
  unsigned char* wsq = nullptr;  // the SDK's block
  int rc =
      VRFPM_EncodeWSQ(h, &wsq, &result->wsq_size, bit_rate, result->image_data, info.image_width,
                      info.image_height, kBitsPerPixel, info.image_dpi, kWsqComment);
  unsigned char* copy = nullptr;
  if (rc == VRFPM_OK) {
    size_t size = result->wsq_size > 0 ? static_cast<size_t>(result->wsq_size) : 0;
    copy = static_cast<unsigned char*>(malloc(size > 0 ? size : 1));
    if (copy == nullptr) {
      rc = VRFPM_ERR_OUT_OF_MEMORY;
    } else if (size > 0) {
      memcpy(copy, wsq, size);
    }
  }
  if (wsq != nullptr) VRFPM_FreeWSQ(h, wsq);
  free(result->wsq_data);
  result->wsq_data = copy;
  if (rc != VRFPM_OK) {
    trace_log(kTraceProgress, "[%s] VRFPM_EncodeWSQ failure, return [%d]", kTagCaptureImage, rc);
    result->wsq_size = 0;
  }
  return rc;
}

// Creates the template of the image in the requested format (kTemplateFormat*
// sets it; any other value keeps the SDK's default) into template_data, and
// its size into *template_size.
int MakeTemplate(VRFPM_HANDLE h, int finger_position, uint32_t quality, int template_format,
                 const unsigned char* image, unsigned char* template_data,
                 uint32_t* template_size) {
  int rc = VRFPM_OK;
  if (template_format == kTemplateFormatIso || template_format == kTemplateFormatAnsi) {
    rc = VRFPM_SetTemplateFormat(
        h, template_format == kTemplateFormatIso ? VRFPM_FORMAT_ISO : VRFPM_FORMAT_ANSI);
    // Going on would hand the page a template in a format it did not ask for.
    if (rc != VRFPM_OK) {
      trace_log(kTraceProgress, "[%s] VRFPM_SetTemplateFormat failure, return [%d]",
                kTagCaptureImage, rc);
      return rc;
    }
  }

  FingerInfo finger;
  finger.finger_number = static_cast<uint16_t>(finger_position);
  finger.view_number = 0;
  finger.impression_type = 0;
  finger.image_quality = static_cast<uint16_t>(quality);
  rc = VRFPM_CreateTemplate(h, &finger, image, template_data);
  if (rc != VRFPM_OK) return rc;

  rc = VRFPM_GetTemplateSize(h, template_data, template_size);
  if (rc != VRFPM_OK) {
    trace_log(kTraceProgress, "[%s] VRFPM_GetTemplateSize failure, return [%d]", kTagCaptureImage,
              rc);
    return rc;
  }
  trace_log(kTraceProgress, "[%s]: VRFPM_GetTemplateSize ret[%d]; TemplateSize[%d]",
            kTagCaptureImage, rc, static_cast<int>(*template_size));
  if (*template_size > kTemplateDataBytes) {
    rc = VRFPM_ERR_TEMPLATE_TOO_LARGE;
    trace_log(kTraceProgress, "[%s]: template larger than %zu bytes; return [%d]", kTagCaptureImage,
              kTemplateDataBytes, rc);
  }
  return rc;
}

// The record's description of a successful capture.
void FillRecord(CaptureResult* result, uint32_t device_code, const VRFPM_DeviceInfo& info,
                uint32_t quality, uint32_t template_size) {
  result->manufacturer = kReaderManufacturer;
  if (const char* model = ReaderModelName(device_code)) {
    memset(result->model, 0, sizeof result->model);
    memcpy(result->model, model, strlen(model));
  }
  memset(result->serial_number, 0, sizeof result->serial_number);
  memcpy(result->serial_number, info.serial, sizeof info.serial);
  result->image_width = info.image_width;
  result->image_height = info.image_height;
  result->image_dpi = info.image_dpi;
  result->template_size = template_size;
  result->image_quality = quality;
}

}  // namespace

const char* ReaderModelName(uint32_t device_code) {
  switch (device_code) {
    case VRFPM_DEVICE_NX51:
      return "NX51";
    case VRFPM_DEVICE_TRV08:
      return "TRV08";
    case VRFPM_DEVICE_KLM06X:
      return "KLM06X";
    case VRFPM_DEVICE_LIBFPRINT:
      return "LIBFPRINT";
    default:
      return nullptr;
  }
}

void ReleaseCaptureResult(CaptureResult* result) {
  if (result == nullptr) return;
  free(result->wsq_data);
  result->wsq_data = nullptr;
  result->wsq_size = 0;
}

int GetDeviceIdFromName(const char* name) {
  SdkSession sdk;
  int rc = sdk.Create();
  if (rc != VRFPM_OK) {
    trace_log(kTraceProgress, "[%s] VRFPM_Create failure; rval[%d]", kTagDeviceId, rc);
    return rc;
  }
  trace_log(kTraceProgress, "[%s] VRFPM_EnumerateDevice, dname[%s]", kTagDeviceId,
            name != nullptr ? name : "");
  uint32_t count = 0;
  VRFPM_DeviceListEntry* list = nullptr;  // the SDK's; not freed here
  rc = VRFPM_EnumerateDevice(sdk.get(), &count, &list);
  if (rc != VRFPM_OK) {
    trace_log(kTraceProgress, "[%s] VRFPM_EnumerateDevice failure; rval[%d]", kTagDeviceId, rc);
    return rc;
  }
  if (count == 0 || list == nullptr) return NO_USB_DEVICE;
  int device = static_cast<int>(list[0].device_name);
  sdk.Release();
  trace_log(kTraceProgress, "[%s] Leaving; device_name[%d]", kTagDeviceId, device);
  return device;
}

int ComputeNFIQ(const unsigned char* image, int width, int height, int dpi) {
  int nfiq = 0;
  float confidence = 0.0f;  // not used by the service
  int flags = 0;
  int rc = NFIQ_ComputeNfiq(&nfiq, &confidence, image, width, height, kBitsPerPixel, dpi, &flags);
  return rc == 0 ? nfiq : -1;
}

int BCCaptureImage(uint32_t device_code, int com_port, int finger_position, int timeout_ms,
                   int quality_threshold, int template_format, int fake_detection_level,
                   uint64_t display_handle, CaptureResult* result, const float& wsq_bit_rate,
                   const std::atomic<bool>* cancel, const CaptureObserver* observer) {
  const float bit_rate = wsq_bit_rate;
  trace_log(kTraceProgress,
            "[%s]: device_name[%d]; fpos[%d]; timeout[%d]; quality[%d]; t_format[%d]; "
            "fakedetection[%d]; WSQRate[%4.2f];",
            kTagCaptureImage, static_cast<int>(device_code), finger_position, timeout_ms,
            quality_threshold, template_format, fake_detection_level,
            static_cast<double>(bit_rate));
  if (result == nullptr) return VRFPM_ERR_INVALID_ARGUMENT;

  SdkSession sdk;
  int rc = sdk.Create();
  trace_log(kTraceProgress, "[%s]: VRFPM_Create; ret[%d];", kTagCaptureImage, rc);
  if (rc != VRFPM_OK) return rc;
  if (CancelRequested(cancel)) return Cancelled();
  rc = OpenReader(&sdk, device_code, com_port);
  if (rc != VRFPM_OK) return rc;
  VRFPM_HANDLE h = sdk.get();

  VRFPM_DeviceInfo info;
  if (CancelRequested(cancel)) return Cancelled();
  rc = ReadDeviceInfo(h, &info);
  if (rc != VRFPM_OK) return rc;
  if (fake_detection_level > 0) {
    if (CancelRequested(cancel)) return Cancelled();
    rc = SetFakeDetection(h, fake_detection_level);
    if (rc != 0) return rc;
  }

  uint32_t quality = 0;
  if (cancel != nullptr) {
    rc = VRFPM_SetAbortCheck(h, CancelFlagSet, const_cast<void*>(static_cast<const void*>(cancel)));
    if (rc != VRFPM_OK) return rc;
  }
  if (observer != nullptr) {
    rc = VRFPM_SetCaptureSink(h, ToObserver, const_cast<CaptureObserver*>(observer));
    if (rc != VRFPM_OK) return rc;
  }
  rc = CaptureUntilQuality(h, &info, timeout_ms, quality_threshold, display_handle,
                           result->image_data, &quality, cancel, observer);
  if (rc != VRFPM_OK) return rc;

  if (CancelRequested(cancel)) return Cancelled();
  result->nfiq = ComputeNFIQ(result->image_data, static_cast<int>(info.image_width),
                             static_cast<int>(info.image_height), static_cast<int>(info.image_dpi));
  if (bit_rate != 0.0f) {  // a NaN is not 0.0 either
    if (CancelRequested(cancel)) return Cancelled();
    rc = EncodeWsq(h, info, bit_rate, result);
    if (rc != VRFPM_OK) return rc;
  }

  uint32_t template_size = 0;
  if (CancelRequested(cancel)) return Cancelled();
  rc = MakeTemplate(h, finger_position, quality, template_format, result->image_data,
                    result->template_data, &template_size);
  if (rc != VRFPM_OK) return rc;

  FillRecord(result, device_code, info, quality, template_size);
  sdk.Release();
  trace_log(kTraceProgress, "[%s] Leaving, return 0", kTagCaptureImage);
  return 0;
}

int BCGetMatchingScore(uint32_t device_code, int template_format, const unsigned char* template1,
                       const unsigned char* template2, uint32_t* score) {
  trace_log(kTraceProgress, "[%s]: device_name[%d]; temp_format[%d];", kTagMatchingScore,
            static_cast<int>(device_code), template_format);
  SdkSession sdk;
  int rc = sdk.Create();
  if (rc != VRFPM_OK) {
    trace_log(kTraceProgress, "[%s]: VRFPM_Create failure; ret[%d];", kTagMatchingScore, rc);
    return rc;
  }
  VRFPM_HANDLE h = sdk.get();
  rc = VRFPM_Init(
      h, device_code == static_cast<uint32_t>(NO_USB_DEVICE) ? kSerialDeviceCode : device_code);
  if (rc != VRFPM_OK) {
    trace_log(kTraceProgress, "[%s]: VRFPM_Init failure; ret[%d];", kTagMatchingScore, rc);
    return rc;
  }
  rc = VRFPM_SetTemplateFormat(
      h, template_format == kTemplateFormatAnsi ? VRFPM_FORMAT_ANSI : VRFPM_FORMAT_ISO);
  // Reading the records in another format than asked would give a wrong score.
  if (rc != VRFPM_OK) {
    trace_log(kTraceProgress, "[%s]: VRFPM_SetTemplateFormat failure; ret[%d];", kTagMatchingScore,
              rc);
    return rc;
  }
  uint32_t value = 0;
  rc = VRFPM_GetMatchingScore(h, template1, template2, &value);
  if (rc != VRFPM_OK) {
    trace_log(kTraceProgress, "[%s]: VRFPM_MatchingScore failure; ret[%d];", kTagMatchingScore, rc);
    return rc;
  }
  if (score != nullptr) *score = value;
  sdk.Release();
  trace_log(kTraceProgress, "[%s]: Leaving, score[%d], return 0", kTagMatchingScore,
            static_cast<int>(value));
  return 0;
}

int ValidateMatchTemplate(int template_format, const unsigned char* data, size_t len) {
  return ValidateTemplateRecord(
      data, len, template_format == kTemplateFormatAnsi ? VRFPM_FORMAT_ANSI : VRFPM_FORMAT_ISO);
}
