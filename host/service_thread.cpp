#include "host/service_thread.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "api/device_requests.h"
#include "api/router.h"
#include "api/session_keys.h"
#include "base/trace_log.h"
#include "base/trace_tags.h"
#include "host/certificate_check.h"
#include "host/health_facts.h"
#include "host/service_entry.h"
#include "host/tray_window.h"
#include "net/event_manager.h"
#include "net/http_helpers.h"
#include "net/http_protocol.h"
#include "net/listener.h"
#include "net/socket_io.h"

std::atomic<int> stop_requested{0};
ServiceHandleTable* g_service_handles = nullptr;

namespace {

constexpr size_t kListenAddressBytes = 64;

[[noreturn]] void EndProcess(int code) {
  fflush(stdout);
  fflush(stderr);
  exit(code);
}

// Scripts started with -p:0 learn the chosen port from this line.
void AnnounceListening(const ns_conn* listener) {
  char address[kListenAddressBytes] = {0};
  sock_addr_to_text(static_cast<int>(listener->sock), address, sizeof address,
                    NS_SOCK_ADDR_IP | NS_SOCK_ADDR_PORT);
  fprintf(stdout, "Listening on %s (%s)\n", address, g_settings.use_https ? "https" : "http");
  fflush(stdout);
}

void TraceKeyPair() {
  const char* public_pem = g_service_key_pair.public_pem;
  if (public_pem == nullptr) return;
  trace_log(kTraceKeys, "Public Key %s \n", public_pem);
  // The private key stays out of the trace file: that file is plain text
  // anyone with access to the log directory can read.
  trace_log(kTraceKeys, "Private Key <not logged> \n");
}

}  // namespace

int ConfiguredPortNumber(const char* address) {
  if (address == nullptr) return 0;
  const char* digits = strrchr(address, ':');
  digits = digits == nullptr ? address : digits + 1;
  while (*digits == '/') digits++;
  return atoi(digits);
}

void ServiceThread() {
  g_service_handles = InitUIDAIServices(kServiceHandleSlots);
  if (g_service_handles == nullptr) {
    trace_log(kTraceEverything, "[%s]: InitUIDAIServices Failed", kTagHandleTableFailed);
    EndProcess(kFatalExitCode);
  }

  ns_mgr mgr;
  ns_mgr_init(&mgr, nullptr);
  // Captures and matches run on the device thread; this thread stays free
  // for every other request while a finger is awaited.
  DeviceRequests device_requests;
  DeviceRequestsStart(&device_requests, &mgr);

  // What the endpoints need from the host; `health` is filled in once the
  // listener is bound. Accepted connections inherit the pointer from the
  // listener, which ns_mgr_free closes before this returns.
  ApiContext api = {
      g_settings.device_name, g_settings.com_port, RefreshCertificateState, {}, &device_requests};
  ns_bind_opts opts = {};
  opts.user_data = &api;
  ns_conn* listener = ns_bind_opt(&mgr, g_settings.port, ApiRequestHandler, opts);
  if (listener == nullptr) {
    ShowErrorBox("Port Bind error to port %d", ConfiguredPortNumber(g_settings.port));
    EndProcess(kFatalExitCode);
  }
  http_attach_protocol(listener);

  if (g_settings.use_https) {
    const char* error = ns_set_ssl(listener, g_settings.cert_path, nullptr);
    if (error != nullptr) {
      ShowErrorBox("SSL Certificate Error: %s", error);
      EndProcess(kFatalExitCode);
    }
    // A failure is recorded in the state the tray shows; the service runs on.
    (void)CheckServerCertificate();
    PlatformPostMessage(g_main_window, TRAY_UPDATE_MESSAGE, 0, 0);
  }

  // Without a pair the public-key route answers kErrorNoPublicKey and
  // session keys are refused; the service still captures and matches.
  if (GenerateRSAKeyPair() != 0) trace_log(kTraceProgress, "[%s]: no RSA key pair", kTagNoKeyPair);
  TraceKeyPair();
  // Before the first poll, so every connection sees them.
  api.health = ListenerHealthFacts(listener);

  AnnounceListening(listener);
  while (stop_requested.load(std::memory_order_relaxed) == 0) {
    ns_mgr_poll(&mgr, kPollTimeoutMs);
    // The poll's time-out, not the time it took: slots age by whole seconds.
    TickUIDAIServices(g_service_handles, kPollTimeoutMs);
  }
  // The device thread posts to the manager's control pair: it ends first.
  DeviceRequestsStop(&device_requests);
  ns_mgr_free(&mgr);
}
