// The service thread: owns the network manager and with it every connection,
// request and endpoint, and the device thread on which captures and matches
// call the reader. It builds the handle table, the listener with the HTTP
// handler and the API router, TLS with -s, the certificate check and the key
// pair, then polls (at least once a second) for the life of the process.
// Fatal start-up errors end the whole process with exit code 1.
#pragma once

#include "host/service_handles.h"

inline constexpr int kPollTimeoutMs = 1000;
inline constexpr int kFatalExitCode = 1;

// The service's handle table, made by the service thread at its start.
extern ServiceHandleTable* g_service_handles;

// The thread's body (started by the entry with no argument).
void ServiceThread();

// The port number the start-up error names for an address text: the digits
// after the last ':' (and any '/' of a scheme), else those at its start; 0
// when there are none ("8000" and "127.0.0.1:8000" give 8000).
int ConfiguredPortNumber(const char* address);
