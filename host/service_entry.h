// The program's entry, shared by every platform's main: settings, the trace
// path, the hidden window, the service and tray-retry threads, and the
// window's message loop, which runs on the calling (main) thread until the
// process is ended from outside.
//
// Results, in every header of this folder: predicates return bool; an
// operation that can fail returns 0 or -1 and is [[nodiscard]]; a function
// that makes a record returns it, or null. RunService returns the process's
// exit code.
#pragma once

#include "base/service_settings.h"

inline constexpr unsigned kTrayRetryMs = 10000;

// The process-wide settings: RunService fills them from the command line
// before any other thread starts; afterwards every thread only reads them.
extern ServiceSettings g_settings;

// Runs the service with the command line as single-byte texts. Returns 0 when
// the message loop ends, -1 when the window class or the window cannot be
// made, 1 when the service thread cannot be started.
int RunService(int argc, const char* const* argv);

// Posts TRAY_UPDATE_MESSAGE to the window every kTrayRetryMs until the window
// has handled it once.
void TrayRetryThread();
