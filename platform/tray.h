// The notification-area icon of a window: an icon number and a tooltip. On
// Windows this is the shell's tray; a Linux desktop has none. Both keep the
// icons in a table and write every change as one line on standard output
// (where a script that started the program can follow it). Callable from any
// thread, though the service uses it from the main thread.
#pragma once

#include <cstddef>

#include "platform/window.h"

// Tooltip capacity: 127 characters and the terminator.
inline constexpr size_t kTrayTipBytes = 128;

// Which members of a TrayIcon a change carries.
inline constexpr unsigned kTrayFlagMessage = 0x1;
inline constexpr unsigned kTrayFlagIcon = 0x2;
inline constexpr unsigned kTrayFlagTip = 0x4;

// One icon as given to the platform. An icon is known by its window and id.
struct TrayIcon {
  PlatformWindow window;      // owner, receives callback_message for mouse events
  unsigned id;                // the owner's number for this icon
  unsigned flags;             // kTrayFlag* bits: which members below apply
  unsigned callback_message;  // message posted to the owner on mouse events
  int icon_resource;          // number of the icon image among the program's resources
  int balloon_icon_resource;  // image shown in balloon notices
  char tip[kTrayTipBytes];    // tooltip, NUL-terminated
};

// Adds the icon. Returns 1, or 0 when the same window and id already have an
// icon, the table is full or the shell refuses it. Standard output gets
// "tray add id=<id> icon=<icon_resource> tip=<tip>".
[[nodiscard]] int PlatformTrayAdd(const TrayIcon* icon);

// Changes the members named by icon->flags of an existing icon. Returns 1, or
// 0 when there is no such icon or the shell refuses the change. Standard
// output gets
// "tray modify id=<id> icon=<icon_resource> tip=<tip>".
[[nodiscard]] int PlatformTrayModify(const TrayIcon* icon);

// Copies the current icon of the window and id into *out; returns 0 when
// there is none.
[[nodiscard]] int PlatformTrayLookup(PlatformWindow window, unsigned id, TrayIcon* out);

// Removes the icon; returns 0 when there is none.
int PlatformTrayDelete(PlatformWindow window, unsigned id);
