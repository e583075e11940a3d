// The desktop side of the platform: a window class, one hidden window whose
// message queue any thread may post to, and the loop that runs the window's
// procedure on the thread that created it. On Linux there is no desktop: the
// window is a record with a queue, and its show state is only remembered.
// Threads: post from anywhere; get and dispatch on the window's own thread.
#pragma once

#include <cstddef>
#include <cstdint>

// Opaque handle of a window (an HWND on Windows); null means none.
using PlatformWindow = void*;

// A window procedure: the window, the message number and its two parameters.
using PlatformWindowProc = intptr_t (*)(PlatformWindow window, unsigned message, uintptr_t wparam,
                                        intptr_t lparam);

// One queued message as the loop hands it out.
struct PlatformMessage {
  PlatformWindow window;
  unsigned message;
  uintptr_t wparam;
  intptr_t lparam;
};

// Messages a window can hold before a post fails.
inline constexpr size_t kWindowQueueCapacity = 256;

// Show commands, named after what the window looks like afterwards.
enum PlatformShowCommand : int {
  kShowHidden = 0,
  kShowNormal = 1,
  kShowMinimised = 2,
};

// What is known about a window's look, for diagnostics and tests.
struct PlatformWindowState {
  int visible;
  int minimised;
  int topmost;
  int x, y, width, height;
};

// Registers a window class whose windows run proc, with a solid background of
// the given 0xRRGGBB colour. Returns 1, or 0 when the name is taken or the
// class table is full.
[[nodiscard]] int PlatformRegisterWindowClass(const char* class_name, PlatformWindowProc proc,
                                              unsigned background_rgb);

// Creates a window of a registered class, minimised and not visible, at the
// given place and size. The calling thread becomes its owner: only that thread
// may get its messages. Returns null when the class is unknown or no window
// can be made.
[[nodiscard]] PlatformWindow PlatformCreateWindow(const char* class_name, const char* title, int x,
                                                  int y, int width, int height);

// Releases the window; a thread blocked in PlatformGetMessage for it returns
// -1. Nothing in the service destroys its window; tests do.
void PlatformDestroyWindow(PlatformWindow window);

// Size of the primary screen in pixels (a fixed 1024 x 768 where there is no
// screen).
void PlatformScreenSize(int* width, int* height);

// Queues a message for the window; callable from any thread. Returns 1, or 0
// when the window does not exist or its queue is full.
int PlatformPostMessage(PlatformWindow window, unsigned message, uintptr_t wparam, intptr_t lparam);

// Asks the loop of the window to end: its PlatformGetMessage returns 0 once the
// messages queued before have been taken.
void PlatformPostQuitMessage(PlatformWindow window);

// Waits for the next message of the window. Returns 1 with *out filled, 0 when
// the quit request is next, -1 when the window does not exist.
int PlatformGetMessage(PlatformWindow window, PlatformMessage* out);

// Runs the window's procedure for the message on the calling thread and
// returns its result.
intptr_t PlatformDispatchMessage(const PlatformMessage* msg);

// The default handling of every message; procedures end with it.
intptr_t PlatformDefWindowProc(PlatformWindow window, unsigned message, uintptr_t wparam,
                               intptr_t lparam);

// Changes whether the window is shown, normal or minimised.
void PlatformShowWindow(PlatformWindow window, PlatformShowCommand command);

// Puts the window above all others and shows it, keeping place and size.
void PlatformMakeTopmost(PlatformWindow window);

// Reads the window's look into *out; returns 0 when the window does not exist.
[[nodiscard]] int PlatformGetWindowState(PlatformWindow window, PlatformWindowState* out);

// Starts fn on a new detached thread with the default stack size. Returns 1,
// or 0 when no thread could be started.
[[nodiscard]] int PlatformStartThread(void (*fn)());
