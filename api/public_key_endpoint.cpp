#include "api/public_key_endpoint.h"

#include <cstdlib>

#include "api/api_error_codes.h"
#include "api/endpoints.h"
#include "api/request_params.h"
#include "api/router.h"
#include "api/session_keys.h"
#include "base/trace_log.h"

int EscapePemForJson(const char* pem, char (&out)[kEscapedPemBytes]) {
  size_t j = 0;
  for (const char* p = pem; *p; ++p) {
    size_t need = (*p == '\n') ? 2 : 1;
    if (j + need > kEscapedPemBytes - 1) {
      out[0] = '\0';
      return -1;
    }
    if (*p == '\n') {
      out[j++] = '\\';
      out[j++] = 'n';
    } else {
      out[j++] = *p;
    }
  }
  out[j] = '\0';
  return static_cast<int>(j);
}

void HandleGetPublicKey(ns_conn* nc, http_message* hm) {
  trace_log(99, "[%s]: Entered", "ravavade:210");
  if (GetGenerateParam(hm)) {
    // On failure the previous pair stays in force and is the one handed out.
    if (GenerateRSAKeyPair() != 0) trace_log(1, "[%s]: regeneration failed", "ravavade:214");
  }
  if (!g_service_key_pair.public_pem) {
    SendErrorCodeReply(kErrorNoPublicKey, nc);
    trace_log(99, "[%s]: Leaving", "ravavade:256");
    return;
  }
  char escaped[kEscapedPemBytes];
  char* json = nullptr;
  bool ok = EscapePemForJson(g_service_key_pair.public_pem, escaped) >= 0;
  ok = ok && AppendFormat(&json, "{ \"ErrorCode\": 0,") >= 0;
  ok = ok && AppendFormat(&json, " \"PublicKey\": \"%s\" }", escaped) >= 0;
  if (ok) {
    SendJsonReply(nc, json);
  } else {
    trace_log(1, "[%s]: public key reply could not be built", "ravavade:240");
    SendOutOfMemoryReply(nc);
  }
  trace_log(99, "[%s]: Leaving", "ravavade:256");
  free(json);
}
