#include "host/service_entry.h"

#include <stdio.h>

#include "base/trace_log.h"
#include "host/service_thread.h"
#include "host/tray_window.h"
#include "net/event_manager.h"
#include "platform/platform.h"
#include "platform/window.h"

ServiceSettings g_settings = {0, "8000", "NX51", 0, "000", 0, "", "", ""};

void TrayRetryThread() {
  while (tray_added.load(std::memory_order_relaxed) == 0) {
    PlatformPostMessage(g_main_window, TRAY_UPDATE_MESSAGE, 0, 0);
    PlatformSleepMs(kTrayRetryMs);
  }
}

int RunService(int argc, const char* const* argv) {
  ParseServiceSettings(argc, argv, PlatformProcessId(), &g_settings);
  // The file is named by the process id, which whoever started the program
  // through a launcher (Wine, a shell wrapper) does not know.
  if (g_settings.trace_level > 0) {
    fprintf(stdout, "Trace file %s\n", g_settings.log_path);
    fflush(stdout);
  }
  if (trace_enabled(kTraceEverything)) ns_set_diag_stream(stdout);

  if (!PlatformRegisterWindowClass(kWindowClassName, TrayWndProc, kWindowBackgroundRgb)) return -1;
  int screen_width = 0;
  int screen_height = 0;
  PlatformScreenSize(&screen_width, &screen_height);
  g_main_window =
      PlatformCreateWindow(kWindowClassName, kWindowTitle, (screen_width - kWindowWidth) / 2,
                           (screen_height - kWindowHeight) / 2, kWindowWidth, kWindowHeight);
  if (g_main_window == nullptr) return -1;

  // Without its service thread the process would sit idle with a tray icon
  // and no port: say so and stop instead.
  if (!PlatformStartThread(ServiceThread)) {
    ShowErrorBox("Cannot start the service thread");
    return kFatalExitCode;
  }
  if (!PlatformStartThread(TrayRetryThread)) {
    // Without the retry thread the icon still comes from this first post.
    PlatformPostMessage(g_main_window, TRAY_UPDATE_MESSAGE, 0, 0);
  }

  PlatformMessage msg;
  while (PlatformGetMessage(g_main_window, &msg) > 0) PlatformDispatchMessage(&msg);
  return 0;
}
