// Windows entry of kestrav-service (a GUI program without a console; kept for
// the Windows build, not compiled on Linux). The wide command line is
// converted to single-byte texts for the shared entry.
#include <shellapi.h>
#include <stdlib.h>
#include <windows.h>

#include "host/service_entry.h"

namespace {

constexpr size_t kArgBytes = 260;
constexpr int kMaxArgs = 64;

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  int argc = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (wide == nullptr) return -1;
  if (argc > kMaxArgs) argc = kMaxArgs;
  static char texts[kMaxArgs][kArgBytes];
  const char* argv[kMaxArgs];
  for (int i = 0; i < argc; i++) {
    size_t converted = 0;
    wcstombs_s(&converted, texts[i], kArgBytes, wide[i], _TRUNCATE);
    argv[i] = texts[i];
  }
  LocalFree(wide);
  return RunService(argc, argv);
}
