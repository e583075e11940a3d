#include <cstdlib>
#include <memory>
#include <new>

#include "api/api_error_codes.h"
#include "api/device_requests.h"
#include "api/endpoints.h"
#include "api/json_reply.h"
#include "api/reply_writer.h"
#include "api/request_access.h"
#include "api/request_params.h"
#include "base/trace_log.h"
#include "base/trace_tags.h"
#include "codec/base64.h"
#include "device/fingerprint_device.h"
#include "platform/heap_owner.h"
#include "sdk/vrfplib.h"

namespace {

// Reads one template parameter; false when it counts as absent.
bool ReadTemplateParam(const http_message* hm, const char* name,
                       char (&text)[kTemplateParamBytes]) {
  if (ReadFormParam(hm, name, text, sizeof text) <= 0) return false;
  // An escape this stage does not know stays in the text; Base64 decoding
  // then stops at its "%", and the cut record is refused when it is checked.
  (void)FixPercentEscapes(text);
  return true;
}

// A match on its way through the device thread: the loop decodes and checks
// both templates, the device thread scores them, the loop writes the reply.
struct MatchRequest : DeviceRequest {
  const char* device_name = nullptr;
  int template_format = 0;
  HeapBytes template1;
  HeapBytes template2;
  uint32_t score = 0;
};

// Writes the reply for code and score, then the closing trace entry.
void SendMatchReply(ns_conn* nc, int code, uint32_t score) {
  JsonReply reply;
  JsonBegin(&reply, code, JsonCodeComma::kSpaced);
  if (code != 0) {
    JsonNull(&reply, "MatchingScore");
  } else {
    JsonNumber(&reply, "MatchingScore", static_cast<int>(score));
  }
  JsonEnd(&reply);
  if (reply.failed) {
    SendErrorCodeReply(nc, kErrorOutOfMemory);
  } else {
    SendJsonReply(nc, JsonText(&reply));
  }
  trace_log(kTraceEverything, "[%s]: Leaving", kTagMatchLeaving);
}

// Device thread.
void RunMatch(DeviceJob* job) {
  auto* m = static_cast<MatchRequest*>(job);
  const int device = GetDeviceIdFromName(m->device_name);
  m->code = BCGetMatchingScore(static_cast<uint32_t>(device), m->template_format,
                               m->template1.get(), m->template2.get(), &m->score);
  trace_log(kTraceProgress, "[%s]: Matching Score [%d]", kTagMatchScore,
            static_cast<int>(m->score));
}

// Loop thread.
void ReplyMatch(ns_conn* nc, DeviceRequest* request) {
  auto* m = static_cast<MatchRequest*>(request);
  SendMatchReply(nc, m->code, m->score);
}

void ReleaseMatch(DeviceRequest* request) {
  delete static_cast<MatchRequest*>(request);
}

}  // namespace

void HandleMatchScore(ns_conn* nc, http_message* hm, const ApiContext* api) {
  trace_log(kTraceProgress, "[%s]: Entered", kTagMatchEntered);
  if (CheckHostHeader(nc, hm) != 0) return;
  TraceRequestOrigin(hm);
  if (api->biometric_request_seen != nullptr) api->biometric_request_seen();

  int code = 0;
  char text1[kTemplateParamBytes];
  char text2[kTemplateParamBytes];
  if (!ReadTemplateParam(hm, "template1", text1)) code = kErrorTemplateMissing;
  if (!ReadTemplateParam(hm, "template2", text2)) code = kErrorTemplateMissing;
  const int template_format = GetTemplateFormatParam(hm);
  if (code != 0) {
    SendMatchReply(nc, code, 0);
    return;
  }

  auto* m = new (std::nothrow) MatchRequest();
  if (m == nullptr) {
    SendMatchReply(nc, kErrorOutOfMemory, 0);
    return;
  }
  int len1 = 0, len2 = 0;
  m->template1.reset(Base64DecodeAlloc(text1, &len1));
  m->template2.reset(Base64DecodeAlloc(text2, &len2));
  if (!m->template1 || !m->template2) {
    code = kErrorOutOfMemory;
  } else if (ValidateMatchTemplate(template_format, m->template1.get(),
                                   static_cast<size_t>(len1)) != 0 ||
             ValidateMatchTemplate(template_format, m->template2.get(),
                                   static_cast<size_t>(len2)) != 0) {
    // The matcher trusts the length a record declares; a short or foreign
    // record must not reach it.
    code = VRFPM_ERR_BAD_TEMPLATE;
    trace_log(kTraceProgress, "[%s]: template refused (%d and %d bytes decoded)",
              kTagTemplateRefused, len1, len2);
  }
  if (code != 0) {
    ReleaseMatch(m);
    SendMatchReply(nc, code, 0);
    return;
  }
  m->run = RunMatch;
  m->reply = ReplyMatch;
  m->release = ReleaseMatch;
  m->device_name = api->device_name;
  m->template_format = template_format;
  SubmitDeviceRequest(nc, api->device_requests, m, hm);
}
