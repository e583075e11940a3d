// The notification-area icons of this process as last given to the platform,
// and the line every change writes on standard output. Both forms of tray.h
// keep them: on POSIX the table is the whole notification area; on Windows it
// stands beside the shell's, which reports nothing back. One lock; any thread.
#pragma once

#include "platform/tray.h"

// The table halves of PlatformTrayAdd, PlatformTrayModify, PlatformTrayLookup
// and PlatformTrayDelete, with their results and their lines.
[[nodiscard]] int TrayTableAdd(const TrayIcon* icon);
[[nodiscard]] int TrayTableModify(const TrayIcon* icon);
[[nodiscard]] int TrayTableLookup(PlatformWindow window, unsigned id, TrayIcon* out);
int TrayTableDelete(PlatformWindow window, unsigned id);
