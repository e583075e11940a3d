// The reader SDK: a C interface over the virtual reader (sdk/virtual_reader.h)
// or, when VRFPLIB_BACKEND=libfprint is set at VRFPM_Create and the build has
// it, over libfprint's image-capture readers (sdk/libfprint_reader.h); both
// are backends behind one table of operations (sdk/reader_backend.h).
// Every call returns VRFPM_OK (0) or one of the codes below. A handle from
// VRFPM_Create belongs to its caller until VRFPM_Terminate releases it; the
// device list and WSQ buffers it hands out belong to the SDK. One handle is
// used by one thread at a time; separate handles may be used concurrently.
// Calling order: Create, Init, (OpenDevice, GetDeviceInfo, work, CloseDevice),
// Terminate. docs/sdk-error-codes.md lists the codes for page authors.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Result codes. They start at 1001 so that none of them can be taken for a
// device-name code or for the service's own codes (1, 55, 63, 100-103).
enum {
  VRFPM_OK = 0,
  VRFPM_ERR_INVALID_ARGUMENT = 1001,  // null pointer or value out of range
  VRFPM_ERR_INVALID_HANDLE = 1002,    // not a live handle from VRFPM_Create
  VRFPM_ERR_OUT_OF_MEMORY = 1003,     // an allocation failed (also the WSQ copy)
  VRFPM_ERR_UNKNOWN_DEVICE = 1004,    // Init with a device-name code the SDK does not know
  VRFPM_ERR_SEQUENCE = 1005,          // call out of order (not initialised, not open, open twice)
  VRFPM_ERR_NO_DEVICE = 1006,         // no reader of that model attached / nothing on that COM port
  VRFPM_ERR_OPEN_FAILED = 1007,       // the reader did not open (wrong identifier, fault)
  VRFPM_ERR_DEVICE_FAILURE = 1008,    // the reader stopped answering during a call
  VRFPM_ERR_TIMEOUT = 1009,           // no finger on the reader within the time-out
  VRFPM_ERR_FAKE_FINGER = 1010,       // fake-finger detection rejected the finger
  VRFPM_ERR_IMAGE_TOO_LARGE = 1011,   // the reader's image exceeds the caller's image buffer
  VRFPM_ERR_TEMPLATE_FAILED = 1012,   // no template could be made from the image
  VRFPM_ERR_TEMPLATE_TOO_LARGE = 1013,  // the record would exceed VRFPM_TEMPLATE_BYTES
  VRFPM_ERR_BAD_TEMPLATE = 1014,        // a template record is malformed or truncated
  VRFPM_ERR_NOT_SUPPORTED = 1015,       // feature or data code the reader does not have
  VRFPM_ERR_QUALITY = 1016,             // the image cannot be graded (blank, wrong size)
  VRFPM_ERR_IMAGE_TOO_SMALL = 1017,     // WSQ needs at least 256 x 256 pixels
  VRFPM_ERR_CANCELLED = 1018,           // the caller's abort check ended the wait for a finger
};

// Device-name codes (VRFPM_Init, DeviceListEntry::device_name).
enum {
  VRFPM_DEVICE_KLM06X = 4,     // USB, 258 x 336
  VRFPM_DEVICE_TRV08 = 5,      // USB, 260 x 300
  VRFPM_DEVICE_NX51 = 6,       // USB, 300 x 400
  VRFPM_DEVICE_LIBFPRINT = 7,  // an image-capture reader driven by libfprint; its own size
  VRFPM_DEVICE_SERIAL = 13,    // the serial reader, 260 x 300, opened by COM port number
};

// VRFPM_OpenDevice identifier that means "the first attached USB reader of the
// model given to VRFPM_Init". Any other value is a COM port number.
#define VRFPM_OPEN_USB 957u

// VRFPM_SetGetData codes.
#define VRFPM_DATA_HAS_FAKE_THRESHOLDS \
  203u                                   // out: 1 when the reader has graded fake-detection levels
#define VRFPM_DATA_FAKE_THRESHOLDS 204u  // out: number of levels (NOT_SUPPORTED when none)

// Template formats (VRFPM_SetTemplateFormat). ISO is the default of a new handle.
#define VRFPM_FORMAT_ANSI 256u  // ANSI INCITS 378-2004
#define VRFPM_FORMAT_ISO 768u   // ISO/IEC 19794-2:2005

#define VRFPM_TEMPLATE_BYTES 1600u  // capacity VRFPM_CreateTemplate writes into
#define VRFPM_MAX_DEVICES 8u        // longest device list

typedef struct VrfpmContext* VRFPM_HANDLE;

// Asked by a VRFPM_GetImageEx that waits for a finger, on the calling thread,
// at least every VRFPM_ABORT_POLL_MS; a non-zero answer ends the wait with
// VRFPM_ERR_CANCELLED. Lets another thread cancel a capture through a flag.
typedef int (*VRFPM_AbortCheck)(void* context);
#define VRFPM_ABORT_POLL_MS 50u

// This substitute SDK's extension for live previews: told, on the calling
// thread and while VRFPM_GetImageEx waits, what the reader sees. `what` is
// one of the VRFPM_SINK_ codes; image (width x height grey bytes, top row
// first) is valid during the call only and null for the finger codes. A
// sink must return quickly: the wait goes on behind it.
typedef void (*VRFPM_CaptureSink)(void* context, int what, const unsigned char* image,
                                  uint32_t width, uint32_t height);
enum {
  VRFPM_SINK_FRAME = 1,           // an image while the finger is being placed
  VRFPM_SINK_FINGER_PRESENT = 2,  // the reader reports a finger on it
  VRFPM_SINK_FINGER_ABSENT = 3,   // the reader reports the finger lifted
};

