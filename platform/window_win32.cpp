// Win32 forms of the window calls of window.h. The registered procedures have
// the portable shape, so one shared WNDPROC looks the class's procedure up and
// forwards to it. Classes are registered on the main thread before any window
// exists; the table is only read afterwards.
#include <process.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "platform/window.h"

namespace {

constexpr size_t kMaxWindowClasses = 8;

struct WindowClass {
  char name[64];
  PlatformWindowProc proc;
};

WindowClass g_classes[kMaxWindowClasses];
size_t g_class_count = 0;

PlatformWindowProc ProcOfWindow(HWND hwnd) {
  char name[64] = {0};
  if (GetClassNameA(hwnd, name, sizeof name) == 0) return nullptr;
  for (size_t i = 0; i < g_class_count; i++) {
    if (strcmp(g_classes[i].name, name) == 0) return g_classes[i].proc;
  }
  return nullptr;
}

LRESULT CALLBACK ForwardingWndProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  PlatformWindowProc proc = ProcOfWindow(hwnd);
  if (proc == nullptr) return DefWindowProcA(hwnd, message, wparam, lparam);
  return proc(hwnd, message, wparam, lparam);
}

unsigned __stdcall ThreadTrampoline(void* arg) {
  reinterpret_cast<void (*)()>(arg)();
  return 0;
}

}  // namespace

int PlatformRegisterWindowClass(const char* class_name, PlatformWindowProc proc,
                                unsigned background_rgb) {
  if (class_name == nullptr || proc == nullptr || g_class_count == kMaxWindowClasses ||
      strlen(class_name) >= sizeof g_classes[0].name) {
    return 0;
  }
  // Windows takes colours as 0x00BBGGRR.
  COLORREF colour =
      RGB((background_rgb >> 16) & 0xFF, (background_rgb >> 8) & 0xFF, background_rgb & 0xFF);
  WNDCLASSA wc = {};
  wc.style = 0;
  wc.lpfnWndProc = ForwardingWndProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.hbrBackground = CreateSolidBrush(colour);
  wc.lpszClassName = class_name;
  if (RegisterClassA(&wc) == 0) {
    DeleteObject(wc.hbrBackground);
    return 0;
  }
  snprintf(g_classes[g_class_count].name, sizeof g_classes[0].name, "%s", class_name);
  g_classes[g_class_count].proc = proc;
  g_class_count++;
  return 1;
}

PlatformWindow PlatformCreateWindow(const char* class_name, const char* title, int x, int y,
                                    int width, int height) {
  return CreateWindowExA(0, class_name, title, WS_MINIMIZE, x, y, width, height, nullptr, nullptr,
                         GetModuleHandleA(nullptr), nullptr);
}

void PlatformDestroyWindow(PlatformWindow window) {
  DestroyWindow(static_cast<HWND>(window));
}

void PlatformScreenSize(int* width, int* height) {
  if (width != nullptr) *width = GetSystemMetrics(SM_CXSCREEN);
  if (height != nullptr) *height = GetSystemMetrics(SM_CYSCREEN);
}

int PlatformPostMessage(PlatformWindow window, unsigned message, uintptr_t wparam,
                        intptr_t lparam) {
  return PostMessageA(static_cast<HWND>(window), message, wparam, lparam) ? 1 : 0;
}

// PostQuitMessage would reach the calling thread's queue, not the window's
// (whose loop, filtered for the window, would not see it either); a quit
// posted to the window itself arrives after the messages queued before it.
void PlatformPostQuitMessage(PlatformWindow window) {
  PostMessageA(static_cast<HWND>(window), WM_QUIT, 0, 0);
}

int PlatformGetMessage(PlatformWindow window, PlatformMessage* out) {
  MSG msg;
  BOOL r = GetMessageA(&msg, static_cast<HWND>(window), 0, 0);
  if (r > 0 && out != nullptr) {
    *out = PlatformMessage{msg.hwnd, msg.message, msg.wParam, msg.lParam};
  }
  return r > 0 ? 1 : (r == 0 ? 0 : -1);
}

intptr_t PlatformDispatchMessage(const PlatformMessage* msg) {
  if (msg == nullptr) return 0;
  MSG m = {};
  m.hwnd = static_cast<HWND>(msg->window);
  m.message = msg->message;
  m.wParam = msg->wparam;
  m.lParam = msg->lparam;
  TranslateMessage(&m);
  return DispatchMessageA(&m);
}

intptr_t PlatformDefWindowProc(PlatformWindow window, unsigned message, uintptr_t wparam,
                               intptr_t lparam) {
  return DefWindowProcA(static_cast<HWND>(window), message, wparam, lparam);
}

void PlatformShowWindow(PlatformWindow window, PlatformShowCommand command) {
  int show =
      command == kShowHidden ? SW_HIDE : (command == kShowMinimised ? SW_MINIMIZE : SW_SHOWNORMAL);
  ShowWindow(static_cast<HWND>(window), show);
}

void PlatformMakeTopmost(PlatformWindow window) {
  SetWindowPos(static_cast<HWND>(window), HWND_TOPMOST, 0, 0, 0, 0,
               SWP_NOMOVE | SWP_NOSIZE | SWP_SHOWWINDOW);
}

int PlatformGetWindowState(PlatformWindow window, PlatformWindowState* out) {
  HWND hwnd = static_cast<HWND>(window);
  RECT r;
  if (out == nullptr || !GetWindowRect(hwnd, &r)) return 0;
  out->visible = IsWindowVisible(hwnd) ? 1 : 0;
  out->minimised = IsIconic(hwnd) ? 1 : 0;
  out->topmost = (GetWindowLongA(hwnd, GWL_EXSTYLE) & WS_EX_TOPMOST) ? 1 : 0;
  out->x = r.left;
  out->y = r.top;
  out->width = r.right - r.left;
  out->height = r.bottom - r.top;
  return 1;
}

int PlatformStartThread(void (*fn)()) {
  if (fn == nullptr) return 0;
  uintptr_t h =
      _beginthreadex(nullptr, 0, ThreadTrampoline, reinterpret_cast<void*>(fn), 0, nullptr);
  if (h == 0) return 0;
  CloseHandle(reinterpret_cast<HANDLE>(h));
  return 1;
}
