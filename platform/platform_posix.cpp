// POSIX forms of the process and desktop calls of platform.h.
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "platform/platform.h"

int PlatformProcessId() {
  return static_cast<int>(getpid());
}

int PlatformExePath(char* out, size_t cap) {
  if (out == nullptr || cap == 0) return -1;
  ssize_t n = readlink("/proc/self/exe", out, cap - 1);
  if (n <= 0 || static_cast<size_t>(n) >= cap - 1) {
    out[0] = '\0';
    return -1;
  }
  out[n] = '\0';
  return 0;
}

int PlatformMessageBox(const char* caption, const char* text) {
  fprintf(stderr, "%s: %s\n", caption, text);
  fflush(stderr);
  return 1;
}

void PlatformSleepMs(unsigned ms) {
  struct timespec ts;
  ts.tv_sec = ms / 1000;
  ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  while (nanosleep(&ts, &ts) != 0) {
  }
}

void PlatformSetBinaryMode(FILE*) {}

int PlatformCommandExitCode(int status) {
  return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int PlatformUserDataHome(char* out, size_t cap) {
  if (out == nullptr || cap == 0) return -1;
  out[0] = '\0';
  // A relative XDG_DATA_HOME is invalid and ignored, as the base-directory
  // rules say: it would depend on where the program happened to be started.
  const char* xdg = getenv("XDG_DATA_HOME");
  const char* home = getenv("HOME");
  int n = -1;
  if (xdg != nullptr && xdg[0] == '/') {
    n = snprintf(out, cap, "%s", xdg);
  } else if (home != nullptr && home[0] == '/') {
    n = snprintf(out, cap, "%s/.local/share", home);
  }
  if (n <= 0 || static_cast<size_t>(n) >= cap) {
    out[0] = '\0';
    return -1;
  }
  // "/home/u/" and "/home/u" name one directory; keep the form without.
  while (n > 1 && out[n - 1] == '/') out[--n] = '\0';
  return 0;
}

int PlatformSetEnv(const char* name, const char* value) {
  if (name == nullptr) return -1;
  return (value == nullptr ? unsetenv(name) : setenv(name, value, 1)) == 0 ? 0 : -1;
}

unsigned long long PlatformMonotonicMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<unsigned long long>(ts.tv_sec) * 1000ULL +
         static_cast<unsigned long long>(ts.tv_nsec) / 1000000ULL;
}
