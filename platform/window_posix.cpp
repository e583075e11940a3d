// POSIX forms of the window calls of window.h: fixed tables of classes and
// windows under one lock, each window with a ring of queued messages. The lock
// and condition use static initialisers, so nothing is torn down while a
// thread still waits in PlatformGetMessage when the process exits.
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "platform/window.h"

namespace {

constexpr size_t kMaxWindowClasses = 8;
constexpr size_t kMaxWindows = 8;
constexpr size_t kWindowNameBytes = 64;
constexpr int kNoScreenWidth = 1024;
constexpr int kNoScreenHeight = 768;

struct WindowClass {
  int in_use;
  char name[kWindowNameBytes];
  PlatformWindowProc proc;
  unsigned background_rgb;
};

// A window's queue is a ring of kWindowQueueCapacity messages starting at head.
struct WindowRecord {
  int in_use;
  size_t class_index;
  char title[kWindowNameBytes];
  PlatformWindowState state;
  PlatformMessage queue[kWindowQueueCapacity];
  size_t head;
  size_t count;
  int quit_pending;  // a quit request waits behind the queued messages
  size_t quit_at;    // messages still to be taken before the quit
};

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_queue_changed = PTHREAD_COND_INITIALIZER;
WindowClass g_classes[kMaxWindowClasses];
WindowRecord g_windows[kMaxWindows];

// Holds g_lock for one scope.
class LockGuard {
 public:
  LockGuard() { pthread_mutex_lock(&g_lock); }
  ~LockGuard() { pthread_mutex_unlock(&g_lock); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;
};

// The record behind a handle, or null when the handle names no live window.
// Called with g_lock held.
WindowRecord* FindWindow(PlatformWindow window) {
  for (WindowRecord& w : g_windows) {
    if (&w == window) return w.in_use ? &w : nullptr;
  }
  return nullptr;
}

struct ThreadStart {
  void (*fn)();
};

void* ThreadTrampoline(void* arg) {
  ThreadStart start = *static_cast<ThreadStart*>(arg);
  free(arg);
  start.fn();
  return nullptr;
}

}  // namespace

int PlatformRegisterWindowClass(const char* class_name, PlatformWindowProc proc,
                                unsigned background_rgb) {
  if (class_name == nullptr || proc == nullptr || strlen(class_name) >= kWindowNameBytes) return 0;
  LockGuard guard;
  WindowClass* free_slot = nullptr;
  for (WindowClass& c : g_classes) {
    if (c.in_use && strcmp(c.name, class_name) == 0) return 0;
    if (!c.in_use && free_slot == nullptr) free_slot = &c;
  }
  if (free_slot == nullptr) return 0;
  free_slot->in_use = 1;
  snprintf(free_slot->name, sizeof free_slot->name, "%s", class_name);
  free_slot->proc = proc;
  free_slot->background_rgb = background_rgb;
  return 1;
}

PlatformWindow PlatformCreateWindow(const char* class_name, const char* title, int x, int y,
                                    int width, int height) {
  if (class_name == nullptr) return nullptr;
  LockGuard guard;
  size_t class_index = kMaxWindowClasses;
  for (size_t i = 0; i < kMaxWindowClasses; i++) {
    if (g_classes[i].in_use && strcmp(g_classes[i].name, class_name) == 0) class_index = i;
  }
  if (class_index == kMaxWindowClasses) return nullptr;
  for (WindowRecord& w : g_windows) {
    if (w.in_use) continue;
    memset(&w, 0, sizeof w);
    w.in_use = 1;
    w.class_index = class_index;
    snprintf(w.title, sizeof w.title, "%s", title == nullptr ? "" : title);
    w.state = PlatformWindowState{0, 1, 0, x, y, width, height};
    return &w;
  }
  return nullptr;
}

void PlatformDestroyWindow(PlatformWindow window) {
  LockGuard guard;
  WindowRecord* w = FindWindow(window);
  if (w == nullptr) return;
  w->in_use = 0;
  pthread_cond_broadcast(&g_queue_changed);
}

void PlatformScreenSize(int* width, int* height) {
  if (width != nullptr) *width = kNoScreenWidth;
  if (height != nullptr) *height = kNoScreenHeight;
}

int PlatformPostMessage(PlatformWindow window, unsigned message, uintptr_t wparam,
                        intptr_t lparam) {
  LockGuard guard;
  WindowRecord* w = FindWindow(window);
  if (w == nullptr || w->count == kWindowQueueCapacity) return 0;
  w->queue[(w->head + w->count) % kWindowQueueCapacity] =
      PlatformMessage{window, message, wparam, lparam};
  w->count++;
  pthread_cond_broadcast(&g_queue_changed);
  return 1;
}

void PlatformPostQuitMessage(PlatformWindow window) {
  LockGuard guard;
  WindowRecord* w = FindWindow(window);
  if (w == nullptr || w->quit_pending) return;
  w->quit_pending = 1;
  w->quit_at = w->count;
  pthread_cond_broadcast(&g_queue_changed);
}

int PlatformGetMessage(PlatformWindow window, PlatformMessage* out) {
  LockGuard guard;
  for (;;) {
    WindowRecord* w = FindWindow(window);
    if (w == nullptr) return -1;
    if (w->quit_pending && w->quit_at == 0) {
      w->quit_pending = 0;
      return 0;
    }
    if (w->count > 0) {
      if (out != nullptr) *out = w->queue[w->head];
      w->head = (w->head + 1) % kWindowQueueCapacity;
      w->count--;
      if (w->quit_pending) w->quit_at--;
      return 1;
    }
    pthread_cond_wait(&g_queue_changed, &g_lock);
  }
}

intptr_t PlatformDispatchMessage(const PlatformMessage* msg) {
  if (msg == nullptr) return 0;
  PlatformWindowProc proc = nullptr;
  {
    LockGuard guard;
    WindowRecord* w = FindWindow(msg->window);
    if (w != nullptr) proc = g_classes[w->class_index].proc;
  }
  // The procedure runs without the lock: it may post to its own window.
  if (proc == nullptr) return 0;
  return proc(msg->window, msg->message, msg->wparam, msg->lparam);
}

intptr_t PlatformDefWindowProc(PlatformWindow, unsigned, uintptr_t, intptr_t) {
  return 0;
}

void PlatformShowWindow(PlatformWindow window, PlatformShowCommand command) {
  LockGuard guard;
  WindowRecord* w = FindWindow(window);
  if (w == nullptr) return;
  switch (command) {
    case kShowHidden:
      w->state.visible = 0;
      break;
    case kShowNormal:
      w->state.visible = 1;
      w->state.minimised = 0;
      break;
    case kShowMinimised:
      w->state.visible = 1;
      w->state.minimised = 1;
      break;
  }
}

void PlatformMakeTopmost(PlatformWindow window) {
  LockGuard guard;
  WindowRecord* w = FindWindow(window);
  if (w == nullptr) return;
  w->state.topmost = 1;
  w->state.visible = 1;
}

int PlatformGetWindowState(PlatformWindow window, PlatformWindowState* out) {
  LockGuard guard;
  WindowRecord* w = FindWindow(window);
  if (w == nullptr || out == nullptr) return 0;
  *out = w->state;
  return 1;
}

int PlatformStartThread(void (*fn)()) {
  if (fn == nullptr) return 0;
  auto* start = static_cast<ThreadStart*>(malloc(sizeof(ThreadStart)));
  if (start == nullptr) return 0;
  start->fn = fn;
  pthread_t thread;
  if (pthread_create(&thread, nullptr, ThreadTrampoline, start) != 0) {
    free(start);
    return 0;
  }
  pthread_detach(thread);
  return 1;
}
