// POSIX entry of kestrav-service: the service runs in the foreground of its
// terminal (or under a supervisor) and ends when it is signalled.
#include <signal.h>
#include <stdio.h>

#include "host/service_entry.h"

int main(int argc, char** argv) {
  // A peer that closes its end while a reply is written must cost that
  // connection only, not the process.
  signal(SIGPIPE, SIG_IGN);
  // Each console line (listening, tray, diagnostics) is visible at once even
  // when standard output is a pipe.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  return RunService(argc, argv);
}
