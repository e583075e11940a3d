#include "base/trace_log.h"

#include <stdarg.h>
#include <stdio.h>

#include <atomic>
#include <mutex>

#include "platform/platform.h"

namespace {

// Set before the other threads start (tests set them again between cases);
// the lock also keeps entries of the poll loop and the device thread from
// mixing within a line.
std::atomic<int> g_trace_level{0};
std::mutex g_trace_mutex;
char g_trace_path[kTracePathBytes] = "";  // under g_trace_mutex

}  // namespace

void TraceLogConfigure(int level, const char* path) {
  std::lock_guard<std::mutex> lock(g_trace_mutex);
  g_trace_level.store(level);
  snprintf(g_trace_path, sizeof g_trace_path, "%s", path == nullptr ? "" : path);
}

bool trace_enabled(int level) {
  int current = g_trace_level.load(std::memory_order_relaxed);
  return current > 0 && (level == current || current == kTraceEverything);
}

void trace_log(int level, const char* format, ...) {
  if (!trace_enabled(level)) return;
  char entry[kTraceEntryBytes + 1] = {0};  // the text and its line feed
  va_list ap;
  va_start(ap, format);
  int len = vsnprintf(entry, kTraceEntryBytes, format, ap);
  va_end(ap);
  if (len < 0) return;
  if (len > kTraceEntryBytes - 1) len = kTraceEntryBytes - 1;
  entry[len++] = '\n';
  // One write per entry, made under the lock, so a line is never split.
  std::lock_guard<std::mutex> lock(g_trace_mutex);
  FILE* f = fopen(g_trace_path, "a");
  if (f == nullptr) return;
  fwrite(entry, 1, static_cast<size_t>(len), f);
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
