// GetExeDir of platform.h, the same on every platform once the executable's
// path is known.
#include <stdio.h>
#include <string.h>

#include "platform/platform.h"

int GetExeDir(char* out, size_t cap) {
  char path[kExePathBytes] = {0};
  if (out == nullptr || cap == 0 || PlatformExePath(path, sizeof path) != 0) return -1;
  char* last = strrchr(path, kPathSeparator);
  if (last != nullptr) *last = '\0';
  snprintf(out, cap, "%s", path);
  return 0;
}
