// Win32 forms of the process and desktop calls of platform.h.
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

#include "platform/platform.h"

int PlatformProcessId() {
  return static_cast<int>(GetCurrentProcessId());
}

int PlatformExePath(char* out, size_t cap) {
  if (out == nullptr || cap == 0) return 1;
  const DWORD room = cap > MAXDWORD ? MAXDWORD : static_cast<DWORD>(cap);
  const DWORD n = GetModuleFileNameA(nullptr, out, room);
  // A path that fills the buffer was cut short (and may lack its terminator).
  if (n == 0 || n >= room) {
    out[0] = '\0';
    return 1;
  }
  return 0;
}

int PlatformMessageBox(const char* caption, const char* text) {
  fprintf(stderr, "%s: %s\n", caption, text);
  fflush(stderr);
  return MessageBoxA(nullptr, text, caption, MB_OK);
}

void PlatformSleepMs(unsigned ms) {
  Sleep(ms);
}

unsigned long long PlatformMonotonicMs() {
  return GetTickCount64();
}

void PlatformSetBinaryMode(FILE* stream) {
  _setmode(_fileno(stream), _O_BINARY);
}

// _pclose and system report the command's own exit code.
int PlatformCommandExitCode(int status) {
  return status;
}

int PlatformUserDataHome(char* out, size_t cap) {
  if (out != nullptr && cap > 0) out[0] = '\0';
  return -1;
}

int PlatformSetEnv(const char* name, const char* value) {
  if (name == nullptr) return -1;
  // An empty value removes the variable from the C runtime's environment,
  // which is the one getenv reads.
  return _putenv_s(name, value == nullptr ? "" : value) == 0 ? 0 : -1;
}
