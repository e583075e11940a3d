// The hidden window of the service and its notification-area icon. The main
// thread creates the window and runs TrayWndProc from its message loop; other
// threads only post messages to g_main_window. The icon and its tooltip follow
// the HTTPS setting and the certificate state.
#pragma once

#include <atomic>
#include <cstdint>

#include "host/certificate_check.h"
#include "platform/tray.h"
#include "platform/window.h"

// Private window messages.
inline constexpr unsigned TRAY_UPDATE_MESSAGE = 2025;   // add or refresh the tray icon
inline constexpr unsigned SHOW_CENTRED_MESSAGE = 2026;  // show the window on top
inline constexpr unsigned TRAY_NOTIFY_MESSAGE = 2027;   // mouse events on the icon (ignored)

inline constexpr char kWindowClassName[] = "AutoOnWindow";
inline constexpr char kWindowTitle[] = "ZORAVEDUZ-View";
inline constexpr unsigned kWindowBackgroundRgb = 0xFFFFFF;
inline constexpr int kWindowWidth = 300;
inline constexpr int kWindowHeight = 400;

inline constexpr char kServiceVersion[] = "1.1.0.15";
inline constexpr unsigned kTrayIconId = 1;
inline constexpr unsigned kTrayIconFlags = kTrayFlagMessage | kTrayFlagIcon | kTrayFlagTip;
inline constexpr char kTrayErrorCaption[] = "Kestrav Biometric Service";
inline constexpr char kTrayErrorText[] = "Error creating Tray Icon";

// Icon resources by certificate state.
inline constexpr int kIconCertOk = 102;
inline constexpr int kIconCertExpires30 = 104;
inline constexpr int kIconCertExpires90 = 105;
inline constexpr int kIconCertUnreadable = 106;

// The service's window; written by the main thread before any other thread
// starts, read by all afterwards.
extern PlatformWindow g_main_window;

// Set once the window has handled TRAY_UPDATE_MESSAGE (whether the icon could
// be added or not); TrayRetryThread posts until it is.
extern std::atomic<int> tray_added;

// Icon and tooltip for a certificate state.
struct TrayChoice {
  int icon_resource;
  char tip[kTrayTipBytes];
};

// State 0 shows icon 102 with "Kestrav Biometric HTTPS:1.1.0.15" or
// "... HTTP:1.1.0.15"; 4 and 6 show 105 and 104; any other state 106. Every
// state but 0 shows the state's message as the tooltip.
TrayChoice ChooseTrayIcon(const CertState& cert, int use_https);

// The window procedure: TRAY_UPDATE_MESSAGE adds the icon the first time and
// refreshes it afterwards, then minimises and hides the window (or shows
// "Error creating Tray Icon" when the platform refuses); SHOW_CENTRED_MESSAGE
// shows the window on top. Every message then goes to the default procedure.
intptr_t TrayWndProc(PlatformWindow window, unsigned message, uintptr_t wparam, intptr_t lparam);
