#include "api/capture_endpoint.h"

#include <cstdint>
#include <memory>
#include <span>

#include "api/api_error_codes.h"
#include "api/bmp_image.h"
#include "api/endpoints.h"
#include "api/json_reply.h"
#include "api/reply_writer.h"
#include "api/request_access.h"
#include "api/request_params.h"
#include "api/session_keys.h"
#include "base/trace_log.h"
#include "base/trace_tags.h"
#include "codec/aes256.h"
#include "device/fingerprint_device.h"
#include "platform/heap_owner.h"
#include "sdk/vrfplib.h"

namespace {

struct SessionKeyFree {
  void operator()(unsigned char* p) const { FreeSessionKey(p); }
};

// The last capture; its data stays until the next capture replaces it.
CaptureResult g_capture_result;

// The template as the reply carries it: the ciphertext under the session key
// (held by *ciphertext), or the record's own bytes. Returns 0, or
// kErrorOutOfMemory when the ciphertext cannot be allocated.
int ReplyTemplate(const CaptureResult* r, const unsigned char* session_key, HeapBytes* ciphertext,
                  std::span<const unsigned char>* out) {
  const int template_size = static_cast<int>(r->template_size);
  *out = std::span<const unsigned char>(r->template_data, r->template_size);
  if (session_key == nullptr) {
    trace_log(kTraceProgress, "[%s]: No Session Key passed", kTagNoSessionKey);
    trace_log(kTraceProgress, "[%s]: Template Length %d Pointer %p", kTagTemplateLength,
              template_size, static_cast<const void*>(r->template_data));
    return 0;
  }
  trace_log(kTraceProgress, "[%s]: Session Key passed", kTagSessionKeyPassed);
  int ciphertext_len = 0;
  ciphertext->reset(EncryptAES256(r->template_data, template_size, session_key, &ciphertext_len));
  if (!*ciphertext) return kErrorOutOfMemory;
  // The cipher writes no trace itself; this line keeps its name, as the trace
  // has always shown it.
  trace_log(kTraceEverything, "[%s]: In Len[%d]; Output Length [%d]", kTagEncrypt, template_size,
            ciphertext_len);
  *out = std::span<const unsigned char>(ciphertext->get(), static_cast<size_t>(ciphertext_len));
  return 0;
}

}  // namespace

