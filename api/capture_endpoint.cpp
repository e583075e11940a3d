#include "api/capture_endpoint.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "api/api_error_codes.h"
#include "api/bmp_image.h"
#include "api/endpoints.h"
#include "api/request_params.h"
#include "api/router.h"
#include "api/session_keys.h"
#include "base/trace_log.h"
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

constexpr size_t kEscapedFieldBytes = 128;  // model and serial after JSON escaping

// Appends the Base64 text of count bytes as one formatted piece.
bool AppendBase64(char** json, const char* format, const unsigned char* data, int count) {
  HeapText b64(Base64EncodeAlloc(data, count));
  return b64 && AppendFormat(json, format, b64.get()) >= 0;
}

}  // namespace

char* JsonEscapeText(const char* text, char* out, size_t capacity) {
  size_t j = 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
    char piece[8];
    if (*p == '"' || *p == '\\') {
      snprintf(piece, sizeof piece, "\\%c", *p);
    } else if (*p < 0x20 || *p == 0x7F) {
      snprintf(piece, sizeof piece, "\\u%04x", *p);
    } else {
      piece[0] = static_cast<char>(*p);
      piece[1] = '\0';
    }
    size_t n = strlen(piece);
    if (j + n + 1 > capacity) break;
    memcpy(out + j, piece, n);
    j += n;
  }
  out[j] = '\0';
  return out;
}

int BuildCaptureJson(const CaptureResult* r, const CaptureReplyOptions* o, char** json) {
  *json = nullptr;
  const uint64_t pixels = static_cast<uint64_t>(r->image_width) * r->image_height;
  if (pixels > sizeof r->image_data) return VRFPM_ERR_IMAGE_TOO_LARGE;
  if (r->template_size > sizeof r->template_data) return VRFPM_ERR_TEMPLATE_TOO_LARGE;
  const int template_size = static_cast<int>(r->template_size);

  // The reply template: ciphertext under the session key, or a plain copy.
  HeapBytes reply_template;
  int reply_template_len = 0;
  if (o->session_key) {
    trace_log(1, "[%s]: Session Key passed", "ravavade:408");
    reply_template.reset(EncryptAES256(r->template_data, template_size, o->session_key, &reply_template_len));
    // The cipher writes no trace itself; this line keeps its name, as the
    // trace has always shown it.
    if (reply_template) {
      trace_log(99, "[%s]: In Len[%d]; Output Length [%d]", "EncryptAES256", template_size,
                reply_template_len);
    }
  } else {
    trace_log(1, "[%s]: No Session Key passed", "ravavade:413");
    reply_template.reset(static_cast<unsigned char*>(malloc(template_size > 0 ? template_size : 1)));
    if (reply_template) {
      memcpy(reply_template.get(), r->template_data, r->template_size);
      reply_template_len = template_size;
      trace_log(1, "[%s]: Template Length %d Pointer %p", "ravavade:418", reply_template_len,
                static_cast<void*>(reply_template.get()));
    }
  }
  if (!reply_template) return kErrorOutOfMemory;

  char model[kEscapedFieldBytes], serial[kEscapedFieldBytes];
  JsonEscapeText(o->model, model, sizeof model);
  JsonEscapeText(r->serial_number, serial, sizeof serial);

  char* text = nullptr;
  bool ok = AppendFormat(&text, "{ \"ErrorCode\": %d ,", 0) >= 0;
  trace_log(1, "[%s]: Data %s %s %d %d %d %d %d", "ravavade:433", o->model, r->serial_number,
            static_cast<int>(r->image_width), static_cast<int>(r->image_height),
            static_cast<int>(r->image_dpi), static_cast<int>(r->image_quality), r->nfiq);
  ok = ok && AppendFormat(&text, " \"Manufacturer\": \"Kestrav\",") >= 0;
  ok = ok && AppendFormat(&text, " \"Model\": \"%s\",", model) >= 0;
  ok = ok && AppendFormat(&text, " \"SerialNumber\": \"%s\",", serial) >= 0;
  ok = ok && AppendFormat(&text, " \"ImageWidth\": %d,", static_cast<int>(r->image_width)) >= 0;
  ok = ok && AppendFormat(&text, " \"ImageHeight\": %d,", static_cast<int>(r->image_height)) >= 0;
  ok = ok && AppendFormat(&text, " \"ImageDPI\": %d,", static_cast<int>(r->image_dpi)) >= 0;
  ok = ok && AppendFormat(&text, " \"ImageQuality\": %d,", static_cast<int>(r->image_quality)) >= 0;
  ok = ok && AppendFormat(&text, " \"NFIQ\": %d,", r->nfiq) >= 0;
  if (ok && o->raw_image) {
    trace_log(1, "[%s]: %s\n", "ravavade:452", "IMAGE DATA REQUIRED");
    ok = AppendBase64(&text, " \"ImageDataBase64\": \"%s\",", r->image_data, static_cast<int>(pixels));
  } else if (ok) {
    ok = AppendFormat(&text, " \"ImageDataBase64\": null,") >= 0;
    trace_log(1, "[%s]: BMP Creation", "ravavade:460");
  }
  if (ok) {
    int bmp_size = 0;
    HeapBytes bmp(CreateBMPImage(r->image_data, r->image_width, r->image_height, &bmp_size));
    ok = bmp && AppendBase64(&text, " \"BMPBase64\": \"%s\",", bmp.get(), bmp_size);
  }
  if (ok && o->wsq_rate != 0.0f) {
    int wsq_size = (r->wsq_data && r->wsq_size > 0) ? r->wsq_size : 0;
    trace_log(1, "[%s]: ImageWSQRate[%f]; ImageSize[%d];", "ravavade:468", static_cast<double>(o->wsq_rate),
              wsq_size);
    ok = AppendBase64(&text, " \"WSQImage\": \"%s\",", r->wsq_data, wsq_size) &&
         AppendFormat(&text, " \"WSQImageSize\": %d,", wsq_size) >= 0;
  }
  if (ok) {
    trace_log(1, "[%s]: BMP DATA", "ravavade:478");
    HeapText b64(Base64EncodeAlloc(reply_template.get(), reply_template_len));
    ok = b64 != nullptr;
    if (ok && o->template_format == kTemplateFormatIso) {
      ok = AppendFormat(&text, " \"ISOTemplateBase64\": \"%s\",", b64.get()) >= 0;
    }
    ok = ok && AppendFormat(&text, " \"TemplateBase64\": \"%s\" }", b64.get()) >= 0;
  }
  if (!ok) {
    free(text);
    return kErrorOutOfMemory;
  }
  trace_log(1, "[%s]: template done", "ravavade:488");
  *json = text;
  return 0;
}

