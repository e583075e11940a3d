// Process-wide settings read from the command line. The main thread writes
// them once before any other thread starts; afterwards they are only read.
#pragma once

#include <cstddef>

struct ServiceSettings {
  int use_https;               // -s: serve HTTPS instead of HTTP
  char port[16];               // -p: listening address string, normally a port
  char device_name[16];        // -d: reader model name handed to the device layer
  int trace_level;             // -dl: 0 or negative off, 99 everything, else one level
  char trace_level_text[8];    // scratch text the -dl value is converted through
  int com_port;                // -cp: COM port of a serial reader
  char cert_path[256];         // server.pem beside the program as invoked
  char log_path[128];          // trace file; empty unless -dl: was given
};

inline constexpr size_t kComPortTextBytes = 4;  // 3 digits and the terminator
inline constexpr size_t kArgTraceBytes = 260;   // one traced argument line

extern ServiceSettings g_settings;

// Puts the defaults into *settings: HTTP on "8000", reader "NX51", tracing off.
void ServiceSettingsDefaults(ServiceSettings* settings);

// Reads the command line into g_settings, starting from the defaults: the
// pre-scan for -dl (trace level and trace path named with pid), cert_path from
// argv[0], the argument trace at level 99, then the five options. Values longer
// than their field are cut to it.
void ParseServiceSettings(int argc, const char* const* argv, int pid);
