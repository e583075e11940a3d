// The readers behind the SDK facade (sdk/vrfplib.cpp): one table of
// operations per kind of reader, chosen by VRFPLIB_BACKEND when a handle is
// created. The facade checks arguments and calling order and keeps what the
// SDK reports (device list, DeviceInfo, image size); a backend keeps its own
// per-handle state and does the reader's work. The virtual reader
// (sdk/virtual_reader.cpp) and libfprint (sdk/libfprint_reader.cpp, or
// libfprint_reader_absent.cpp in a build without it) implement it.
//
// Threads: every operation runs on the one thread that uses the handle.
// Results are VRFPM_OK or a VRFPM_ERR_ code (or an injected fault's code).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <span>

#include "sdk/image_resample.h"
#include "sdk/virtual_reader.h"
#include "sdk/vrfplib.h"

inline constexpr size_t kReaderModelBytes = 64;  // model name and NUL

// A backend's own state for one handle derives from this; owned by the
// handle from create to destroy.
struct BackendState {};

// One enumerated reader: its list entry and its model name (NUL-terminated).
struct EnumeratedReader {
  VRFPM_DeviceListEntry entry;
  char model[kReaderModelBytes];
};

// One wait for a finger. abort_check (null: none) is asked at least every
// VRFPM_ABORT_POLL_MS while waiting; a non-zero answer ends it with
// VRFPM_ERR_CANCELLED. image has room for the open reader's DeviceInfo size.
struct CaptureWait {
  uint32_t timeout_ms;
  VRFPM_AbortCheck abort_check;
  void* abort_context;
  std::span<unsigned char> image;
  VRFPM_CaptureSink sink;  // null: nobody watches the wait
  void* sink_context;
};

struct ReaderBackend {
  const char* name;     // its VRFPLIB_BACKEND value
  const char* missing;  // null when this build has it; else why not
  // A new handle's state (and the handle's Create fault); destroy releases
  // it, closing nothing: the facade closes an open reader first.
  int (*create)(BackendState** state);
  void (*destroy)(BackendState* state);
  // The failure injected into an SDK call (counted per handle), or 0.
  int (*fault)(BackendState* state, VirtualCall call);
  // Selects the reader model (device-name code) the handle drives.
  int (*init)(BackendState* state, uint32_t device_name);
  // Lists the attached readers, at most out.size(), into out and *count.
  int (*enumerate)(BackendState* state, std::span<EnumeratedReader> out, uint32_t* count);
  // Opens the reader the model and identifier name; *info is what it reports.
  int (*open)(BackendState* state, uint32_t identifier, VRFPM_DeviceInfo* info);
  // Graded fake-detection levels of the open reader (0: none).
  int (*fake_thresholds)(const BackendState* state);
  // Sets fake detection (level >= 0; 0 off) for the captures that follow.
  int (*set_fake_level)(BackendState* state, int level);
  // Waits for a finger and writes its image; *size gets the image's size.
  int (*capture)(BackendState* state, const CaptureWait& request, ImageDimensions* size);
  void (*close)(BackendState* state);
};

extern const ReaderBackend kVirtualReaderBackend;
extern const ReaderBackend kLibfprintReaderBackend;
