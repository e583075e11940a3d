#include "host/service_thread.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <ctime>

#include "api/device_requests.h"
#include "api/events_endpoint.h"
#include "api/router.h"
#include "api/session_keys.h"
#include "base/trace_log.h"
#include "base/trace_tags.h"
#include "host/certificate_check.h"
#include "host/health_facts.h"
#include "host/service_entry.h"
#include "host/tray_window.h"
#include "net/address.h"
#include "net/event_manager.h"
#include "net/http_helpers.h"
#include "net/http_protocol.h"
#include "net/listener.h"
#include "net/socket_io.h"

ServiceHandleTable* g_service_handles = nullptr;

namespace {

constexpr size_t kListenAddressBytes = 64;

[[noreturn]] void EndProcess(int code) {
  fflush(stdout);
  fflush(stderr);
  exit(code);
}

constexpr uint32_t kLoopbackNet = 0x7f000000;  // 127.0.0.0/8
constexpr uint32_t kLoopbackMask = 0xff000000;

// The address the listener binds for the -p: setting. A port alone ("8000",
// ":8000") means the loopback interface: on every interface, any machine of
// the network could send "Host: localhost" and drive the reader (the Host
// check stops pages, not machines). Returns true for that case.
bool ListenAddress(const char* setting, char* out, size_t cap) {
  if (ns_address_names_host(setting)) {
    snprintf(out, cap, "%s", setting);
    return false;
  }
  const char* rest = strstr(setting, "://");
  const int scheme_len = rest == nullptr ? 0 : static_cast<int>(rest + 3 - setting);
  rest = setting + scheme_len;
  if (*rest == ':') rest++;
  snprintf(out, cap, "%.*s127.0.0.1:%s", scheme_len, setting, rest);
  return true;
}

// Scripts started with -p:0 learn the chosen port from the first line, which
// is always the IPv4 listener's of -p: (then those of -hp:).
void AnnounceListening(const ns_conn* listener, const ns_conn* listener6) {
  char address[kListenAddressBytes] = {0};
  sock_addr_to_text(static_cast<int>(listener->sock), address, sizeof address,
                    NS_SOCK_ADDR_IP | NS_SOCK_ADDR_PORT);
  const char* scheme = listener->ssl_ctx != nullptr ? "https" : "http";
  fprintf(stdout, "Listening on %s (%s)\n", address, scheme);
  if (listener6 != nullptr) {
    fprintf(stdout, "Listening on [::1]:%d (%s)\n", ntohs(listener6->sa.sin_port), scheme);
  }
  fflush(stdout);
  if ((ntohl(listener->sa.sin_addr.s_addr) & kLoopbackMask) != kLoopbackNet) {
    fprintf(stderr,
            "Warning: listening on %s, beyond this machine: any computer that reaches it can "
            "capture, match and read the public key. Give a port alone (-p:8000) to serve this "
            "machine only.\n",
            address);
    fflush(stderr);
  }
}

// The IPv6 loopback twin of a default listener, so that a browser that tries
// [::1] first for "localhost" connects at once. Optional: without IPv6, or
// with its port taken there, the service serves IPv4 alone.
ns_conn* BindLoopback6(ns_mgr* mgr, const ns_conn* listener, ns_bind_opts opts) {
  if ((listener->flags & NCF_LISTENING) == 0) return nullptr;
  ns_conn* nc = ns_bind_loopback6(mgr, ntohs(listener->sa.sin_port), ApiRequestHandler, opts);
  if (nc == nullptr) return nullptr;  // no "[::1]" line then
  http_attach_protocol(nc);
  if (listener->ssl_ctx != nullptr && ns_set_ssl(nc, g_settings.cert_path, nullptr) != nullptr) {
    nc->flags |= NCF_CLOSE_IMMEDIATELY;  // the IPv4 listener took the same file
    return nullptr;
  }
  return nc;
}

// A listener on the address setting with the HTTP handler and the API
// router; a port that cannot be bound ends the process.
ns_conn* BindApiListener(ns_mgr* mgr, const char* setting, ns_bind_opts opts, bool* loopback) {
  char address[kListenAddressBytes];
  *loopback = ListenAddress(setting, address, sizeof address);
  ns_conn* listener = ns_bind_opt(mgr, address, ApiRequestHandler, opts);
  if (listener == nullptr) {
    ShowErrorBox("Port Bind error to port %d", ConfiguredPortNumber(setting));
    EndProcess(kFatalExitCode);
  }
  http_attach_protocol(listener);
  return listener;
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
  // Pages on /events share the device thread with HTTP captures.
  EventsHub events;
  EventsHubStart(&events, &mgr, &device_requests.device);
  ApiContext api = {g_settings.device_name,  g_settings.com_port,
                    RefreshCertificateState, {},
                    &device_requests,        &events};
  ns_bind_opts opts = {};
  opts.user_data = &api;
  bool loopback_default = false;
  ns_conn* listener = BindApiListener(&mgr, g_settings.port, opts, &loopback_default);
  // -hp: plain HTTP on a second address from the same process, so the one
  // device thread keeps one busy rule for the reader. Its own context: its
  // "/health" shows its own scheme and port.
  ApiContext api_http = api;
  ns_bind_opts opts_http = opts;
  opts_http.user_data = &api_http;
  bool loopback_http = false;
  ns_conn* listener_http =
      g_settings.http_port[0] == '\0'
          ? nullptr
          : BindApiListener(&mgr, g_settings.http_port, opts_http, &loopback_http);

  if (g_settings.use_https) {
    // A certificate kestrav-cert made is renewed before TLS loads it.
    RenewOwnCertificate(g_settings.cert_path, time(nullptr));
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
  if (listener_http != nullptr) api_http.health = ListenerHealthFacts(listener_http);

  ns_conn* listener6 = loopback_default ? BindLoopback6(&mgr, listener, opts) : nullptr;
  AnnounceListening(listener, listener6);
  if (listener_http != nullptr) {
    AnnounceListening(listener_http,
                      loopback_http ? BindLoopback6(&mgr, listener_http, opts_http) : nullptr);
  }
  // For the life of the process: it ends by exiting (the tray's Exit, a
  // fatal error), never by leaving this loop.
  for (;;) {
    ns_mgr_poll(&mgr, kPollTimeoutMs);
    // The poll's time-out, not the time it took: slots age by whole seconds.
    TickUIDAIServices(g_service_handles, kPollTimeoutMs);
  }
}
