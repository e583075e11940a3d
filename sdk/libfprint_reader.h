// Image-capture readers driven by libfprint, behind the SDK when
// VRFPLIB_BACKEND=libfprint: kLibfprintReaderBackend (sdk/reader_backend.h).
// Built from libfprint_reader.cpp when the build finds libfprint-2, else from
// libfprint_reader_absent.cpp, whose backend this build does not have (the
// SDK refuses to create a handle on it). No GLib type appears here: libfprint
// and GLib stay inside the backend's source file.
//
// Threads: libfprint 1.94 runs on GLib's global default main context (its
// synchronous calls iterate that context and it adds its sources there), so
// every operation holds one process-wide lock while it uses libfprint: one
// thread at a time runs that context, and no other part of the service uses
// it. An enumeration made while another thread uses libfprint (a capture
// waits for a finger) does not wait: it answers with the list the last one
// found.
//
// Init takes VRFPM_DEVICE_LIBFPRINT only; open (identifier VRFPM_OPEN_USB)
// takes the first reader that can capture images (match-on-chip readers,
// which give no images, are not listed). A capture waits up to its time-out
// with libfprint's capture call; a retry that libfprint asks for (finger too
// short, off centre, no minutiae) starts another attempt within the same
// time. Images are scaled to 500 ppi. There is no fake-finger detection.
#pragma once

#include <stddef.h>
#include <stdint.h>

// What the SDK reports before the first capture: a frame as large as the
// device layer's 350 000-byte image buffer. A captured image (at 500 ppi) may
// have any size whose bytes fit it; VRFPM_GetImageSize gives the real one.
inline constexpr uint32_t kLibfprintFrameWidth = 500;
inline constexpr uint32_t kLibfprintFrameHeight = 700;

// Longest wait for libfprint to open or close a device.
inline constexpr uint32_t kLibfprintOpenCloseMs = 10000;

// True when the build has the backend.
bool LibfprintBackendBuilt();
