// The texts of the messages the /events socket sends: one JSON object each,
// "Event" first. Pure builders over caller-owned data; any thread (frames
// are built on the device thread). docs/events.md describes every message.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "api/json_reply.h"
#include "device/capture_guidance.h"
#include "device/reader_list.h"

// The preview's longer side, in pixels; smaller frames are sent as they are.
inline constexpr int kPreviewMaxSide = 200;

// "{ "Event": "<name>" }" for the events that carry nothing else
// ("CaptureStarted", "FingerNeeded").
void BuildBareEvent(const char* name, JsonReply* out);

// "Readers": the reader list exactly as /health shows it.
void BuildReadersEvent(std::span<const ReaderListing> readers, int reader_error, JsonReply* out);

// "Finger": "Present" true when the reader reports a finger put on, false
// when lifted.
void BuildFingerEvent(bool present, JsonReply* out);

// "Frame": "Quality" (0..100), "Guidance", then the preview of the
// width x height grey image scaled to at most kPreviewMaxSide on its longer
// side: "PreviewWidth", "PreviewHeight" and "PreviewBMPBase64" (an 8-bit
// grey BMP file in Base64).
void BuildFrameEvent(std::span<const unsigned char> image, int width, int height, int quality,
                     Guidance guidance, JsonReply* out);

// "Captured": with code 0 the members of the capture reply in their order
// (capture_json is that reply's whole text, "{ "ErrorCode": 0 , ... }"); else
// "ErrorCode" alone.
void BuildCapturedEvent(int code, std::string_view capture_json, JsonReply* out);

// "Error": a command the service could not take; "ErrorCode" and a one-line
// "Message".
void BuildErrorEvent(int code, const char* message, JsonReply* out);
