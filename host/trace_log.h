// The trace log: one text file of entries, opened, appended and closed per
// entry so that nothing is lost when the process is killed. Usable from any
// thread; level and path come from g_settings and are fixed at start-up.
#pragma once

inline constexpr int kTraceEntryBytes = 4096;  // longer entries are cut to 4095 characters

// Writes the formatted entry and a line feed to g_settings.log_path when
// g_settings.trace_level > 0 and equals level or is 99; otherwise returns at
// once without formatting. A file that cannot be opened drops the entry.
void trace_log(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// True when an entry of this level would be written.
bool trace_enabled(int level);

// Formats the text (cut to 4095 characters) and shows it in the modal message
// box captioned "Kestrav India Biometric Service". Returns the box's result.
int ShowErrorBox(const char* format, ...) __attribute__((format(printf, 1, 2)));

inline constexpr const char* kErrorBoxCaption = "Kestrav India Biometric Service";
