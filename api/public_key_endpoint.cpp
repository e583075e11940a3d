#include "api/api_error_codes.h"
#include "api/endpoints.h"
#include "api/json_reply.h"
#include "api/reply_writer.h"
#include "api/request_params.h"
#include "api/session_keys.h"
#include "base/trace_log.h"
#include "base/trace_tags.h"

void HandleGetPublicKey(ns_conn* nc, http_message* hm) {
  trace_log(kTraceEverything, "[%s]: Entered", kTagPublicKeyEntered);
  if (GetGenerateParam(hm)) {
    // On failure the previous pair stays in force and is the one handed out.
    if (GenerateRSAKeyPair() != 0)
      trace_log(kTraceProgress, "[%s]: regeneration failed", kTagKeyRegenerationFailed);
  }
  if (!g_service_key_pair.public_pem) {
    SendErrorCodeReply(nc, kErrorNoPublicKey);
    trace_log(kTraceEverything, "[%s]: Leaving", kTagPublicKeyLeaving);
    return;
  }
  JsonReply reply;
  JsonBegin(&reply, 0, JsonCodeComma::kTight);
  JsonString(&reply, "PublicKey", g_service_key_pair.public_pem);
  JsonEnd(&reply);
  if (reply.failed) {
    trace_log(kTraceProgress, "[%s]: public key reply could not be built",
              kTagPublicKeyReplyFailed);
    SendErrorCodeReply(nc, kErrorOutOfMemory);
  } else {
    SendJsonReply(nc, JsonText(&reply));
  }
  trace_log(kTraceEverything, "[%s]: Leaving", kTagPublicKeyLeaving);
}