int BuildCaptureJson(const CaptureResult* r, const CaptureReplyOptions* o, JsonReply* reply) {
  const uint64_t pixels = static_cast<uint64_t>(r->image_width) * r->image_height;
  if (pixels > sizeof r->image_data) return VRFPM_ERR_IMAGE_TOO_LARGE;
  if (r->template_size > sizeof r->template_data) return VRFPM_ERR_TEMPLATE_TOO_LARGE;

  HeapBytes ciphertext;
  std::span<const unsigned char> reply_template;
  if (ReplyTemplate(r, o->session_key, &ciphertext, &reply_template) != 0) return kErrorOutOfMemory;

  JsonBegin(reply, 0, JsonCodeComma::kSpaced);
  trace_log(kTraceProgress, "[%s]: Data %s %s %d %d %d %d %d", kTagCaptureData, o->model,
            r->serial_number, static_cast<int>(r->image_width), static_cast<int>(r->image_height),
            static_cast<int>(r->image_dpi), static_cast<int>(r->image_quality), r->nfiq);
  JsonString(reply, "Manufacturer", kReaderManufacturer);
  JsonString(reply, "Model", o->model);
  JsonString(reply, "SerialNumber", r->serial_number);
  JsonNumber(reply, "ImageWidth", static_cast<int>(r->image_width));
  JsonNumber(reply, "ImageHeight", static_cast<int>(r->image_height));
  JsonNumber(reply, "ImageDPI", static_cast<int>(r->image_dpi));
  JsonNumber(reply, "ImageQuality", static_cast<int>(r->image_quality));
  JsonNumber(reply, "NFIQ", r->nfiq);
  if (o->raw_image) {
    trace_log(kTraceProgress, "[%s]: %s\n", kTagRawImage, "IMAGE DATA REQUIRED");
    JsonBase64(reply, "ImageDataBase64", std::span<const unsigned char>(r->image_data, pixels));
  } else {
    // Written only without the raw image: the trace has always shown one of
    // these two entries per capture, and readers tell the options by them.
    JsonNull(reply, "ImageDataBase64");
    trace_log(kTraceProgress, "[%s]: BMP Creation", kTagBmpCreation);
  }
  int bmp_size = 0;
  HeapBytes bmp(CreateBMPImage(r->image_data, r->image_width, r->image_height, &bmp_size));
  if (!bmp) return kErrorOutOfMemory;
  JsonBase64(reply, "BMPBase64",
             std::span<const unsigned char>(bmp.get(), static_cast<size_t>(bmp_size)));
  trace_log(kTraceProgress, "[%s]: BMP DATA", kTagBmpData);
  if (o->wsq_rate != 0.0f) {
    const int wsq_size = (r->wsq_data && r->wsq_size > 0) ? r->wsq_size : 0;
    trace_log(kTraceProgress, "[%s]: ImageWSQRate[%f]; ImageSize[%d];", kTagWsqImage,
              static_cast<double>(o->wsq_rate), wsq_size);
    JsonBase64(reply, "WSQImage",
               std::span<const unsigned char>(r->wsq_data, static_cast<size_t>(wsq_size)));
    JsonNumber(reply, "WSQImageSize", wsq_size);
  }
  if (o->template_format == kTemplateFormatIso)
    JsonBase64(reply, "ISOTemplateBase64", reply_template);
  JsonBase64(reply, "TemplateBase64", reply_template);
  JsonEnd(reply);
  if (reply->failed) return kErrorOutOfMemory;
  trace_log(kTraceProgress, "[%s]: template done", kTagTemplateDone);
  return 0;
}

void HandleCapture(ns_conn* nc, http_message* hm, const ApiContext* api) {
  if (CheckHostHeader(nc, hm) != 0) return;
  TraceRequestOrigin(hm);
  if (api->biometric_request_seen != nullptr) api->biometric_request_seen();

  const int timeout = GetTimeoutParam(hm);
  const int quality = GetQualityParam(hm);
  const int template_format = GetTemplateFormatParam(hm);
  const int fake_detection = GetFakeDetectionParam(hm);
  const float wsq_rate = GetImageWSQRateParam(hm);
  int session_key_len = 0;
  std::unique_ptr<unsigned char, SessionKeyFree> session_key(GetSessionKey(hm, &session_key_len));
  const bool raw_image = GetRawImageDataParam(hm);

  // A page that sent a key asked for an encrypted template: never fall back to
  // the clear, and refuse before anyone is asked to place a finger.
  if (session_key_len < 0) {
    trace_log(kTraceProgress, "[%s]: Session key cannot be used; capture refused",
              kTagCaptureRefused);
    SendErrorCodeReply(nc, kErrorSessionKeyRefused);
    return;
  }

  const int device = GetDeviceIdFromName(api->device_name);
  const int rc = BCCaptureImage(static_cast<uint32_t>(device), api->com_port, 0, timeout, quality,
                                template_format, fake_detection, 0, &g_capture_result, wsq_rate);
  if (rc != 0) {
    SendErrorCodeReply(nc, rc);
    return;
  }

  const CaptureReplyOptions options = {api->device_name, raw_image, wsq_rate, template_format,
                                       session_key.get()};
  JsonReply reply;
  const int built = BuildCaptureJson(&g_capture_result, &options, &reply);
  if (built != 0) {
    trace_log(kTraceProgress, "[%s]: reply not built, ErrorCode %d", kTagReplyNotBuilt, built);
    SendErrorCodeReply(nc, built);
    return;
  }
  SendJsonReply(nc, JsonText(&reply));
  trace_log(kTraceProgress, "[%s]: Headers sent", kTagHeadersSent);
}