void HandleCapture(ns_conn* nc, http_message* hm, const ApiContext* api) {
  if (!CheckHostHeader(nc, hm)) return;
  free(GetUserAgent(nc, hm));
  GetOriginDomain(nc, hm);
  if (api->biometric_request_seen != nullptr) api->biometric_request_seen();

  const int timeout = GetTimeoutParam(hm);
  const int quality = GetQualityParam(hm);
  const int template_format = GetTemplateFormatParam(hm);
  const int fake_detection = GetFakeDetectionParam(hm);
  const float wsq_rate = GetImageWSQRateParam(hm);
  int session_key_len = 0;
  std::unique_ptr<unsigned char, SessionKeyFree> session_key(GetSessionKey(hm, &session_key_len));
  const int raw_image = GetRawImageDataParam(hm);

  // A page that sent a key asked for an encrypted template: never fall back to
  // the clear, and refuse before anyone is asked to place a finger.
  if (session_key_len < 0) {
    trace_log(1, "[%s]: Session key cannot be used; capture refused", "ravavade:396");
    SendErrorCodeReply(kErrorSessionKeyRefused, nc);
    return;
  }

  const int device = GetDeviceIdFromName(api->device_name);
  const int rc = BCCaptureImage(static_cast<uint32_t>(device), api->com_port, 0, timeout, quality, template_format,
                                fake_detection, 0, &g_capture_result, wsq_rate);
  if (rc != 0) {
    SendErrorCodeReply(rc, nc);
    return;
  }

  const CaptureReplyOptions options = {api->device_name, raw_image, wsq_rate, template_format,
                                       session_key.get()};
  char* json = nullptr;
  const int built = BuildCaptureJson(&g_capture_result, &options, &json);
  if (built != 0) {
    trace_log(1, "[%s]: reply not built, ErrorCode %d", "ravavade:490", built);
    if (built == kErrorOutOfMemory) {
      SendOutOfMemoryReply(nc);
    } else {
      SendErrorCodeReply(built, nc);
    }
    return;
  }
  trace_log(1, "[%s]: Headers sent", "ravavade:512");
  SendJsonReply(nc, json);
  free(json);
}
