// Windows entry of kestrav-service: a GUI program without a console. The wide
// command line is split and converted to texts in the ANSI code page, the one
// the file calls of the shared entry take, before the shared entry runs.
#include <windows.h>
// shellapi.h needs the types of windows.h first.
#include <shellapi.h>
#include <stdio.h>

#include "host/service_entry.h"

namespace {

constexpr int kArgBytes = 260;  // per argument, terminator included; longer ones are cut
constexpr int kMaxArgs = 64;    // further arguments are ignored

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  // Without a console standard output is nowhere, unless whoever started the
  // program redirected it (a script learns the port from it): unbuffered, so
  // each line leaves at once; the C runtime here has no line buffering.
  setvbuf(stdout, nullptr, _IONBF, 0);

  int argc = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (wide == nullptr) return -1;
  if (argc > kMaxArgs) argc = kMaxArgs;
  static char texts[kMaxArgs][kArgBytes];
  const char* argv[kMaxArgs];
  for (int i = 0; i < argc; i++) {
    // Characters the code page lacks become '?'; a cut text keeps its
    // terminator.
    int n = WideCharToMultiByte(CP_ACP, 0, wide[i], -1, texts[i], kArgBytes, nullptr, nullptr);
    if (n == 0) texts[i][kArgBytes - 1] = '\0';
    argv[i] = texts[i];
  }
  LocalFree(wide);
  return RunService(argc, argv);
}
