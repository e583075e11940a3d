#include "base/service_settings.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "base/trace_tags.h"
#include "platform/platform.h"

namespace {

// Case-insensitive test of the first n characters, as the options are matched.
bool StartsWithNoCase(const char* arg, const char* option, size_t n) {
  return strlen(arg) >= n && strncasecmp(arg, option, n) == 0;
}

// Everything after the first ':' of the argument, or null when it has none.
const char* OptionValue(const char* arg) {
  const char* colon = strchr(arg, ':');
  return colon == nullptr ? nullptr : colon + 1;
}

// Copies the value into a field of cap bytes, cutting it to cap - 1 characters.
void CopyCut(char* field, size_t cap, const char* value) {
  snprintf(field, cap, "%s", value);
}

void ApplyTraceLevel(ServiceSettings* s, const char* value) {
  CopyCut(s->trace_level_text, sizeof s->trace_level_text, value);
  s->trace_level = atoi(s->trace_level_text);
}

void DeriveCertPath(ServiceSettings* s, const char* arg0) {
  // The name the program was started by may be a link or a bare name found
  // on the search path; only the executable's own directory is the one the
  // certificate check reads too.
  if (ServerCertificatePath(s->cert_path, sizeof s->cert_path) == 0) return;
  // The directory is taken from the whole argument, so a path longer than the
  // field still names server.pem in the right place before it is cut.
  const char* last = strrchr(arg0, kPathSeparator);
  int dir_len = last == nullptr ? 0 : static_cast<int>(last - arg0) + 1;
  snprintf(s->cert_path, sizeof s->cert_path, "%.*s%s", dir_len, arg0, kCertFileName);
}

// The trace path for the process: in the -logs: folder when one was given
// and the whole path fits, else the fixed one.
void FormatLogPath(ServiceSettings* s, const char* logs_dir, int pid) {
  if (logs_dir != nullptr) {
    int n = snprintf(s->log_path, sizeof s->log_path, "%s%c", logs_dir, kPathSeparator);
    if (n > 0 && static_cast<size_t>(n) < sizeof s->log_path) {
      size_t used = static_cast<size_t>(n);
      int m = snprintf(s->log_path + used, sizeof s->log_path - used, kTraceFileFormat, pid);
      if (m > 0 && static_cast<size_t>(m) < sizeof s->log_path - used) return;
    }
    fprintf(stderr, "-logs: folder too long for a trace path of %d bytes; tracing to %s\n",
            static_cast<int>(sizeof s->log_path - 1), kTracePathFormat);
  }
  snprintf(s->log_path, sizeof s->log_path, kTracePathFormat, pid);
}

bool IsReadableFile(const char* path) {
  FILE* f = fopen(path, "rb");
  if (f == nullptr) return false;
  fclose(f);
  return true;
}

}  // namespace

int UserCertificatePath(char* out, size_t cap) {
  char home[kExePathBytes] = {0};
  if (out == nullptr || cap == 0 || PlatformUserDataHome(home, sizeof home) != 0) return -1;
  int n = snprintf(out, cap, "%s%c%s%c%s", home, kPathSeparator, kUserDataFolder, kPathSeparator,
                   kCertFileName);
  if (n <= 0 || static_cast<size_t>(n) >= cap) {
    out[0] = '\0';
    return -1;
  }
  return 0;
}

int ServerCertificatePath(char* out, size_t cap) {
  if (out == nullptr || cap == 0) return -1;
  if (UserCertificatePath(out, cap) == 0 && IsReadableFile(out)) return 0;
  char dir[kExePathBytes] = {0};
  if (GetExeDir(dir, sizeof dir) != 0) {
    out[0] = '\0';
    return -1;
  }
  snprintf(out, cap, "%s%c%s", dir, kPathSeparator, kCertFileName);
  return 0;
}

void ServiceSettingsDefaults(ServiceSettings* settings) {
  *settings = ServiceSettings{0, "8000", "NX51", 0, "000", 0, "", "", ""};
}

void ParseServiceSettings(int argc, const char* const* argv, int pid, ServiceSettings* settings) {
  ServiceSettings* s = settings;
  ServiceSettingsDefaults(s);

  // The trace level must be known before anything else is traced. The
  // folder may be given before or after the level.
  const char* logs_dir = nullptr;
  bool tracing = false;
  for (int i = 0; i < argc; i++) {
    const char* value = OptionValue(argv[i]);
    if (StartsWithNoCase(argv[i], "-logs:", 6) && value[0] != '\0') logs_dir = value;
    if (StartsWithNoCase(argv[i], "-dl", 3) && value != nullptr) {
      ApplyTraceLevel(s, value);
      tracing = true;
    }
  }
  if (tracing) FormatLogPath(s, logs_dir, pid);
  TraceLogConfigure(s->trace_level, s->log_path);

  if (argc > 0) DeriveCertPath(s, argv[0]);

  if (trace_enabled(kTraceEverything)) {
    for (int i = 0; i < argc; i++) {
      char text[kArgTraceBytes] = {0};
      snprintf(text, sizeof text, "arg[%d]:[%s]\n", i, argv[i]);
      trace_log(kTraceEverything, "[%s]: %s", kTagArguments, text);
    }
  }

  for (int i = 0; i < argc; i++) {
    const char* arg = argv[i];
    const char* value = OptionValue(arg);
    if (StartsWithNoCase(arg, "-s", 2)) s->use_https = 1;
    if (value == nullptr) continue;
    if (StartsWithNoCase(arg, "-p:", 3)) CopyCut(s->port, sizeof s->port, value);
    if (StartsWithNoCase(arg, "-hp:", 4)) CopyCut(s->http_port, sizeof s->http_port, value);
    if (StartsWithNoCase(arg, "-d:", 3)) CopyCut(s->device_name, sizeof s->device_name, value);
    if (StartsWithNoCase(arg, "-dl", 3)) ApplyTraceLevel(s, value);
    if (StartsWithNoCase(arg, "-cp", 3)) {
      char text[kComPortTextBytes] = "00";
      CopyCut(text, sizeof text, value);
      s->com_port = atoi(text);
    }
  }
}
