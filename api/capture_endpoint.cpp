#include "api/capture_endpoint.h"

#include <openssl/crypto.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <span>

#include "api/api_error_codes.h"
#include "api/bmp_image.h"
#include "api/device_requests.h"
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
#include "device/reader_list.h"
#include "platform/heap_owner.h"
#include "sdk/vrfplib.h"

namespace {

struct SessionKeyFree {
  void operator()(unsigned char* p) const { FreeSessionKey(p); }
};

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

// A capture on its way through the device thread. The loop fills the
// parameters (the session key already unwrapped: the key pair is the loop's
// alone); the device thread captures into a record of its own and builds the
// JSON text; the loop writes it.
struct CaptureRequest : DeviceRequest {
  CaptureParams params;
  JsonReply json;  // the reply when code is 0
};

struct CaptureResultFree {
  void operator()(CaptureResult* r) const {
    ReleaseCaptureResult(r);
    free(r);
  }
};

// Device thread. The reader the page named, or without a name the first
// one (GetDeviceIdFromName); 0 and the code into *device, or an ErrorCode.
int ChooseReader(const CaptureParams& p, int* device) {
  if (!p.choose_reader) {
    *device = GetDeviceIdFromName(p.device_name);
    return 0;
  }
  ReaderLocation where;
  if (int rc = FindReaderBySerial(p.reader_serial, &where); rc != 0) return rc;
  trace_log(kTraceProgress, "[%s]: readerSerial[%s]; found[%d]; index[%u]", kTagDeviceId,
            p.reader_serial, where.found ? 1 : 0, where.index);
  if (!where.found) return kErrorReaderNotAttached;
  // The SDK opens the first reader of a model; a second one of the same model
  // cannot be opened by itself, and another reader must not stand in for it.
  if (where.index != 0) return VRFPM_ERR_NOT_SUPPORTED;
  *device = static_cast<int>(where.device_code);
  return 0;
}

// Device thread.
void RunCapture(DeviceJob* job) {
  auto* c = static_cast<CaptureRequest*>(job);
  c->code = RunCaptureJson(c->params, &c->cancel, nullptr, &c->json);
}

// Loop thread.
void ReplyCapture(ns_conn* nc, DeviceRequest* request) {
  auto* c = static_cast<CaptureRequest*>(request);
  if (c->code != 0) {
    SendErrorCodeReply(nc, c->code);
    return;
  }
  SendJsonReply(nc, JsonText(&c->json));
  trace_log(kTraceProgress, "[%s]: Headers sent", kTagHeadersSent);
}

void ReleaseCapture(DeviceRequest* request) {
  auto* c = static_cast<CaptureRequest*>(request);
  OPENSSL_cleanse(c->params.session_key, sizeof c->params.session_key);
  delete c;
}

}  // namespace

int RunCaptureJson(const CaptureParams& p, const std::atomic<bool>* cancel,
                   const CaptureObserver* observer, JsonReply* json) {
  if (cancel != nullptr && cancel->load()) return kErrCaptureCancelled;
  int device = 0;
  if (const int chosen = ChooseReader(p, &device); chosen != 0) return chosen;
  // Each capture fills a record of its own, so nothing of it is shared with
  // the next one.
  std::unique_ptr<CaptureResult, CaptureResultFree> record(
      static_cast<CaptureResult*>(calloc(1, sizeof(CaptureResult))));
  if (!record) return kErrorOutOfMemory;
  const int code = BCCaptureImage(static_cast<uint32_t>(device), p.com_port, 0, p.timeout,
                                  p.quality, p.template_format, p.fake_detection, 0, record.get(),
                                  p.wsq_rate, cancel, observer);
  if (code != 0) return code;
  const CaptureReplyOptions options = {p.device_name, p.raw_image, p.wsq_rate, p.template_format,
                                       p.encrypt ? p.session_key : nullptr};
  const int built = BuildCaptureJson(record.get(), &options, json);
  if (built != 0)
    trace_log(kTraceProgress, "[%s]: reply not built, ErrorCode %d", kTagReplyNotBuilt, built);
  return built;
}

int ReadCaptureParams(const http_message* hm, CaptureParams* out) {
  out->timeout = GetTimeoutParam(hm);
  out->quality = GetQualityParam(hm);
  out->template_format = GetTemplateFormatParam(hm);
  out->fake_detection = GetFakeDetectionParam(hm);
  out->wsq_rate = GetImageWSQRateParam(hm);
  int session_key_len = 0;
  std::unique_ptr<unsigned char, SessionKeyFree> session_key(GetSessionKey(hm, &session_key_len));
  out->raw_image = GetRawImageDataParam(hm);
  const int named = GetReaderSerialParam(hm, out->reader_serial);
  out->choose_reader = named != 0;
  // Too long for any serial number: no such reader is attached.
  if (named < 0) return kErrorReaderNotAttached;
  if (session_key_len < 0) {
    trace_log(kTraceProgress, "[%s]: Session key cannot be used; capture refused",
              kTagCaptureRefused);
    return kErrorSessionKeyRefused;
  }
  out->encrypt = false;
  if (session_key) {
    memcpy(out->session_key, session_key.get(), sizeof out->session_key);
    out->encrypt = true;
  }
  return 0;
}

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

  auto* c = new (std::nothrow) CaptureRequest();
  if (c == nullptr) {
    SendErrorCodeReply(nc, kErrorOutOfMemory);
    return;
  }
  c->run = RunCapture;
  c->reply = ReplyCapture;
  c->release = ReleaseCapture;
  c->params.device_name = api->device_name;
  c->params.com_port = api->com_port;
  // A page that sent a key asked for an encrypted template: never fall back to
  // the clear, and refuse before anyone is asked to place a finger.
  if (const int refused = ReadCaptureParams(hm, &c->params); refused != 0) {
    SendErrorCodeReply(nc, refused);
    ReleaseCapture(c);
    return;
  }
  SubmitDeviceRequest(nc, api->device_requests, c, hm);
}
