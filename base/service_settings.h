// The service's settings as the command line gives them. The host keeps the
// one process-wide record: its main thread fills it before any other thread
// starts, and afterwards it is only read.
#pragma once

#include <cstddef>

#include "base/trace_log.h"

struct ServiceSettings {
  int use_https;                   // -s: serve HTTPS instead of HTTP
  char port[16];                   // -p: listening address string, normally a port
  char device_name[16];            // -d: reader model name handed to the device layer
  int trace_level;                 // -dl: 0 or negative off, 99 everything, else one level
  char trace_level_text[8];        // scratch text the -dl value is converted through
  int com_port;                    // -cp: COM port of a serial reader
  char cert_path[256];             // ServerCertificatePath: the user's, else beside the executable
  char log_path[kTracePathBytes];  // trace file; empty unless -dl: was given
  char http_port[16];              // -hp: a second, plain-HTTP listening address; empty: none
};

inline constexpr size_t kComPortTextBytes = 4;  // 3 digits and the terminator
inline constexpr size_t kArgTraceBytes = 260;   // one traced argument line

inline constexpr char kCertFileName[] = "server.pem";

// The folder of this program's per-user files under the platform's user data
// home (PlatformUserDataHome): where an installed program, whose own
// directory the user may not write, keeps the certificate made for the user.
inline constexpr char kUserDataFolder[] = "kestrav";

// The trace file's name inside the folder given with -logs:.
inline constexpr char kTraceFileFormat[] = "trace-%05d.txt";

// The user's own server.pem, <user data home>/kestrav/server.pem, whether or
// not it exists. Returns 0, or -1 when the platform has no user data home
// (Windows) or the path does not fit in cap bytes.
[[nodiscard]] int UserCertificatePath(char* out, size_t cap);

// The server.pem TLS loads and the certificate check reads, so that both read
// the same file: the user's own (UserCertificatePath) when it is there and
// readable, else the one in the directory of the running executable as the
// platform reports it (GetExeDir: links resolved on POSIX, the module's file
// on Windows), never the name the program was started by. The latter is cut
// to cap - 1 characters. Returns 0, or -1 when neither path can be formed.
[[nodiscard]] int ServerCertificatePath(char* out, size_t cap);

// Puts the defaults into *settings: HTTP on "8000", reader "NX51", tracing off.
void ServiceSettingsDefaults(ServiceSettings* settings);

// Reads the command line into *settings, starting from the defaults: the
// pre-scan for -dl (trace level and trace path named with pid: in the folder
// that -logs:DIR names, else kTracePathFormat's /logs), which also configures
// the trace log so that the arguments can be traced; cert_path
// (ServerCertificatePath, or beside argv[0] when the platform gives no path);
// the argument trace at level 99; then the six options. Values longer than
// their field are cut to it, except a -logs: folder whose trace path does not
// fit: a cut path would name another file, so it is refused with a line on
// standard error and the trace goes to /logs.
void ParseServiceSettings(int argc, const char* const* argv, int pid, ServiceSettings* settings);
