#include <cstdlib>

#include "api/api_error_codes.h"
#include "api/endpoints.h"
#include "api/json_reply.h"
#include "api/reply_writer.h"
#include "api/request_access.h"
#include "api/request_params.h"
#include "api/session_keys.h"
#include "base/trace_log.h"
#include "base/trace_tags.h"

namespace {

// The whole reply for the current pair, built once per pair: the key is
// asked for far more often than it changes. Service thread only.
struct KeyReply {
  char* text;  // malloc'd; null until built
  size_t len;
  unsigned long serial;  // of the pair it was built from
};
KeyReply g_key_reply = {nullptr, 0, 0};

// A connection waiting for the pair being made. Service thread only.
struct KeyWaiter {
  KeyWaiter* next;
  ns_conn* nc;
};
KeyWaiter* g_key_waiters = nullptr;

void SendKeyReply(ns_conn* nc) {
  if (!g_service_key_pair.public_pem) {
    SendErrorCodeReply(nc, kErrorNoPublicKey);
    return;
  }
  if (g_key_reply.text == nullptr || g_key_reply.serial != g_service_key_pair.serial) {
    free(g_key_reply.text);
    g_key_reply = {nullptr, 0, 0};
    JsonReply reply;
    JsonBegin(&reply, 0, JsonCodeComma::kTight);
    JsonString(&reply, "PublicKey", g_service_key_pair.public_pem);
    JsonEnd(&reply);
    size_t len = 0;
    char* text = reply.failed ? nullptr : FormatJsonReply(JsonText(&reply), &len);
    if (text == nullptr) {
      trace_log(kTraceProgress, "[%s]: public key reply could not be built",
                kTagPublicKeyReplyFailed);
      SendErrorCodeReply(nc, kErrorOutOfMemory);
      return;
    }
    g_key_reply = {text, len, g_service_key_pair.serial};
  }
  ns_send(nc, g_key_reply.text, g_key_reply.len);
}

// Runs on the worker that made the pair: wakes the loop, whose pass then
// installs it and answers the connections waiting (KeyRotationEvent).
void WakeLoop(void* mgr) {
  (void)ns_mgr_post(static_cast<ns_mgr*>(mgr), KeyRotationEvent, nullptr, 0);
}

bool AddWaiter(ns_conn* nc) {
  auto* w = static_cast<KeyWaiter*>(malloc(sizeof(KeyWaiter)));
  if (w == nullptr) return false;
  *w = {g_key_waiters, nc};
  g_key_waiters = w;
  return true;
}

}  // namespace

void HandleGetPublicKey(ns_conn* nc, http_message* hm) {
  trace_log(kTraceEverything, "[%s]: Entered", kTagPublicKeyEntered);
  if (GetGenerateParam(hm)) {
    // Rotation takes the key from every other page: only this machine's
    // pages may ask for it.
    if (CheckHostHeader(nc, hm) != 0) {
      trace_log(kTraceEverything, "[%s]: Leaving", kTagPublicKeyLeaving);
      return;
    }
    if (nc->mgr == nullptr) {
      // No loop to come back to (tests): made here. On failure the
      // previous pair stays in force and is the one handed out.
      if (GenerateRSAKeyPair() != 0)
        trace_log(kTraceProgress, "[%s]: regeneration failed", kTagKeyRegenerationFailed);
    } else if (AddWaiter(nc) && StartKeyGeneration(WakeLoop, nc->mgr) == 0) {
      // Answered when the pair is in; requests of the same moment share it.
      trace_log(kTraceEverything, "[%s]: Leaving", kTagPublicKeyLeaving);
      return;
    } else {
      KeyRotationEvent(nc, NS_EV_CLOSE, nullptr);
      SendErrorCodeReply(nc, kErrorOutOfMemory);
      return;
    }
  }
  SendKeyReply(nc);
  trace_log(kTraceEverything, "[%s]: Leaving", kTagPublicKeyLeaving);
}

void KeyRotationEvent(ns_conn* nc, int ev, void*) {
  if (ev == NS_EV_CLOSE) {
    for (KeyWaiter** link = &g_key_waiters; *link != nullptr; link = &(*link)->next) {
      if ((*link)->nc == nc) {
        KeyWaiter* gone = *link;
        *link = gone->next;
        free(gone);
        return;
      }
    }
    return;
  }
  if (ev != NS_EV_POLL || g_key_waiters == nullptr) return;
  if (InstallGeneratedKeyPair() == 0) return;
  // In the order they asked.
  KeyWaiter* list = nullptr;
  while (g_key_waiters != nullptr) {
    KeyWaiter* w = g_key_waiters;
    g_key_waiters = w->next;
    w->next = list;
    list = w;
  }
  while (list != nullptr) {
    KeyWaiter* w = list;
    list = w->next;
    SendKeyReply(w->nc);
    free(w);
  }
}
