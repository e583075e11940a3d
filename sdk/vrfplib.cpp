#include "sdk/vrfplib.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <string_view>

#include "extract/minutiae_extractor.h"
#include "sdk/fingerprint_template.h"
#include "sdk/image_quality.h"
#include "sdk/minutiae_matcher.h"
#include "sdk/reader_backend.h"
#include "sdk/virtual_reader.h"
#include "synth/synthetic_finger.h"
#include "wsq/wsq.h"

struct VrfpmContext {
  const ReaderBackend* backend;  // chosen at Create
  BackendState* state;           // the backend's own; owned
  bool initialised;
  bool open;
  uint32_t list_count;
  VRFPM_DeviceListEntry list[VRFPM_MAX_DEVICES];
  char list_models[VRFPM_MAX_DEVICES][kReaderModelBytes];  // model name per entry
  VRFPM_DeviceInfo info;                                   // of the open reader
  uint32_t template_format;
  uint32_t image_width;  // of the last capture (the DeviceInfo size before one)
  uint32_t image_height;
  VRFPM_AbortCheck abort_check;  // asked while a capture waits; null: none
  void* abort_context;
  VRFPM_CaptureSink sink;  // told of frames while a capture waits; null: none
  void* sink_context;
};

namespace {

// Live handles, so that a stale or foreign handle is refused instead of used.
constexpr int kMaxLiveHandles = 64;
std::mutex g_handles_mutex;
VrfpmContext* g_handles[kMaxLiveHandles];

bool Register(VrfpmContext* h) {
  std::lock_guard<std::mutex> lock(g_handles_mutex);
  for (VrfpmContext*& slot : g_handles) {
    if (slot == nullptr) {
      slot = h;
      return true;
    }
  }
  return false;
}

bool Unregister(VrfpmContext* h) {
  if (h == nullptr) return false;  // empty slots hold null
  std::lock_guard<std::mutex> lock(g_handles_mutex);
  for (VrfpmContext*& slot : g_handles) {
    if (slot == h) {
      slot = nullptr;
      return true;
    }
  }
  return false;
}

bool Live(const VrfpmContext* h) {
  if (h == nullptr) return false;
  std::lock_guard<std::mutex> lock(g_handles_mutex);
  for (VrfpmContext* slot : g_handles) {
    if (slot == h) return true;
  }
  return false;
}

// Counts the call and returns the failure injected into it, or 0.
int Fault(VrfpmContext* h, VirtualCall call) {
  return h->backend->fault(h->state, call);
}

struct FreeDeleter {
  void operator()(void* p) const { free(p); }
};

uint8_t ClampQuality(int q) {
  return static_cast<uint8_t>(std::clamp(q, 0, 100));
}

constexpr const char* kBackendEnv = "VRFPLIB_BACKEND";

// The readers a handle can drive; the first is the default.
constexpr const ReaderBackend* kBackends[] = {&kVirtualReaderBackend, &kLibfprintReaderBackend};

// Which reader a new handle drives: by its VRFPLIB_BACKEND name, the first
// when unset or empty. A value this build cannot serve is refused with its
// reason on standard error, once per process, so that every request does not
// repeat it.
int ChooseBackend(const ReaderBackend** chosen) {
  static std::atomic<bool> told{false};
  const char* env = getenv(kBackendEnv);
  const std::string_view value = env != nullptr ? env : "";
  *chosen = value.empty() ? kBackends[0] : nullptr;
  for (const ReaderBackend* backend : kBackends) {
    if (value == backend->name) *chosen = backend;
  }
  if (*chosen != nullptr && (*chosen)->missing == nullptr) return VRFPM_OK;
  if (!told.exchange(true)) {
    if (*chosen != nullptr) {
      fprintf(stderr, "vrfplib: %s=%s, but this build has no %s backend (%s)\n", kBackendEnv,
              (*chosen)->name, (*chosen)->name, (*chosen)->missing);
    } else {
      fprintf(stderr, "vrfplib: %s=%.*s is not a backend; use virtual or libfprint\n", kBackendEnv,
              static_cast<int>(std::min<size_t>(value.size(), 64)), value.data());
    }
  }
  return *chosen != nullptr ? VRFPM_ERR_NOT_SUPPORTED : VRFPM_ERR_INVALID_ARGUMENT;
}

}  // namespace

