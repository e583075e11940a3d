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
  unsigned char session_key[kSessionKeyBytes] = {};
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
int ChooseReader(const CaptureRequest* c, int* device) {
  if (!c->choose_reader) {
    *device = GetDeviceIdFromName(c->device_name);
    return 0;
  }
  ReaderLocation where;
  if (int rc = FindReaderBySerial(c->reader_serial, &where); rc != 0) return rc;
  trace_log(kTraceProgress, "[%s]: readerSerial[%s]; found[%d]; index[%u]", kTagDeviceId,
            c->reader_serial, where.found ? 1 : 0, where.index);
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
  if (c->cancel.load()) {
    c->code = kErrCaptureCancelled;
    return;
  }
  int device = 0;
  if (int chosen = ChooseReader(c, &device); chosen != 0) {
    c->code = chosen;
    return;
  }
  // Each capture fills a record of its own, so nothing of it is shared with
  // the next one.
  std::unique_ptr<CaptureResult, CaptureResultFree> record(
      static_cast<CaptureResult*>(calloc(1, sizeof(CaptureResult))));
  if (!record) {
    c->code = kErrorOutOfMemory;
    return;
  }
  c->code = BCCaptureImage(static_cast<uint32_t>(device), c->com_port, 0, c->timeout, c->quality,
                           c->template_format, c->fake_detection, 0, record.get(), c->wsq_rate,
                           &c->cancel);
  if (c->code != 0) return;
  const CaptureReplyOptions options = {c->device_name, c->raw_image, c->wsq_rate,
                                       c->template_format, c->encrypt ? c->session_key : nullptr};
  const int built = BuildCaptureJson(record.get(), &options, &c->json);
  if (built != 0) {
    trace_log(kTraceProgress, "[%s]: reply not built, ErrorCode %d", kTagReplyNotBuilt, built);
    c->code = built;
  }
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
  OPENSSL_cleanse(c->session_key, sizeof c->session_key);
  delete c;
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

  auto* c = new (std::nothrow) CaptureRequest();
  if (c == nullptr) {
    SendErrorCodeReply(nc, kErrorOutOfMemory);
    return;
  }
  c->run = RunCapture;
  c->reply = ReplyCapture;
  c->release = ReleaseCapture;
  c->device_name = api->device_name;
  c->com_port = api->com_port;
  c->timeout = GetTimeoutParam(hm);
  c->quality = GetQualityParam(hm);
  c->template_format = GetTemplateFormatParam(hm);
  c->fake_detection = GetFakeDetectionParam(hm);
  c->wsq_rate = GetImageWSQRateParam(hm);
  int session_key_len = 0;
  std::unique_ptr<unsigned char, SessionKeyFree> session_key(GetSessionKey(hm, &session_key_len));
  c->raw_image = GetRawImageDataParam(hm);
  const int named = GetReaderSerialParam(hm, c->reader_serial);
  c->choose_reader = named != 0;
  if (named < 0) {
    // Too long for any serial number: no such reader is attached.
    SendErrorCodeReply(nc, kErrorReaderNotAttached);
    ReleaseCapture(c);
    return;
  }

  // A page that sent a key asked for an encrypted template: never fall back to
  // the clear, and refuse before anyone is asked to place a finger.
  if (session_key_len < 0) {
    trace_log(kTraceProgress, "[%s]: Session key cannot be used; capture refused",
              kTagCaptureRefused);
    SendErrorCodeReply(nc, kErrorSessionKeyRefused);
    ReleaseCapture(c);
    return;
  }
  if (session_key) {
    memcpy(c->session_key, session_key.get(), sizeof c->session_key);
    c->encrypt = true;
  }
  SubmitDeviceRequest(nc, api->device_requests, c, hm);
}
