// Win32 form of tray.h over the shell's notification area. Icons are the
// program's own icon resources, loaded by number at the small-icon size. The
// shell reports nothing back, so the icon table (tray_table.h) keeps what it
// was last given and writes the same lines as on POSIX.
#include <windows.h>
// shellapi.h needs the types of windows.h first.
#include <shellapi.h>
#include <stdio.h>

#include "platform/tray.h"
#include "platform/tray_table.h"

static_assert(kTrayFlagMessage == NIF_MESSAGE && kTrayFlagIcon == NIF_ICON &&
              kTrayFlagTip == NIF_TIP);
static_assert(kTrayTipBytes == sizeof(NOTIFYICONDATAA{}.szTip));

namespace {

// A shared icon handle (LR_SHARED): loading it again on every refresh costs
// nothing and it is never destroyed. Null when the resource does not exist.
HICON LoadSmallIcon(int resource) {
  return static_cast<HICON>(LoadImageA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(resource),
                                       IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                       GetSystemMetrics(SM_CYSMICON), LR_SHARED));
}

NOTIFYICONDATAA ToShell(const TrayIcon* icon) {
  NOTIFYICONDATAA nid = {};
  nid.cbSize = sizeof nid;
  nid.hWnd = static_cast<HWND>(icon->window);
  nid.uID = icon->id;
  nid.uFlags = icon->flags & (NIF_MESSAGE | NIF_ICON | NIF_TIP);
  nid.uCallbackMessage = icon->callback_message;
  if (icon->flags & kTrayFlagIcon) {
    nid.hIcon = LoadSmallIcon(icon->icon_resource);
    nid.hBalloonIcon = LoadSmallIcon(icon->balloon_icon_resource);
  }
  // The caller's tip may lack its terminator; the shell's copy never does.
  snprintf(nid.szTip, sizeof nid.szTip, "%.*s", static_cast<int>(sizeof nid.szTip - 1), icon->tip);
  return nid;
}

}  // namespace

int PlatformTrayAdd(const TrayIcon* icon) {
  if (icon == nullptr) return 0;
  TrayIcon known;
  if (TrayTableLookup(icon->window, icon->id, &known)) return 0;
  NOTIFYICONDATAA nid = ToShell(icon);
  if (!Shell_NotifyIconA(NIM_ADD, &nid)) return 0;
  if (!TrayTableAdd(icon)) {
    // The table is full: an icon the process cannot account for goes again.
    Shell_NotifyIconA(NIM_DELETE, &nid);
    return 0;
  }
  return 1;
}

int PlatformTrayModify(const TrayIcon* icon) {
  if (icon == nullptr) return 0;
  NOTIFYICONDATAA nid = ToShell(icon);
  if (!Shell_NotifyIconA(NIM_MODIFY, &nid)) return 0;
  (void)TrayTableModify(icon);  // records and announces the change
  return 1;
}

int PlatformTrayLookup(PlatformWindow window, unsigned id, TrayIcon* out) {
  return TrayTableLookup(window, id, out);
}

int PlatformTrayDelete(PlatformWindow window, unsigned id) {
  NOTIFYICONDATAA nid = {};
  nid.cbSize = sizeof nid;
  nid.hWnd = static_cast<HWND>(window);
  nid.uID = id;
  const bool removed = Shell_NotifyIconA(NIM_DELETE, &nid) != FALSE;
  return TrayTableDelete(window, id) || removed ? 1 : 0;
}