extern "C" {

int VRFPM_Create(VRFPM_HANDLE* handle) {
  if (handle == nullptr) return VRFPM_ERR_INVALID_ARGUMENT;
  *handle = nullptr;
  const ReaderBackend* backend = nullptr;
  if (int rc = ChooseBackend(&backend); rc != VRFPM_OK) return rc;
  BackendState* state = nullptr;
  if (int rc = backend->create(&state); rc != VRFPM_OK) return rc;
  VrfpmContext* h = static_cast<VrfpmContext*>(calloc(1, sizeof(VrfpmContext)));
  if (h == nullptr || !Register(h)) {
    free(h);
    backend->destroy(state);
    return VRFPM_ERR_OUT_OF_MEMORY;
  }
  h->backend = backend;
  h->state = state;
  h->template_format = VRFPM_FORMAT_ISO;
  *handle = h;
  return VRFPM_OK;
}

int VRFPM_Init(VRFPM_HANDLE h, uint32_t device_name) {
  if (!Live(h)) return VRFPM_ERR_INVALID_HANDLE;
  if (h->initialised) return VRFPM_ERR_SEQUENCE;
  if (int rc = h->backend->init(h->state, device_name); rc != VRFPM_OK) return rc;
  h->initialised = true;
  return VRFPM_OK;
}

int VRFPM_EnumerateDevice(VRFPM_HANDLE h, uint32_t* count, VRFPM_DeviceListEntry** list) {
  if (!Live(h)) return VRFPM_ERR_INVALID_HANDLE;
  if (count == nullptr || list == nullptr) return VRFPM_ERR_INVALID_ARGUMENT;
  if (int f = Fault(h, kCallEnumerateDevice)) return f;
  memset(h->list, 0, sizeof h->list);
  h->list_count = 0;
  EnumeratedReader found[VRFPM_MAX_DEVICES] = {};
  uint32_t n = 0;
  const int rc = h->backend->enumerate(h->state, std::span<EnumeratedReader>(found), &n);
  for (uint32_t i = 0; i < n; ++i) {
    h->list[i] = found[i].entry;
    memcpy(h->list_models[i], found[i].model, sizeof h->list_models[i]);
  }
  h->list_count = n;
  *count = n;
  *list = h->list;
  return rc;
}

int VRFPM_GetDeviceModel(VRFPM_HANDLE h, uint32_t index, char* name, uint32_t name_bytes) {
  if (!Live(h)) return VRFPM_ERR_INVALID_HANDLE;
  if (name == nullptr || name_bytes == 0 || index >= h->list_count) {
    return VRFPM_ERR_INVALID_ARGUMENT;
  }
  snprintf(name, name_bytes, "%s", h->list_models[index]);
  return VRFPM_OK;
}

int VRFPM_OpenDevice(VRFPM_HANDLE h, uint32_t identifier) {
  if (!Live(h)) return VRFPM_ERR_INVALID_HANDLE;
  if (!h->initialised || h->open) return VRFPM_ERR_SEQUENCE;
  if (int f = Fault(h, kCallOpenDevice)) return f;
  if (int rc = h->backend->open(h->state, identifier, &h->info); rc != VRFPM_OK) return rc;
  h->image_width = h->info.image_width;
  h->image_height = h->info.image_height;
  h->open = true;
  return VRFPM_OK;
}

int VRFPM_GetDeviceInfo(VRFPM_HANDLE h, VRFPM_DeviceInfo* info) {
  if (!Live(h)) return VRFPM_ERR_INVALID_HANDLE;
  if (info == nullptr) return VRFPM_ERR_INVALID_ARGUMENT;
  if (!h->open) return VRFPM_ERR_SEQUENCE;
  if (int f = Fault(h, kCallGetDeviceInfo)) return f;
  *info = h->info;
  return VRFPM_OK;
}

int VRFPM_SetGetData(VRFPM_HANDLE h, uint32_t code, uint32_t* value) {
  if (!Live(h)) return VRFPM_ERR_INVALID_HANDLE;
  if (value == nullptr) return VRFPM_ERR_INVALID_ARGUMENT;
  if (!h->open) return VRFPM_ERR_SEQUENCE;
  if (int f = Fault(h, kCallSetGetData)) return f;
  const int thresholds = h->backend->fake_thresholds(h->state);
  if (code == VRFPM_DATA_HAS_FAKE_THRESHOLDS) {
    *value = thresholds > 0 ? 1u : 0u;
    return VRFPM_OK;
  }
  if (code == VRFPM_DATA_FAKE_THRESHOLDS) {
    if (thresholds <= 0) return VRFPM_ERR_NOT_SUPPORTED;
    *value = static_cast<uint32_t>(thresholds);
    return VRFPM_OK;
  }
  return VRFPM_ERR_NOT_SUPPORTED;
}

int VRFPM_SetFakeDetectionLevel(VRFPM_HANDLE h, int level) {
  if (!Live(h)) return VRFPM_ERR_INVALID_HANDLE;
  if (!h->open) return VRFPM_ERR_SEQUENCE;
  if (int f = Fault(h, kCallSetFakeDetectionLevel)) return f;
  if (level < 0) return VRFPM_ERR_INVALID_ARGUMENT;
  return h->backend->set_fake_level(h->state, level);
}

int VRFPM_GetImageEx(VRFPM_HANDLE h, unsigned char* image, uint32_t timeout_ms, uint64_t display,
                     int quality) {
  (void)display;  // no preview window on this reader
  (void)quality;
  if (!Live(h)) return VRFPM_ERR_INVALID_HANDLE;
  if (image == nullptr) return VRFPM_ERR_INVALID_ARGUMENT;
  if (!h->open) return VRFPM_ERR_SEQUENCE;
  const CaptureWait request{
      timeout_ms,
      h->abort_check,
      h->abort_context,
      std::span<unsigned char>(image, size_t{h->info.image_width} * h->info.image_height),
      h->sink,
      h->sink_context};
  ImageDimensions size{};
  if (int rc = h->backend->capture(h->state, request, &size); rc != VRFPM_OK) return rc;
  h->image_width = static_cast<uint32_t>(size.width);
  h->image_height = static_cast<uint32_t>(size.height);
  return VRFPM_OK;
}

int VRFPM_GetImageSize(VRFPM_HANDLE h, uint32_t* width, uint32_t* height) {
  if (!Live(h)) return VRFPM_ERR_INVALID_HANDLE;
  if (width == nullptr || height == nullptr) return VRFPM_ERR_INVALID_ARGUMENT;
  if (!h->open) return VRFPM_ERR_SEQUENCE;
  *width = h->image_width;
  *height = h->image_height;
  return VRFPM_OK;
}

int VRFPM_SetAbortCheck(VRFPM_HANDLE h, VRFPM_AbortCheck check, void* context) {
  if (!Live(h)) return VRFPM_ERR_INVALID_HANDLE;
  h->abort_check = check;
  h->abort_context = context;
  return VRFPM_OK;
}

int VRFPM_SetCaptureSink(VRFPM_HANDLE h, VRFPM_CaptureSink sink, void* context) {
  if (!Live(h)) return VRFPM_ERR_INVALID_HANDLE;
  h->sink = sink;
  h->sink_context = context;
  return VRFPM_OK;
}

int VRFPM_GetImageQuality(VRFPM_HANDLE h, uint32_t width, uint32_t height,
                          const unsigned char* image, uint32_t* quality) {
  if (!Live(h)) return VRFPM_ERR_INVALID_HANDLE;
  if (image == nullptr || quality == nullptr || width == 0 || height == 0 ||
      width > static_cast<uint32_t>(kSynthMaxSide * 4) ||
      height > static_cast<uint32_t>(kSynthMaxSide * 4)) {
    return VRFPM_ERR_INVALID_ARGUMENT;
  }
  if (!h->initialised) return VRFPM_ERR_SEQUENCE;
  if (int f = Fault(h, kCallGetImageQuality)) return f;
  if (width < static_cast<uint32_t>(kQualityMinSide) ||
      height < static_cast<uint32_t>(kQualityMinSide)) {
    return VRFPM_ERR_QUALITY;
  }
  int q = MeasureImageQuality(image, static_cast<int>(width), static_cast<int>(height));
  *quality = static_cast<uint32_t>(std::clamp(q, 0, 100));
  return VRFPM_OK;
}

int VRFPM_EncodeWSQ(VRFPM_HANDLE h, unsigned char** wsq, int32_t* size, float bit_rate,
                    const unsigned char* image, uint32_t width, uint32_t height, uint32_t depth,
                    uint32_t dpi, const char* comment) {
  if (!Live(h)) return VRFPM_ERR_INVALID_HANDLE;
  if (wsq == nullptr || size == nullptr || image == nullptr) return VRFPM_ERR_INVALID_ARGUMENT;
  *wsq = nullptr;
  *size = 0;
  if (!h->initialised) return VRFPM_ERR_SEQUENCE;
  if (int f = Fault(h, kCallEncodeWSQ)) return f;
  if (!(bit_rate > 0.0f) || !isfinite(bit_rate) || depth != 8 || width == 0 || height == 0 ||
      width > 0xFFFFu || height > 0xFFFFu || dpi == 0) {
    return VRFPM_ERR_INVALID_ARGUMENT;
  }
  unsigned char* out = nullptr;
  int out_size = 0;
  int rc = WsqEncode(image, static_cast<int>(width), static_cast<int>(height),
                     static_cast<int>(depth), static_cast<int>(dpi), bit_rate,
                     comment != nullptr ? comment : "", &out, &out_size);
  if (rc != 0) {
    free(out);
    if (rc == kWsqErrTooSmall) return VRFPM_ERR_IMAGE_TOO_SMALL;
    if (rc == kWsqErrMemory) return VRFPM_ERR_OUT_OF_MEMORY;
    if (rc == kWsqErrTooLarge) return VRFPM_ERR_IMAGE_TOO_LARGE;
    return VRFPM_ERR_INVALID_ARGUMENT;
  }
  *wsq = out;
  *size = out_size;
  return VRFPM_OK;
}

int VRFPM_FreeWSQ(VRFPM_HANDLE h, unsigned char* wsq) {
  if (!Live(h)) return VRFPM_ERR_INVALID_HANDLE;
  free(wsq);  // blocks come from the codec's malloc
  return VRFPM_OK;
}

int VRFPM_SetTemplateFormat(VRFPM_HANDLE h, uint32_t format) {
  if (!Live(h)) return VRFPM_ERR_INVALID_HANDLE;
  if (int f = Fault(h, kCallSetTemplateFormat)) return f;
  if (format != VRFPM_FORMAT_ISO && format != VRFPM_FORMAT_ANSI) return VRFPM_ERR_NOT_SUPPORTED;
  h->template_format = format;
  VirtualReaderNoteTemplateFormatSet();
  return VRFPM_OK;
}

int VRFPM_CreateTemplate(VRFPM_HANDLE h, const VRFPM_FingerInfo* info, const unsigned char* image,
                         unsigned char* template_data) {
  if (!Live(h)) return VRFPM_ERR_INVALID_HANDLE;
  if (info == nullptr || image == nullptr || template_data == nullptr) {
    return VRFPM_ERR_INVALID_ARGUMENT;
  }
  if (!h->open) return VRFPM_ERR_SEQUENCE;
  if (int f = Fault(h, kCallCreateTemplate)) return f;
  if (info->finger_number > 10 || info->view_number > 15 ||
      (info->impression_type > 3 && info->impression_type != 8) || info->image_quality > 100) {
    return VRFPM_ERR_INVALID_ARGUMENT;
  }
  const int width = static_cast<int>(h->image_width);
  const int height = static_cast<int>(h->image_height);
  // Minutiae come from the pixels alone, whoever made the image; at most one
  // view's worth, the clearest ones when there are more.
  ExtractedMinutia found[kMaxViewMinutiae];
  int n = 0;
  const ExtractImage picture{
      std::span<const uint8_t>(image, static_cast<size_t>(width) * static_cast<size_t>(height)),
      width, height, static_cast<int>(h->info.image_dpi)};
  const int extracted = ExtractMinutiae(picture, found, &n);
  if (extracted == kExtractNoMemory) return VRFPM_ERR_OUT_OF_MEMORY;
  if (extracted != kExtractOk) return VRFPM_ERR_TEMPLATE_FAILED;
  const uint32_t format = h->template_format;
  TemplateMinutia kept[kMaxViewMinutiae];
  for (int i = 0; i < n; ++i) {
    const ExtractedMinutia& m = found[i];
    TemplateMinutia& t = kept[i];
    t.type = m.type == kExtractEnding ? kMinutiaEnding : kMinutiaBifurcation;
    t.x = static_cast<uint16_t>(std::clamp(lroundf(m.x), 0L, static_cast<long>(width - 1)));
    t.y = static_cast<uint16_t>(std::clamp(lroundf(m.y), 0L, static_cast<long>(height - 1)));
    t.angle = TemplateAngleUnits(format, m.angle);
    t.quality = ClampQuality(m.quality);
  }
  TemplateWriteInfo write{};
  write.capture_equipment = static_cast<uint16_t>(h->info.device_id & 0x0FFFu);
  write.width = static_cast<uint16_t>(width);
  write.height = static_cast<uint16_t>(height);
  write.resolution = TemplateResolution(h->info.image_dpi);
  write.finger_position = static_cast<uint8_t>(info->finger_number);
  write.view_number = static_cast<uint8_t>(info->view_number);
  write.impression_type = static_cast<uint8_t>(info->impression_type);
  write.finger_quality = static_cast<uint8_t>(info->image_quality);
  size_t written = 0;
  int rc = WriteTemplateRecord(h->template_format, write, kept, n, template_data,
                               VRFPM_TEMPLATE_BYTES, &written);
  if (rc == VRFPM_ERR_INVALID_ARGUMENT) return VRFPM_ERR_TEMPLATE_FAILED;
  if (rc != VRFPM_OK) return rc;
  VirtualReaderNoteTemplateCreated(h->template_format);
  return VRFPM_OK;
}

int VRFPM_GetTemplateSize(VRFPM_HANDLE h, const unsigned char* template_data, uint32_t* size) {
  if (!Live(h)) return VRFPM_ERR_INVALID_HANDLE;
  if (template_data == nullptr || size == nullptr) return VRFPM_ERR_INVALID_ARGUMENT;
  if (int f = Fault(h, kCallGetTemplateSize)) return f;
  // Only the fixed header is read; its length field is the answer.
  uint32_t length = 0;
  if (TemplateDeclaredLength(h->template_format, template_data, UINT32_MAX, &length) != VRFPM_OK) {
    return VRFPM_ERR_BAD_TEMPLATE;
  }
  *size = length;
  return VRFPM_OK;
}

int VRFPM_GetMatchingScore(VRFPM_HANDLE h, const unsigned char* template1,
                           const unsigned char* template2, uint32_t* score) {
  if (!Live(h)) return VRFPM_ERR_INVALID_HANDLE;
  if (template1 == nullptr || template2 == nullptr || score == nullptr) {
    return VRFPM_ERR_INVALID_ARGUMENT;
  }
  if (!h->initialised) return VRFPM_ERR_SEQUENCE;
  if (int f = Fault(h, kCallGetMatchingScore)) return f;
  std::unique_ptr<TemplateRecord, FreeDeleter> a(
      static_cast<TemplateRecord*>(malloc(sizeof(TemplateRecord))));
  std::unique_ptr<TemplateRecord, FreeDeleter> b(
      static_cast<TemplateRecord*>(malloc(sizeof(TemplateRecord))));
  if (!a || !b) return VRFPM_ERR_OUT_OF_MEMORY;
  // The records carry their own length; the caller vouches that the bytes
  // they declare are there.
  uint32_t len1 = 0, len2 = 0;
  if (TemplateDeclaredLength(h->template_format, template1, UINT32_MAX, &len1) != VRFPM_OK ||
      TemplateDeclaredLength(h->template_format, template2, UINT32_MAX, &len2) != VRFPM_OK ||
      ParseTemplateRecord(h->template_format, template1, len1, a.get()) != VRFPM_OK ||
      ParseTemplateRecord(h->template_format, template2, len2, b.get()) != VRFPM_OK) {
    return VRFPM_ERR_BAD_TEMPLATE;
  }
  *score = MatchTemplateRecords(*a, *b);
  return VRFPM_OK;
}

int VRFPM_CloseDevice(VRFPM_HANDLE h) {
  if (!Live(h)) return VRFPM_ERR_INVALID_HANDLE;
  if (!h->open) return VRFPM_ERR_SEQUENCE;
  h->open = false;
  h->backend->close(h->state);
  return VRFPM_OK;
}

int VRFPM_Terminate(VRFPM_HANDLE h) {
  if (!Unregister(h)) return VRFPM_ERR_INVALID_HANDLE;
  if (h->open) h->backend->close(h->state);  // terminating closes the reader too
  h->backend->destroy(h->state);
  free(h);
  return VRFPM_OK;
}

}  // extern "C"
