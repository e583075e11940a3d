// The capture endpoint ("/VRNFPCapture", "/ZAROZuzoder"): captures one
// fingerprint through the device layer and answers with the reader's
// description, the image (raw, BMP, optionally WSQ) and the template,
// encrypted under the page's session key when it sent one. The loop reads the
// parameters and unwraps the session key (the key pair is the loop's alone);
// the device thread captures into a record of its own, made and freed for
// that capture, and builds the JSON text; the loop writes it.
//
// The /events socket runs the same capture: it reads the same parameters
// (ReadCaptureParams) and builds the same reply (RunCaptureJson).
#pragma once

#include <atomic>

#include "api/json_reply.h"
#include "api/request_params.h"
#include "api/session_keys.h"
#include "net/http_parser.h"

struct CaptureResult;
struct CaptureObserver;

// A capture's parameters as the page sent them, the session key unwrapped.
struct CaptureParams {
  const char* device_name = nullptr;  // the -d: setting, shown as "Model"
  int com_port = 0;
  int timeout = 0;
  int quality = 0;
  int template_format = 0;
  int fake_detection = 0;
  float wsq_rate = 0.0f;
  bool raw_image = false;
  bool encrypt = false;
  bool choose_reader = false;  // "readerSerial" was sent
  char reader_serial[kReaderSerialParamBytes] = {};
  unsigned char session_key[kSessionKeyBytes] = {};  // valid when encrypt; cleansed by the owner
};

// Loop thread (the key pair is the loop's): reads the capture form of hm
// into *out (device_name and com_port are left alone). Returns 0;
// kErrorReaderNotAttached when "readerSerial" is too long for any serial; or
// kErrorSessionKeyRefused when a session key was sent but cannot be used:
// a page that asked for an encrypted template is never sent one in the clear.
[[nodiscard]] int ReadCaptureParams(const http_message* hm, CaptureParams* out);

// Device thread: captures with params (cancel and observer as
// BCCaptureImage takes them; both may be null) and builds the reply into
// *json (a fresh builder). Returns 0, or the "ErrorCode" (the device
// layer's, the SDK's, kErrorOutOfMemory; kErrCaptureCancelled when cancel
// was set).
[[nodiscard]] int RunCaptureJson(const CaptureParams& params, const std::atomic<bool>* cancel,
                                 const CaptureObserver* observer, JsonReply* json);

// What the reply shows besides the capture record.
struct CaptureReplyOptions {
  const char* model;                 // reader name shown as "Model" (the -d: setting)
  bool raw_image;                    // "ImageDataBase64" carries the raw image
  float wsq_rate;                    // not 0.0: "WSQImage" and "WSQImageSize" are present
  int template_format;               // kTemplateFormatIso: also "ISOTemplateBase64"
  const unsigned char* session_key;  // 32-byte AES-256 key, or null for a plain template
};

// Builds the one-line JSON text of a successful capture into *reply (a fresh
// builder). Returns 0, or a non-zero "ErrorCode" with the builder's text to be
// dropped: kErrorOutOfMemory when any block (BMP, ciphertext, JSON) cannot be
// allocated, or the SDK's size codes when the record holds more image or
// template bytes than its buffers can.
[[nodiscard]] int BuildCaptureJson(const CaptureResult* result, const CaptureReplyOptions* options,
                                   JsonReply* reply);
