// The API's own "ErrorCode" values. The device layer adds 55 and 63
// (kErrSerialNoComPort, kErrFakeDetectionUnavailable in
// device/fingerprint_device.h); every other non-zero code a page sees comes
// from the reader SDK unchanged (sdk/vrfplib.h, 1001 and up). docs/api.md
// (Error codes) explains each one to page authors.
#pragma once

inline constexpr int kErrorNoPublicKey = 1;          // no key pair to hand out
inline constexpr int kErrorTemplateMissing = 100;    // a match request lacks a template
inline constexpr int kErrorSessionKeyRefused = 101;  // "sessionkey" sent but cannot be unwrapped
inline constexpr int kErrorOutOfMemory = 102;        // the reply could not be built
// A capture or match arrived while the reader was busy with another request
// (from another page, tab or connection); nothing was done. The page may try
// again once that request has ended.
inline constexpr int kErrorReaderBusy = 103;
// A capture's "readerSerial" names no attached USB reader (or is longer than
// any serial number); nothing was captured. The serials are those /health
// lists. Refused rather than served by another reader: the page asked for
// that one.
inline constexpr int kErrorReaderNotAttached = 104;
// A message on the /events socket that is not a command the service knows
// (not one JSON object, no or an unknown "Command", a binary message). The
// socket stays open; nothing was started.
inline constexpr int kErrorBadCommand = 105;
