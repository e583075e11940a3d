#include "api/events_messages.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "api/bmp_image.h"
#include "api/health_endpoint.h"
#include "platform/heap_owner.h"
#include "sdk/image_resample.h"

void BuildBareEvent(const char* name, JsonReply* out) {
  JsonBeginEvent(out, name);
  JsonEnd(out);
}

void BuildReadersEvent(std::span<const ReaderListing> readers, int reader_error, JsonReply* out) {
  JsonBeginEvent(out, "Readers");
  JsonReaderList(out, readers, reader_error);
  JsonEnd(out);
}

void BuildFingerEvent(bool present, JsonReply* out) {
  JsonBeginEvent(out, "Finger");
  JsonBool(out, "Present", present);
  JsonEnd(out);
}

void BuildFrameEvent(std::span<const unsigned char> image, int width, int height, int quality,
                     Guidance guidance, JsonReply* out) {
  JsonBeginEvent(out, "Frame");
  JsonNumber(out, "Quality", quality);
  JsonString(out, "Guidance", GuidanceName(guidance));
  const int longer = std::max(width, height);
  ImageDimensions preview = {width, height};
  if (longer > kPreviewMaxSide) {
    const double scale = static_cast<double>(kPreviewMaxSide) / longer;
    preview.width = std::max(1, static_cast<int>(std::lround(width * scale)));
    preview.height = std::max(1, static_cast<int>(std::lround(height * scale)));
  }
  HeapBytes pixels(static_cast<unsigned char*>(
      malloc(static_cast<size_t>(preview.width) * static_cast<size_t>(preview.height))));
  const std::span<unsigned char> dst(
      pixels.get(), pixels ? static_cast<size_t>(preview.width) * preview.height : 0);
  int bmp_size = 0;
  HeapBytes bmp;
  if (pixels && ResampleImage(image, {width, height}, dst, preview) == 0) {
    bmp.reset(CreateBMPImage(pixels.get(), static_cast<unsigned>(preview.width),
                             static_cast<unsigned>(preview.height), &bmp_size));
  }
  if (!bmp) {
    out->failed = true;
    return;
  }
  JsonNumber(out, "PreviewWidth", preview.width);
  JsonNumber(out, "PreviewHeight", preview.height);
  JsonBase64(out, "PreviewBMPBase64",
             std::span<const unsigned char>(bmp.get(), static_cast<size_t>(bmp_size)));
  JsonEnd(out);
}

void BuildCapturedEvent(int code, std::string_view capture_json, JsonReply* out) {
  JsonBeginEvent(out, "Captured");
  if (code != 0 || capture_json.size() < 2 || capture_json.front() != '{') {
    JsonNumber(out, "ErrorCode", code);
    JsonEnd(out);
    return;
  }
  // The capture reply's own bytes after its "{": nothing is rebuilt, so the
  // two can never differ.
  capture_json.remove_prefix(1);
  if (mbuf_append(&out->text, ",", 1) != 1 ||
      mbuf_append(&out->text, capture_json.data(), capture_json.size()) != capture_json.size())
    out->failed = true;
}

void BuildErrorEvent(int code, const char* message, JsonReply* out) {
  JsonBeginEvent(out, "Error");
  JsonNumber(out, "ErrorCode", code);
  JsonString(out, "Message", message);
  JsonEnd(out);
}
