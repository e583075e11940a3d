#include "host/trace_log.h"

#include <stdarg.h>
#include <stdio.h>

#include "host/service_settings.h"
#include "platform/platform.h"

bool trace_enabled(int level) {
  int current = g_settings.trace_level;
  return current > 0 && (level == current || current == 99);
}

void trace_log(int level, const char* format, ...) {
  if (!trace_enabled(level)) return;
  char entry[kTraceEntryBytes] = {0};
  va_list ap;
  va_start(ap, format);
  vsnprintf(entry, sizeof entry, format, ap);
  va_end(ap);
  FILE* f = fopen(g_settings.log_path, "a");
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
