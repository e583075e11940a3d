// Check of the HTTPS server certificate "server.pem" beside the executable:
// whether it can be read and how soon it expires. The finding is kept in the
// process-wide CertState, which only rises until the process restarts, and is
// shown by the tray icon. Checks run on the service thread; the tray window
// procedure reads the state on the main thread through CertStateSnapshot.
#pragma once

#include <cstddef>
#include <ctime>

inline constexpr size_t kCertMessageBytes = 128;
inline constexpr size_t kCertPathBytes = 2048;
// Largest certificate file read; a larger size (or the size a directory
// reports) counts as a buffer that cannot be had.
inline constexpr long kCertFileMaxBytes = 16L * 1024 * 1024;

// State numbers, in the order of their severity.
inline constexpr int kCertStateOk = 0;          // no finding (and always for HTTP)
inline constexpr int kCertStateUnreadable = 2;  // file not located, opened, read or buffered
inline constexpr int kCertStateExpires90 = 4;   // expires in less than 90 days
inline constexpr int kCertStateExpires30 = 6;   // expires in less than 30 days, or has expired

inline constexpr time_t kCertWarnSeconds90 = 7776000;  // 90 days
inline constexpr time_t kCertWarnSeconds30 = 2592000;  // 30 days

struct CertState {
  int state;                        // one of kCertState*
  char message[kCertMessageBytes];  // text of the current state; empty while it is 0
};

// Records a finding when its state is above the current one; a lower or equal
// finding changes nothing. The message is cut to 127 characters.
void RecordCertFinding(int state, const char* message);

// A consistent copy of the current state, for readers on other threads.
void CertStateSnapshot(CertState* out);

// Back to state 0. Only a restart lowers the state in the service; tests use it.
void CertStateReset();

// True when data[0 .. len) holds "-----BEGIN CERTIFICATE-----"; the offset
// of the first one goes to *offset (may be null).
[[nodiscard]] bool FindCertificateMarker(const char* data, size_t len, size_t* offset);

// The scan of a certificate file's bytes: finds the first certificate block
// (FindCertificateMarker), reads it and records its expiry finding against
// now. Bytes without a marker or a readable certificate record nothing.
void CheckCertificateText(const char* data, size_t len, time_t now);

// Reads the certificate file at path and records what it finds, taking now as
// the current time. Returns -1 on the failures of state 2 (with a line on
// standard error when the file cannot be opened), else 0 whatever the file
// held: no marker, an unparsable certificate or a distant expiry record
// nothing.
[[nodiscard]] int CheckCertificateFile(const char* path, time_t now);

// CheckCertificateFile on "server.pem" in the executable's directory, now.
// Returns -1 on the failures of state 2, else 0.
[[nodiscard]] int CheckServerCertificate();

// When the certificate file at cert_path was made by kestrav-cert (its
// issuing CA lies beside it) and has less than 120 days left as of now, makes
// it a new leaf in place, before TLS loads it. A file put there by anyone
// else is never touched. Prints one line: on standard output when it renewed,
// on standard error when it could not (the old file is then served).
void RenewOwnCertificate(const char* cert_path, time_t now);

// With HTTPS, checks the certificate again; in every case asks the tray
// window to show the current state.
void RefreshCertificateState();
