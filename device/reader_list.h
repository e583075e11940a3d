// Lists the attached USB readers through the reader SDK without opening any
// of them, for status pages: the call takes milliseconds and never waits for
// a finger. It uses an SDK object of its own, so it may run beside a capture
// on another thread (the SDK allows separate handles to be used concurrently).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

inline constexpr size_t kReaderModelBytes = 64;   // longest model name and NUL
inline constexpr size_t kReaderSerialBytes = 17;  // 16 serial bytes and NUL

// One enumerated reader. Both texts are NUL-terminated.
struct ReaderListing {
  char model[kReaderModelBytes];  // "NX51", "TRV08", "KLM06X", libfprint's device name, or "code N"
  char serial_number[kReaderSerialBytes];  // the serial bytes up to the first NUL
};

// Fills out with at most out.size() readers, in the SDK's order, and stores
// their number in *count. Returns 0, or the SDK's code when the SDK object
// cannot be made or the enumeration fails (*count is then 0).
[[nodiscard]] int ListReaders(std::span<ReaderListing> out, size_t* count);

// Where the attached USB reader with this serial number (as ListReaders gives
// it) is: its device-name code and its position among readers of its model
// (the SDK opens a model's first reader only, so only index 0 can be opened
// by itself).
struct ReaderLocation {
  bool found;
  uint32_t device_code;
  uint32_t index;
};

// Looks serial up among the attached USB readers; *where->found is false when
// none has it. Returns 0, or the SDK's code when the SDK object cannot be made
// or the enumeration fails.
[[nodiscard]] int FindReaderBySerial(const char* serial, ReaderLocation* where);
