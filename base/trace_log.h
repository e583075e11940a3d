// The trace log: one text file of entries, opened, appended and closed per
// entry so that nothing is lost when the process is killed. Usable from any
// thread; the level and the path are set once by TraceLogConfigure before the
// other threads start (tests set them again between cases). Entries written
// at the same moment by different threads never share a line: each is
// appended whole under one process-wide lock. Nothing here reports a
// failure: an entry that cannot be written is dropped.
//
// The file is a fixed format that other tools read: one line per entry, no
// time stamp, the caller's text exactly, beginning with a location tag in
// square brackets (trace_tags.h). An entry's text, its tag and its level
// change only together with those tools; code that moves takes its entries
// along unchanged, and each entry is written where the step it names happens.
#pragma once

#include <cstddef>

// Entry levels. The configured level selects the entries of exactly that
// level, or with kTraceEverything all of them; 0 or less writes nothing.
inline constexpr int kTraceProgress = 1;     // device calls, capture and match progress
inline constexpr int kTraceKeys = 2;         // the service key pair at start
inline constexpr int kTraceEverything = 99;  // also arguments, routing, headers, key operations

inline constexpr int kTraceEntryBytes = 4096;   // longer entries are cut to 4095 characters
inline constexpr size_t kTracePathBytes = 128;  // longer paths are cut

// Sets the level (see above) and the file entries are appended to.
void TraceLogConfigure(int level, const char* path);

// Writes the formatted entry and a line feed to the configured file when the
// configured level is above 0 and equals level or is kTraceEverything;
// otherwise returns at once without formatting. A file that cannot be opened
// drops the entry.
void trace_log(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// True when an entry of this level would be written.
bool trace_enabled(int level);

// Formats the text (cut to 4095 characters) and shows it in the modal message
// box captioned "Kestrav India Biometric Service". Returns the box's result.
int ShowErrorBox(const char* format, ...) __attribute__((format(printf, 1, 2)));

inline constexpr const char* kErrorBoxCaption = "Kestrav India Biometric Service";
