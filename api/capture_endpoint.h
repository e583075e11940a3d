// The capture endpoint ("/VRNFPCapture", "/ZAROZuzoder"): captures one
// fingerprint through the device layer and answers with the reader's
// description, the image (raw, BMP, optionally WSQ) and the template,
// encrypted under the page's session key when it sent one. The capture record
// is process-wide and used only on the service thread.
#pragma once

#include <cstddef>

struct CaptureResult;

// What the reply shows besides the capture record.
struct CaptureReplyOptions {
  const char* model;                // reader name shown as "Model" (the -d: setting)
  int raw_image;                    // 1: "ImageDataBase64" carries the raw image
  float wsq_rate;                   // not 0.0: "WSQImage" and "WSQImageSize" are present
  int template_format;              // 1 ISO: also "ISOTemplateBase64"
  const unsigned char* session_key; // 32-byte AES-256 key, or null for a plain template
};

// Builds the one-line JSON text of a successful capture into *json (a new
// heap string the caller frees). Returns 0, or a non-zero "ErrorCode" with
// *json null: kErrorOutOfMemory when any block (BMP, Base64 text, template
// copy, ciphertext, JSON) cannot be allocated, or the SDK's size codes when the
// record holds more image or template bytes than its buffers can.
[[nodiscard]] int BuildCaptureJson(const CaptureResult* result, const CaptureReplyOptions* options,
                                   char** json);

// Writes text into out (capacity bytes, NUL included) as the inside of a JSON
// string: quote, backslash and control characters escaped. Longer text is cut
// at a character boundary. Returns out.
char* JsonEscapeText(const char* text, char* out, size_t capacity);
