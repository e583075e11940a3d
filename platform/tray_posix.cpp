// POSIX form of tray.h: a headless desktop has no notification area, so the
// icon table is all there is.
#include "platform/tray.h"
#include "platform/tray_table.h"

int PlatformTrayAdd(const TrayIcon* icon) {
  return TrayTableAdd(icon);
}

int PlatformTrayModify(const TrayIcon* icon) {
  return TrayTableModify(icon);
}

int PlatformTrayLookup(PlatformWindow window, unsigned id, TrayIcon* out) {
  return TrayTableLookup(window, id, out);
}

int PlatformTrayDelete(PlatformWindow window, unsigned id) {
  return TrayTableDelete(window, id);
}
