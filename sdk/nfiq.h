// Substitute for the closed NFIQ library: an estimate on the NFIQ scale
// (1 best .. 5 worst) from image features (foreground, orientation coherence,
// ridge-valley contrast and clarity, ridge frequency). Not the reference
// neural-network grading; it orders images the same way for the reader's
// purposes. Stateless and thread-safe.
#pragma once

inline constexpr int kNfiqMinSide = 64;    // pixels
inline constexpr int kNfiqMaxSide = 4096;  // pixels
inline constexpr int kNfiqMinPpi = 250;
inline constexpr int kNfiqMaxPpi = 1000;

// Result codes of NFIQ_ComputeNfiq.
inline constexpr int kNfiqOk = 0;
inline constexpr int kNfiqBadArgument = -1;    // null pointer, size out of range
inline constexpr int kNfiqBadDepth = -2;       // only 8-bit grey is graded
inline constexpr int kNfiqBadPpi = -3;         // ppi outside kNfiqMinPpi..kNfiqMaxPpi
inline constexpr int kNfiqNoFingerprint = -4;  // blank image, no ridge structure found

// The substitute NFIQ library's entry (the "ordinal 1" entry).
// Returns 0 and *nfiq in 1 (best) .. 5 (worst), *confidence 0..1; non-zero
// when the image cannot be graded (too small, blank, bad depth/ppi). flags is
// in/out, pass 0 (may be null); it comes back 0.
int NFIQ_ComputeNfiq(int* nfiq, float* confidence, const unsigned char* image, int width,
                     int height, int depth, int ppi, int* flags);
