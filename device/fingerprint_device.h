// The fingerprint device layer: reader selection, the capture procedure and
// template matching over the reader SDK (sdk/vrfplib.h). Every operation
// creates, uses and releases its own SDK object; nothing of the SDK survives a
// call. In the service these run on the device thread (device_thread.h), one
// call at a time; ReaderModelName and ValidateMatchTemplate touch no SDK and
// run anywhere. Trace entries are written at kTraceProgress. Results are 0,
// an SDK code passed on unchanged (see docs/sdk-error-codes.md), or one of
// the device layer's own codes below; they reach the page as its "ErrorCode"
// (all but kErrCaptureCancelled) and are [[nodiscard]].
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <atomic>

#include "sdk/vrfplib.h"

inline constexpr int NO_USB_DEVICE = 10004;  // the SDK enumerated no USB reader
inline constexpr uint32_t kSerialDeviceCode = VRFPM_DEVICE_SERIAL;  // Init code used instead
inline constexpr int kErrSerialNoComPort = 55;           // serial reader but no COM port configured
inline constexpr int kErrFakeDetectionUnavailable = 63;  // fake detection asked for, not possible
// The caller cancelled the capture. Only the canceller sees it: a capture is
// cancelled when the page that asked for it has gone.
inline constexpr int kErrCaptureCancelled = -1;

// Template formats as the API and the device layer name them (not the SDK's
// format codes).
inline constexpr int kTemplateFormatIso = 1;
inline constexpr int kTemplateFormatAnsi = 2;

inline constexpr char kReaderManufacturer[] = "Kestrav";  // CaptureResult::manufacturer

inline constexpr size_t kModelBytes = 10;
inline constexpr size_t kSerialNumberBytes = 22;
inline constexpr size_t kImageDataBytes = 350000;
inline constexpr size_t kTemplateDataBytes = VRFPM_TEMPLATE_BYTES;  // 1600

// Once the time-out is used up, attempts go on with a time-out of 0; this
// bounds them so that a finger resting on the glass with too low a quality
// cannot hold the service thread for ever. The result is then
// VRFPM_ERR_TIMEOUT.
inline constexpr int kMaxAttemptsAfterTimeout = 20;

// What one capture produces. Owned by the caller (the capture endpoint keeps
// one for the process). wsq_data is a malloc'd block owned by the record: a
// capture that encodes WSQ frees the previous block before storing its own;
// ReleaseCaptureResult frees it. A failed call may leave the record partly
// written (the last image, nfiq, wsq_size).
struct CaptureResult {
  const char* manufacturer;  // always "Kestrav"
  char model[kModelBytes];   // "NX51", "TRV08", "KLM06X", "LIBFPRINT"; unchanged for other codes
  char serial_number[kSerialNumberBytes];  // 16 serial bytes, then zeros
  uint32_t image_width;
  uint32_t image_height;
  uint32_t image_dpi;
  uint32_t image_quality;                           // final image, 0..100
  int32_t nfiq;                                     // 1..5, -1 when grading failed
  unsigned char image_data[kImageDataBytes];        // image_width * image_height bytes used
  unsigned char template_data[kTemplateDataBytes];  // template_size bytes used
  uint32_t template_size;
  unsigned char* wsq_data;  // set only when a WSQ bit rate was asked for
  int32_t wsq_size;         // 0 after a failed encoding
};

// Told what a capture sees while it runs, for live previews. Every callback
// runs on the capturing thread, inside BCCaptureImage, and must return
// quickly; image views are valid only during the call. Any callback may be
// null.
struct CaptureObserver {
  void* context;  // handed back to every callback
  // The reader is about to wait for a finger (once per capture).
  void (*finger_needed)(void* context);
  // An image the reader delivered: while the finger is placed, and each
  // attempt of the quality loop. width x height grey bytes, top row first.
  void (*frame)(void* context, const unsigned char* image, uint32_t width, uint32_t height);
  // The reader reports a finger put on (true) or lifted (false), where it can.
  void (*finger_present)(void* context, bool present);
};

// Given to template creation: finger position, view 0, impression type 0,
// final quality.
using FingerInfo = VRFPM_FingerInfo;

// The model name of a reader's device-name code: "NX51", "TRV08", "KLM06X"
// or "LIBFPRINT" (any reader libfprint drives), or null for any other code. The one table of these
// names: the capture record's "model" and the reader list use it.
const char* ReaderModelName(uint32_t device_code);

// Frees wsq_data and clears wsq_data and wsq_size.
void ReleaseCaptureResult(CaptureResult* result);

// Device-name code of the first USB reader the SDK enumerates, NO_USB_DEVICE
// when there is none, or the SDK's code when creation or enumeration fails.
// name (the configured model) is only traced.
[[nodiscard]] int GetDeviceIdFromName(const char* name);

// Opens the reader (device_code from GetDeviceIdFromName; NO_USB_DEVICE means
// the serial reader on com_port, where 0 or less means none is configured),
// optionally sets fake detection, captures until the quality reaches
// quality_threshold or the time runs out, grades the image, encodes WSQ when
// wsq_bit_rate is not 0.0, and creates a template (kTemplateFormatIso,
// kTemplateFormatAnsi; others keep the SDK's default, ISO). Returns 0, an SDK
// code, kErrSerialNoComPort or kErrFakeDetectionUnavailable.
// cancel (may be null) is read before every SDK call after the SDK object is
// made: once another thread has set it, the capture closes the reader,
// releases the object and returns kErrCaptureCancelled. It also reaches a
// call waiting for a finger (the SDK's abort check), which ends within
// VRFPM_ABORT_POLL_MS. observer (may be null) is told of the wait for a
// finger and of every image the reader delivers.
[[nodiscard]] int BCCaptureImage(uint32_t device_code, int com_port, int finger_position,
                                 int timeout_ms, int quality_threshold, int template_format,
                                 int fake_detection_level, uint64_t display_handle,
                                 CaptureResult* result, const float& wsq_bit_rate,
                                 const std::atomic<bool>* cancel = nullptr,
                                 const CaptureObserver* observer = nullptr);

// NFIQ value 1..5 of an 8-bit image, or -1 when the NFIQ library fails.
[[nodiscard]] int ComputeNFIQ(const unsigned char* image, int width, int height, int dpi);

// Score of two templates (kTemplateFormatAnsi, anything else ISO) into
// *score, valid when the result is 0. Each template must hold the bytes its
// header declares: check templates from outside with ValidateMatchTemplate
// first. The score is the SDK's (sdk/minutiae_matcher.h).
[[nodiscard]] int BCGetMatchingScore(uint32_t device_code, int template_format,
                                     const unsigned char* template1, const unsigned char* template2,
                                     uint32_t* score);

// For the match endpoint: 0 when len bytes hold a well-formed record of the
// format BCGetMatchingScore will read it as (kTemplateFormatAnsi, else ISO), whose
// declared length is at most len; otherwise VRFPM_ERR_BAD_TEMPLATE.
[[nodiscard]] int ValidateMatchTemplate(int template_format, const unsigned char* data, size_t len);
