// Win32 form of tray.h over the shell's notification area (kept for the
// Windows build; not compiled on Linux). Icons are the program's own icon
// resources, loaded by number.
#include <shellapi.h>
#include <string.h>
#include <windows.h>

#include "platform/tray.h"

namespace {

NOTIFYICONDATAA ToShell(const TrayIcon* icon) {
  NOTIFYICONDATAA nid = {};
  nid.cbSize = sizeof nid;
  nid.hWnd = static_cast<HWND>(icon->window);
  nid.uID = icon->id;
  nid.uFlags = icon->flags;
  nid.uCallbackMessage = icon->callback_message;
  HMODULE self = GetModuleHandleA(nullptr);
  nid.hIcon = LoadIconA(self, MAKEINTRESOURCEA(icon->icon_resource));
  nid.hBalloonIcon = LoadIconA(self, MAKEINTRESOURCEA(icon->balloon_icon_resource));
  strncpy(nid.szTip, icon->tip, sizeof nid.szTip - 1);
  return nid;
}

}  // namespace

int PlatformTrayAdd(const TrayIcon* icon) {
  if (icon == nullptr) return 0;
  NOTIFYICONDATAA nid = ToShell(icon);
  return Shell_NotifyIconA(NIM_ADD, &nid) ? 1 : 0;
}

int PlatformTrayModify(const TrayIcon* icon) {
  if (icon == nullptr) return 0;
  NOTIFYICONDATAA nid = ToShell(icon);
  return Shell_NotifyIconA(NIM_MODIFY, &nid) ? 1 : 0;
}

// The shell does not report an icon back; the Windows build has no use for it.
int PlatformTrayLookup(PlatformWindow, unsigned, TrayIcon*) {
  return 0;
}

int PlatformTrayDelete(PlatformWindow window, unsigned id) {
  NOTIFYICONDATAA nid = {};
  nid.cbSize = sizeof nid;
  nid.hWnd = static_cast<HWND>(window);
  nid.uID = id;
  return Shell_NotifyIconA(NIM_DELETE, &nid) ? 1 : 0;
}
