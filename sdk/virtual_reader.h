// The virtual reader behind the SDK: which readers are attached, which finger
// is presented and how, and which SDK calls are made to fail. Configured by
// the text of the VRFPLIB_VIRTUAL environment variable, re-read at every
// VRFPM_Create and VRFPM_Init, or by VirtualReaderConfigure, which overrides
// the variable until it is called with nullptr. Process-wide state behind one
// mutex; any thread may call. docs/virtual-reader.md describes the options.
// The SDK drives it through kVirtualReaderBackend (sdk/reader_backend.h),
// defined with it in virtual_reader.cpp: readers, placement, the quality
// profile, image files, fake fingers and injected faults.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "sdk/vrfplib.h"
#include "synth/synthetic_finger.h"

inline constexpr const char* kVirtualReaderEnv = "VRFPLIB_VIRTUAL";
inline constexpr int kVirtualMaxFaults = 16;
inline constexpr int kVirtualConfigTextBytes = 1024;  // longer configuration texts are refused
inline constexpr int kVirtualMaxFakeThresholds = 10;
inline constexpr int kVirtualMaxPlacementMs = 600000;
inline constexpr size_t kVirtualImagesPathBytes = 512;  // images= path, terminator included
inline constexpr int kVirtualMaxImageFiles = 4096;      // image files of a folder considered

// The SDK calls a fault can be injected into.
enum VirtualCall {
  kCallCreate = 0,
  kCallInit,
  kCallEnumerateDevice,
  kCallOpenDevice,
  kCallGetDeviceInfo,
  kCallSetGetData,
  kCallSetFakeDetectionLevel,
  kCallGetImageEx,
  kCallGetImageQuality,
  kCallEncodeWSQ,
  kCallSetTemplateFormat,
  kCallCreateTemplate,
  kCallGetTemplateSize,
  kCallGetMatchingScore,
  kVirtualCallCount
};

// The call fails with code at its nth invocation (nth 0: at every one).
// Calls are counted per SDK handle; VRFPM_Create is counted from the last
// configuration.
struct VirtualFault {
  VirtualCall call;
  int nth;
  int code;
};

struct VirtualReaderConfig {
  int reader_count;                     // USB readers, in enumeration order
  uint32_t readers[VRFPM_MAX_DEVICES];  // device-name codes
  int com_port;                         // COM port the serial reader answers on; 0 none
  unsigned finger;                      // identity presented; 0: no finger ever arrives
  int placement_ms;                     // delay before the finger is on the glass, per capture
  SynthQualityProfile quality;
  bool fake;                             // the presented finger is a fake
  int fake_thresholds;                   // graded fake-detection levels; 0 = on/off only
  unsigned first_impression;             // impression number of the first capture
  int image_width, image_height;         // 0: the model's own size; else overrides every reader
  char images[kVirtualImagesPathBytes];  // "": synthetic fingers; else a folder or a file of images
  // "": `readers` holds. Else a file whose text (a `readers` value) says
  // which readers are attached, read again at every Create and Init, so a
  // test attaches and detaches readers while the service runs; a missing or
  // unreadable file means none.
  char readers_file[kVirtualImagesPathBytes];
  int fault_count;
  VirtualFault faults[kVirtualMaxFaults];
};

// Parses "key=value;key=value" over the defaults. Returns 0, or -1 with a
// one-line reason in error (error_bytes including the terminator).
[[nodiscard]] int VirtualReaderParseConfig(const char* text, VirtualReaderConfig* config,
                                           char* error, size_t error_bytes);

// Sets the configuration directly (tests, benchmarks): resets the impression
// counter, the Create counter and the statistics (not the live counts).
// nullptr goes back to reading the environment variable. Returns 0 or -1
// (text refused; the previous configuration stays).
[[nodiscard]] int VirtualReaderConfigure(const char* text);

// Reader models.
struct VirtualReaderModel {
  uint32_t code;
  const char* name;
  int width, height;  // pixels at 500 dpi
  bool usb;
};
const VirtualReaderModel* VirtualReaderFindModel(uint32_t code);
const VirtualReaderModel* VirtualReaderFindModelByName(const char* name, size_t len);
inline constexpr uint32_t kVirtualReaderDpi = 500;

// Counters for tests. live_handles and open_devices are never reset.
struct VirtualReaderStats {
  int live_handles;               // created and not yet terminated
  int open_devices;               // opened and not yet closed
  int created;                    // since the last configuration
  int capture_calls;              // VRFPM_GetImageEx calls since the last configuration
  int fake_level;                 // last level set by VRFPM_SetFakeDetectionLevel; -1 none
  int template_format_sets;       // VRFPM_SetTemplateFormat calls since the configuration
  uint32_t last_template_format;  // format of the last VRFPM_CreateTemplate
  uint32_t last_capture_timeout;  // time-out of the last VRFPM_GetImageEx
};
VirtualReaderStats VirtualReaderStatsSnapshot();

// Updates made by the SDK facade (whichever backend it drives).
void VirtualReaderNoteTemplateFormatSet();
void VirtualReaderNoteTemplateCreated(uint32_t format);
