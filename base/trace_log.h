// The trace log: one text file of entries, opened, appended and closed per
// entry so that nothing is lost when the process is killed. Usable from any
// thread; the level and the path are set once by TraceLogConfigure before the
// other threads start (tests set them again between cases). Nothing here
// reports a failure: an entry that cannot be written is dropped.
#pragma once

#include <cstddef>

inline constexpr int kTraceEntryBytes = 4096;  // longer entries are cut to 4095 characters
inline constexpr size_t kTracePathBytes = 128;  // longer paths are cut

// Sets the level (0 or negative: off; 99: every entry; else exactly that
// level) and the file entries are appended to.
void TraceLogConfigure(int level, const char* path);

// Writes the formatted entry and a line feed to the configured file when the
// level is above 0 and equals level or is 99; otherwise returns at once
// without formatting. A file that cannot be opened drops the entry.
void trace_log(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// True when an entry of this level would be written.
bool trace_enabled(int level);

// Formats the text (cut to 4095 characters) and shows it in the modal message
// box captioned "Kestrav India Biometric Service". Returns the box's result.
int ShowErrorBox(const char* format, ...) __attribute__((format(printf, 1, 2)));

inline constexpr const char* kErrorBoxCaption = "Kestrav India Biometric Service";
