// Image-capture readers driven by libfprint, behind the SDK when
// VRFPLIB_BACKEND=libfprint. Built from libfprint_reader.cpp when the build
// finds libfprint-2, else from libfprint_reader_absent.cpp, whose calls all
// answer VRFPM_ERR_NOT_SUPPORTED. No GLib type appears here: libfprint and
// GLib stay inside the backend's source file.
//
// Threads: libfprint 1.94 runs on GLib's global default main context (its
// synchronous calls iterate that context and it adds its sources there), so
// every call below holds one process-wide lock while it uses libfprint: one
// thread at a time runs that context, and no other part of the service uses
// it. Results are VRFPM_OK or a VRFPM_ERR_ code.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <span>

#include "sdk/image_resample.h"
#include "sdk/vrfplib.h"

inline constexpr size_t kLibfprintNameBytes = 64;  // device name and NUL
inline constexpr size_t kLibfprintIdBytes = 17;    // 16 bytes of libfprint's device id and NUL

// What the SDK reports before the first capture: a frame as large as the
// device layer's 350 000-byte image buffer. A captured image (at 500 ppi) may
// have any size whose bytes fit it; VRFPM_GetImageSize gives the real one.
inline constexpr uint32_t kLibfprintFrameWidth = 500;
inline constexpr uint32_t kLibfprintFrameHeight = 700;
inline constexpr size_t kLibfprintFrameBytes = size_t{kLibfprintFrameWidth} * kLibfprintFrameHeight;

// Longest wait for libfprint to open or close a device.
inline constexpr uint32_t kLibfprintOpenCloseMs = 10000;

// One reader as libfprint lists it. Both texts are NUL-terminated, cut to fit.
struct LibfprintDeviceEntry {
  char name[kLibfprintNameBytes];  // libfprint's device name, e.g. "Virtual image device for
                                   // debugging"
  char id[kLibfprintIdBytes];      // libfprint's device id (the driver's; "0" for the virtual ones)
};

// An open reader; owned by its opener until LibfprintCloseReader.
struct LibfprintReader;

// True when the build has the backend.
bool LibfprintBackendBuilt();

// Lists the readers that can capture images (match-on-chip readers, which
// give no images, are left out), in libfprint's order, at most out.size().
// While another thread uses libfprint (a capture waits for a finger) it does
// not wait: it answers with the list the last enumeration found.
[[nodiscard]] int LibfprintListReaders(std::span<LibfprintDeviceEntry> out, size_t* count);

// Opens the first reader that can capture images: VRFPM_ERR_NO_DEVICE when
// there is none, VRFPM_ERR_OPEN_FAILED when libfprint cannot open it.
[[nodiscard]] int LibfprintOpenReader(LibfprintReader** reader, LibfprintDeviceEntry* entry);

// Waits up to timeout_ms for a finger with libfprint's capture call; a
// retry that libfprint asks for (finger too short, off centre, no minutiae)
// starts another attempt within the same time. The image is scaled to 500
// ppi into image, its size into *size. check (may be null) is asked every
// few milliseconds; a non-zero answer cancels the capture. Results: VRFPM_OK,
// VRFPM_ERR_TIMEOUT, VRFPM_ERR_CANCELLED, VRFPM_ERR_NO_DEVICE (unplugged),
// VRFPM_ERR_IMAGE_TOO_LARGE (beyond image.size()), VRFPM_ERR_DEVICE_FAILURE.
[[nodiscard]] int LibfprintCaptureImage(LibfprintReader* reader, uint32_t timeout_ms,
                                        VRFPM_AbortCheck check, void* check_context,
                                        std::span<unsigned char> image, ImageDimensions* size);

// Closes the device and frees the reader (null is ignored).
void LibfprintCloseReader(LibfprintReader* reader);