// 56 bytes, as the reader reports itself.
typedef struct VRFPM_DeviceInfo {
  uint32_t device_id;        // device-name code of the opened model
  unsigned char serial[16];  // not terminated
  uint32_t firmware_version;
  uint32_t hardware_version;
  uint32_t image_width;   // pixels
  uint32_t image_height;  // pixels
  uint32_t brightness;
  uint32_t contrast;
  uint32_t gain;
  uint32_t image_dpi;
  uint32_t reserved;
} VRFPM_DeviceInfo;

// 28 bytes per enumerated reader.
typedef struct VRFPM_DeviceListEntry {
  uint32_t device_name;   // device-name code
  uint32_t device_index;  // 0-based position among readers of the same model
  unsigned char serial[16];
  uint32_t reserved;
} VRFPM_DeviceListEntry;

// What the template records of a finger view say about it.
typedef struct VRFPM_FingerInfo {
  uint16_t finger_number;    // finger position 0..10
  uint16_t view_number;      // 0..15
  uint16_t impression_type;  // 0..3 or 8
  uint16_t image_quality;    // 0..100
} VRFPM_FingerInfo;

int VRFPM_Create(VRFPM_HANDLE* handle);
int VRFPM_Init(VRFPM_HANDLE handle, uint32_t device_name);
// *list points to SDK memory valid until the next Enumerate or Terminate.
int VRFPM_EnumerateDevice(VRFPM_HANDLE handle, uint32_t* count, VRFPM_DeviceListEntry** list);
// The model name of entry index of the last enumeration into name (cut to
// name_bytes, terminated): "NX51" and the like, or libfprint's device name.
int VRFPM_GetDeviceModel(VRFPM_HANDLE handle, uint32_t index, char* name, uint32_t name_bytes);
int VRFPM_OpenDevice(VRFPM_HANDLE handle, uint32_t identifier);
int VRFPM_GetDeviceInfo(VRFPM_HANDLE handle, VRFPM_DeviceInfo* info);
int VRFPM_SetGetData(VRFPM_HANDLE handle, uint32_t code, uint32_t* value);
// 0 turns detection off; 1..number of thresholds (1 on a reader without
// graded thresholds) turns it on, higher levels being stricter.
int VRFPM_SetFakeDetectionLevel(VRFPM_HANDLE handle, int level);
// Waits up to timeout_ms for a finger and writes image_width x image_height
// bytes into image. quality is the caller's target, reported only. A reader
// whose images vary in size (libfprint) writes at most the DeviceInfo size's
// bytes; VRFPM_GetImageSize then gives the image's own size.
int VRFPM_GetImageEx(VRFPM_HANDLE handle, unsigned char* image, uint32_t timeout_ms,
                     uint64_t display, int quality);
// Size of the image the last VRFPM_GetImageEx wrote (the DeviceInfo size
// before any capture). VRFPM_CreateTemplate reads images of this size.
int VRFPM_GetImageSize(VRFPM_HANDLE handle, uint32_t* width, uint32_t* height);
// check (null: none) is asked while VRFPM_GetImageEx waits; see above.
int VRFPM_SetAbortCheck(VRFPM_HANDLE handle, VRFPM_AbortCheck check, void* context);
// sink (null: none) is told of frames and the finger while VRFPM_GetImageEx
// waits (an extension of this SDK; see VRFPM_CaptureSink). The virtual
// reader sends placement frames; libfprint readers send the finger status
// where the driver reports it, and no frames.
int VRFPM_SetCaptureSink(VRFPM_HANDLE handle, VRFPM_CaptureSink sink, void* context);
int VRFPM_GetImageQuality(VRFPM_HANDLE handle, uint32_t width, uint32_t height,
                          const unsigned char* image, uint32_t* quality);
// On success *wsq is an SDK block of *size bytes, released by VRFPM_FreeWSQ.
int VRFPM_EncodeWSQ(VRFPM_HANDLE handle, unsigned char** wsq, int32_t* size, float bit_rate,
                    const unsigned char* image, uint32_t width, uint32_t height, uint32_t depth,
                    uint32_t dpi, const char* comment);
int VRFPM_FreeWSQ(VRFPM_HANDLE handle, unsigned char* wsq);
int VRFPM_SetTemplateFormat(VRFPM_HANDLE handle, uint32_t format);
// Writes at most VRFPM_TEMPLATE_BYTES into template_data: the minutiae found
// in the pixels of image, which has the open reader's resolution and the size
// VRFPM_GetImageSize gives (any image, not only the reader's own captures).
int VRFPM_CreateTemplate(VRFPM_HANDLE handle, const VRFPM_FingerInfo* info,
                         const unsigned char* image, unsigned char* template_data);
// Reads the length a record declares in its header (format of the handle).
int VRFPM_GetTemplateSize(VRFPM_HANDLE handle, const unsigned char* template_data, uint32_t* size);
// Both records must hold at least the length they declare (check them with
// ValidateTemplateRecord when they come from outside). Needs Init, not Open.
int VRFPM_GetMatchingScore(VRFPM_HANDLE handle, const unsigned char* template1,
                           const unsigned char* template2, uint32_t* score);
int VRFPM_CloseDevice(VRFPM_HANDLE handle);
int VRFPM_Terminate(VRFPM_HANDLE handle);

#ifdef __cplusplus
}

static_assert(sizeof(VRFPM_DeviceInfo) == 56, "DeviceInfo is 56 bytes");
static_assert(sizeof(VRFPM_DeviceListEntry) == 28, "DeviceListEntry is 28 bytes");
static_assert(sizeof(VRFPM_FingerInfo) == 8, "FingerInfo is four u16");
#endif
