#include "base/trace_log.h"

#include <stdarg.h>
#include <stdio.h>

#include "platform/platform.h"

namespace {

// Written before the other threads start, read by all afterwards.
int g_trace_level = 0;
char g_trace_path[kTracePathBytes] = "";

}  // namespace

void TraceLogConfigure(int level, const char* path) {
  g_trace_level = level;
  snprintf(g_trace_path, sizeof g_trace_path, "%s", path == nullptr ? "" : path);
}

bool trace_enabled(int level) {
  int current = g_trace_level;
  return current > 0 && (level == current || current == kTraceEverything);
}

void trace_log(int level, const char* format, ...) {
  if (!trace_enabled(level)) return;
  char entry[kTraceEntryBytes] = {0};
  va_list ap;
  va_start(ap, format);
  vsnprintf(entry, sizeof entry, format, ap);
  va_end(ap);
  FILE* f = fopen(g_trace_path, "a");
  if (f == nullptr) return;
  fputs(entry, f);
  fputc('\n', f);
  fclose(f);
}

int ShowErrorBox(const char* format, ...) {
  char text[kTraceEntryBytes] = {0};
  va_list ap;
  va_start(ap, format);
  vsnprintf(text, sizeof text, format, ap);
  va_end(ap);
  return PlatformMessageBox(kErrorBoxCaption, text);
}
