// The capture endpoint ("/VRNFPCapture", "/ZAROZuzoder"): captures one
// fingerprint through the device layer and answers with the reader's
// description, the image (raw, BMP, optionally WSQ) and the template,
// encrypted under the page's session key when it sent one. The loop reads the
// parameters and unwraps the session key (the key pair is the loop's alone);
// the device thread captures into a record of its own, made and freed for
// that capture, and builds the JSON text; the loop writes it.
#pragma once

#include "api/json_reply.h"

struct CaptureResult;

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
