// The operating-system layer: the few process, file-system and desktop facts
// the rest of the service needs. Everything that differs between Windows and
// POSIX lives behind these calls; no other folder tests _WIN32.
//
// Results: predicates return bool; operations that can fail return 0 or -1
// (sockets: the counts of the BSD calls, or -1). The window and tray calls
// keep the form of the Windows calls they stand for: 1 done, 0 not.
#pragma once

#include <cstddef>
#include <cstdio>

// Separator between directories in a path as this platform writes it.
#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// printf format of the trace file; the root stands for the root of the
// current drive, so every run writes its own file named by its process id.
#ifdef _WIN32
inline constexpr const char* kTracePathFormat = "\\logs\\trace-%05d.txt";
#else
inline constexpr const char* kTracePathFormat = "/logs/trace-%05d.txt";
#endif

// Largest path the executable's location is reported with, terminator included.
inline constexpr size_t kExePathBytes = 260;

// Id of the running process.
int PlatformProcessId();

// Full path of the running executable into out (at most cap bytes with the
// terminator; on Windows in the ANSI code page, as the file calls take it).
// Returns 0 on success, -1 when the platform gives no path or it does not fit.
[[nodiscard]] int PlatformExePath(char* out, size_t cap);

// The directory of the running executable: its full path (at most
// kExePathBytes) cut at its last separator, without a trailing separator.
// Returns 0 on success and -1 when the platform gives no path.
[[nodiscard]] int GetExeDir(char* out, size_t cap);

// The base of the user's own data files where the platform has one, without
// a trailing separator: on POSIX $XDG_DATA_HOME, or $HOME/.local/share when
// that is unset, empty or not absolute (the XDG base-directory rules), so
// that a program installed where the user may not write still has a place
// for files made per user. Windows has none: the program's files stay beside
// the executable there. Returns 0, or -1 when there is none or it does not
// fit in cap bytes (a cut path would name another directory).
[[nodiscard]] int PlatformUserDataHome(char* out, size_t cap);

// A modal message box with an OK button and no owner window; returns when it
// is closed. The caption and the text also go to standard error as one line,
// where a script that started the program can read them; where there is no
// desktop (Linux) that line is all, and the call returns at once. Returns the
// box's result (1: OK).
int PlatformMessageBox(const char* caption, const char* text);

// Sleeps the calling thread for ms milliseconds.
void PlatformSleepMs(unsigned ms);

// Milliseconds from an arbitrary fixed point, never going backwards.
unsigned long long PlatformMonotonicMs();

// Makes a standard stream carry bytes unchanged. On Windows the C runtime
// otherwise turns line ends around and ends reading at byte 0x1A; on POSIX
// there is nothing to change.
void PlatformSetBinaryMode(FILE* stream);

// The exit code of a command that pclose() or system() reports on with
// status, or -1 when it did not end normally (a signal, no shell).
int PlatformCommandExitCode(int status);

// Sets the environment variable name to value for this process (what getenv
// reads afterwards); a null value removes it. Returns 0, or -1 on failure.
[[nodiscard]] int PlatformSetEnv(const char* name, const char* value);
