#include "host/tray_window.h"

#include <stdio.h>

#include "host/service_entry.h"
#include "platform/platform.h"

PlatformWindow g_main_window = nullptr;
std::atomic<int> tray_added{0};

namespace {

void UpdateTrayIcon(PlatformWindow window) {
  CertState cert;
  CertStateSnapshot(&cert);
  TrayChoice choice = ChooseTrayIcon(cert, g_settings.use_https);

  TrayIcon icon = {};
  icon.window = window;
  icon.id = kTrayIconId;
  icon.flags = kTrayIconFlags;
  icon.callback_message = TRAY_NOTIFY_MESSAGE;
  icon.icon_resource = choice.icon_resource;
  icon.balloon_icon_resource = choice.icon_resource;
  snprintf(icon.tip, sizeof icon.tip, "%s", choice.tip);

  int ok;
  if (tray_added.load(std::memory_order_relaxed)) {
    ok = PlatformTrayModify(&icon);
  } else {
    ok = PlatformTrayAdd(&icon);
    tray_added.store(1, std::memory_order_relaxed);
  }
  if (ok) {
    PlatformShowWindow(window, kShowMinimised);
    PlatformShowWindow(window, kShowHidden);
  } else {
    PlatformMessageBox(kTrayErrorCaption, kTrayErrorText);
  }
}

}  // namespace

TrayChoice ChooseTrayIcon(const CertState& cert, int use_https) {
  TrayChoice choice = {};
  switch (cert.state) {
    case kCertStateOk:
      choice.icon_resource = kIconCertOk;
      snprintf(choice.tip, sizeof choice.tip, "Kestrav Biometric %s:%s",
               use_https ? "HTTPS" : "HTTP", kServiceVersion);
      return choice;
    case kCertStateExpires90:
      choice.icon_resource = kIconCertExpires90;
      break;
    case kCertStateExpires30:
      choice.icon_resource = kIconCertExpires30;
      break;
    default:
      choice.icon_resource = kIconCertUnreadable;
      break;
  }
  snprintf(choice.tip, sizeof choice.tip, "%s", cert.message);
  return choice;
}

intptr_t TrayWndProc(PlatformWindow window, unsigned message, uintptr_t wparam, intptr_t lparam) {
  if (message == TRAY_UPDATE_MESSAGE) {
    UpdateTrayIcon(window);
  } else if (message == SHOW_CENTRED_MESSAGE) {
    PlatformShowWindow(window, kShowNormal);
    PlatformMakeTopmost(window);
  }
  return PlatformDefWindowProc(window, message, wparam, lparam);
}
