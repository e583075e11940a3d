// The icon table of tray_table.h. Each change is announced on standard
// output, where scripts and people watching the service can follow it.
#include "platform/tray_table.h"

#include <stdio.h>
#include <string.h>

#include <mutex>

namespace {

constexpr size_t kMaxTrayIcons = 8;

struct TraySlot {
  int in_use;
  TrayIcon icon;
};

TraySlot g_tray[kMaxTrayIcons];

// Made on first use and never destroyed: nothing is torn down at exit while
// another thread may still change an icon.
std::mutex& TrayLock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}

using TrayLockGuard = std::lock_guard<std::mutex>;

// Called with the lock held.
TraySlot* FindIcon(PlatformWindow window, unsigned id) {
  for (TraySlot& s : g_tray) {
    if (s.in_use && s.icon.window == window && s.icon.id == id) return &s;
  }
  return nullptr;
}

// Copies the members that flags name from src into dst; the tip always ends
// with its terminator, whatever src held.
void ApplyChange(TrayIcon* dst, const TrayIcon* src) {
  if (src->flags & kTrayFlagMessage) dst->callback_message = src->callback_message;
  if (src->flags & kTrayFlagIcon) {
    dst->icon_resource = src->icon_resource;
    dst->balloon_icon_resource = src->balloon_icon_resource;
  }
  if (src->flags & kTrayFlagTip) {
    memcpy(dst->tip, src->tip, sizeof dst->tip);
    dst->tip[sizeof dst->tip - 1] = '\0';
  }
  dst->flags |= src->flags;
}

void Announce(const char* action, const TrayIcon* icon) {
  // One call per line so that lines of other threads never split it.
  fprintf(stdout, "tray %s id=%u icon=%d tip=%s\n", action, icon->id, icon->icon_resource,
          icon->tip);
  fflush(stdout);
}

}  // namespace

int TrayTableAdd(const TrayIcon* icon) {
  if (icon == nullptr) return 0;
  TrayLockGuard guard(TrayLock());
  if (FindIcon(icon->window, icon->id) != nullptr) return 0;
  for (TraySlot& s : g_tray) {
    if (s.in_use) continue;
    memset(&s, 0, sizeof s);
    s.in_use = 1;
    s.icon.window = icon->window;
    s.icon.id = icon->id;
    ApplyChange(&s.icon, icon);
    Announce("add", &s.icon);
    return 1;
  }
  return 0;
}

int TrayTableModify(const TrayIcon* icon) {
  if (icon == nullptr) return 0;
  TrayLockGuard guard(TrayLock());
  TraySlot* s = FindIcon(icon->window, icon->id);
  if (s == nullptr) return 0;
  ApplyChange(&s->icon, icon);
  Announce("modify", &s->icon);
  return 1;
}

int TrayTableLookup(PlatformWindow window, unsigned id, TrayIcon* out) {
  TrayLockGuard guard(TrayLock());
  TraySlot* s = FindIcon(window, id);
  if (s == nullptr || out == nullptr) return 0;
  *out = s->icon;
  return 1;
}

int TrayTableDelete(PlatformWindow window, unsigned id) {
  TrayLockGuard guard(TrayLock());
  TraySlot* s = FindIcon(window, id);
  if (s == nullptr) return 0;
  s->in_use = 0;
  return 1;
}
