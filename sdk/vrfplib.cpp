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
#include "platform/platform.h"
#include "sdk/fingerprint_template.h"
#include "sdk/image_file.h"
#include "sdk/image_quality.h"
#include "sdk/libfprint_reader.h"
#include "sdk/minutiae_matcher.h"
#include "sdk/virtual_reader.h"
#include "synth/synthetic_finger.h"
#include "wsq/wsq.h"

struct VrfpmContext {
  bool initialised;
  uint32_t device_name;  // code given to Init
  bool open;
  VirtualReaderConfig config;  // read at Create, again at Init
  uint32_t list_count;
  VRFPM_DeviceListEntry list[VRFPM_MAX_DEVICES];
  char list_models[VRFPM_MAX_DEVICES][kLibfprintNameBytes];  // model name per entry
  VRFPM_DeviceInfo info;                                     // of the open reader
  int fake_level;                                            // 0 off
  uint32_t template_format;
  int calls[kVirtualCallCount];  // per-handle call counts for fault injection
  // An image file presented by the open reader (images=): chosen and read
  // when the reader opens, shown at every capture until it closes.
  unsigned char* file_pixels;  // malloc'd, info.image_width x image_height; null: none
  bool no_image;               // images= names nothing to show: no finger arrives
  bool libfprint;              // VRFPLIB_BACKEND=libfprint at Create: a real reader
  LibfprintReader* reader;     // the open libfprint reader; null otherwise
  uint32_t image_width;        // of the last capture (the DeviceInfo size before one)
  uint32_t image_height;
  VRFPM_AbortCheck abort_check;  // asked while a capture waits; null: none
  void* abort_context;
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

// Counts the call and returns the injected failure code, or 0.
int Fault(VrfpmContext* h, VirtualCall call) {
  int n = ++h->calls[call];
  for (int i = 0; i < h->config.fault_count; ++i) {
    const VirtualFault& f = h->config.faults[i];
    if (f.call == call && (f.nth == 0 || f.nth == n)) return f.code;
  }
  return 0;
}

bool ModelAttached(const VirtualReaderConfig& config, uint32_t code) {
  for (int i = 0; i < config.reader_count; ++i) {
    if (config.readers[i] == code) return true;
  }
  return false;
}

void ReaderSize(const VirtualReaderConfig& config, const VirtualReaderModel& model, int* width,
                int* height) {
  *width = config.image_width > 0 ? config.image_width : model.width;
  *height = config.image_height > 0 ? config.image_height : model.height;
}

// Liveness below which a finger counts as fake at a detection level: spread
// between the fake ceiling (0.3) and the live floor (0.7), stricter upwards.
float LivenessThreshold(int level, int thresholds) {
  int steps = std::max(thresholds, 1);
  return 0.3f + 0.4f * static_cast<float>(level) / static_cast<float>(steps + 1);
}

struct FreeDeleter {
  void operator()(void* p) const { free(p); }
};

// Time a reader presenting image files takes per capture.
constexpr unsigned kImageFrameMs = 20;

uint8_t ClampQuality(int q) {
  return static_cast<uint8_t>(std::clamp(q, 0, 100));
}

void ReleasePresentedImage(VrfpmContext* h) {
  free(h->file_pixels);
  h->file_pixels = nullptr;
  h->no_image = false;
}

// Reads the image file this capture presents into the handle and gives its
// size and resolution. A reader whose images= names no image shows no finger;
// a file that cannot be used keeps the reader from opening, with the reason
// on standard error.
int LoadPresentedImage(VrfpmContext* h, int* width, int* height, uint32_t* dpi) {
  char path[kVirtualImagesPathBytes + 256];
  if (VirtualReaderPickImage(h->config, VirtualReaderNextImpression(), path, sizeof path) != 0) {
    fprintf(stderr, "vrfplib: images=%s: no PGM, BMP or WSQ file there\n", h->config.images);
    h->no_image = true;
    return VRFPM_OK;
  }
  ImageFile file;
  const int rc = ReadImageFile(path, &file);
  if (rc != kImageFileOk) {
    fprintf(stderr, "vrfplib: images: %s: %s\n", path, ImageFileResultText(rc));
    return rc == kImageFileNoMemory ? VRFPM_ERR_OUT_OF_MEMORY : VRFPM_ERR_OPEN_FAILED;
  }
  h->file_pixels = file.pixels.release();
  *width = file.width;
  *height = file.height;
  *dpi = static_cast<uint32_t>(file.ppi);
  return VRFPM_OK;
}

constexpr const char* kBackendEnv = "VRFPLIB_BACKEND";

// Which reader a new handle drives: "virtual" (also unset or empty) or
// "libfprint". A value this build cannot serve is refused with its reason on
// standard error, once per process, so that every request does not repeat it.
int ChooseBackend(bool* libfprint) {
  static std::atomic<bool> told{false};
  const char* env = getenv(kBackendEnv);
  const std::string_view value = env != nullptr ? env : "";
  *libfprint = value == "libfprint";
  if (value.empty() || value == "virtual") return VRFPM_OK;
  if (*libfprint && LibfprintBackendBuilt()) return VRFPM_OK;
  if (!told.exchange(true)) {
    if (*libfprint) {
      fprintf(stderr,
              "vrfplib: %s=libfprint, but this build has no libfprint backend "
              "(libfprint-2's development package was not found when it was built)\n",
              kBackendEnv);
    } else {
      fprintf(stderr, "vrfplib: %s=%.*s is not a backend; use virtual or libfprint\n", kBackendEnv,
              static_cast<int>(std::min<size_t>(value.size(), 64)), value.data());
    }
  }
  return *libfprint ? VRFPM_ERR_NOT_SUPPORTED : VRFPM_ERR_INVALID_ARGUMENT;
}

// Sleeps ms in slices, asking the abort check between them. Returns true
// when the check asked to stop.
bool SleepUnlessAborted(const VrfpmContext* h, uint32_t ms) {
  for (;;) {
    if (h->abort_check != nullptr && h->abort_check(h->abort_context) != 0) return true;
    if (ms == 0) return false;
    const uint32_t slice = std::min(ms, VRFPM_ABORT_POLL_MS);
    PlatformSleepMs(slice);
    ms -= slice;
  }
}

void CopySerial(const char* text, unsigned char serial[16]) {
  memset(serial, 0, 16);
  memcpy(serial, text, std::min<size_t>(strlen(text), 16));
}

int EnumerateLibfprint(VrfpmContext* h) {
  LibfprintDeviceEntry found[VRFPM_MAX_DEVICES];
  size_t n = 0;
  if (int rc = LibfprintListReaders(found, &n); rc != VRFPM_OK) return rc;
  for (size_t i = 0; i < n; ++i) {
    h->list[i].device_name = VRFPM_DEVICE_LIBFPRINT;
    h->list[i].device_index = static_cast<uint32_t>(i);
    CopySerial(found[i].id, h->list[i].serial);
    snprintf(h->list_models[i], sizeof h->list_models[i], "%s", found[i].name);
  }
  h->list_count = static_cast<uint32_t>(n);
  return VRFPM_OK;
}

int OpenLibfprint(VrfpmContext* h, uint32_t identifier) {
  if (identifier != VRFPM_OPEN_USB) return VRFPM_ERR_OPEN_FAILED;
  LibfprintDeviceEntry entry;
  if (int rc = LibfprintOpenReader(&h->reader, &entry); rc != VRFPM_OK) return rc;
  memset(&h->info, 0, sizeof h->info);
  h->info.device_id = VRFPM_DEVICE_LIBFPRINT;
  CopySerial(entry.id, h->info.serial);
  h->info.image_width = kLibfprintFrameWidth;
  h->info.image_height = kLibfprintFrameHeight;
  h->info.image_dpi = 500;  // images are scaled to it
  return VRFPM_OK;
}

}  // namespace

extern "C" {

int VRFPM_Create(VRFPM_HANDLE* handle) {
  if (handle == nullptr) return VRFPM_ERR_INVALID_ARGUMENT;
  *handle = nullptr;
  bool libfprint = false;
  int rc = ChooseBackend(&libfprint);
  if (rc != VRFPM_OK) return rc;
  VirtualReaderConfig config;
  if (libfprint) {
    // A real reader: no faults injected, no graded fake detection.
    VirtualReaderDefaults(&config);
    config.fake_thresholds = 0;
  } else {
    rc = VirtualReaderCurrentConfig(&config);
    if (rc != 0) return rc;
    rc = VirtualReaderCreateFault(config);
    if (rc != 0) return rc;
  }
  VrfpmContext* h = static_cast<VrfpmContext*>(calloc(1, sizeof(VrfpmContext)));
  if (h == nullptr) return VRFPM_ERR_OUT_OF_MEMORY;
  h->config = config;
  h->libfprint = libfprint;
  h->template_format = VRFPM_FORMAT_ISO;
  if (!Register(h)) {
    free(h);
    return VRFPM_ERR_OUT_OF_MEMORY;
  }
  if (!h->libfprint) VirtualReaderCountHandle(1);
  *handle = h;
  return VRFPM_OK;
}

int VRFPM_Init(VRFPM_HANDLE h, uint32_t device_name) {
  if (!Live(h)) return VRFPM_ERR_INVALID_HANDLE;
  if (h->initialised) return VRFPM_ERR_SEQUENCE;
  if (h->libfprint) {
    if (device_name != VRFPM_DEVICE_LIBFPRINT) return VRFPM_ERR_UNKNOWN_DEVICE;
    h->initialised = true;
    h->device_name = device_name;
    return VRFPM_OK;
  }
  int rc = VirtualReaderCurrentConfig(&h->config);
  if (rc != 0) return rc;
  if (int f = Fault(h, kCallInit)) return f;
  if (VirtualReaderFindModel(device_name) == nullptr) return VRFPM_ERR_UNKNOWN_DEVICE;
  h->initialised = true;
  h->device_name = device_name;
  return VRFPM_OK;
}

int VRFPM_EnumerateDevice(VRFPM_HANDLE h, uint32_t* count, VRFPM_DeviceListEntry** list) {
  if (!Live(h)) return VRFPM_ERR_INVALID_HANDLE;
  if (count == nullptr || list == nullptr) return VRFPM_ERR_INVALID_ARGUMENT;
  if (int f = Fault(h, kCallEnumerateDevice)) return f;
  memset(h->list, 0, sizeof h->list);
  h->list_count = 0;
  if (h->libfprint) {
    int rc = EnumerateLibfprint(h);
    *count = h->list_count;
    *list = h->list;
    return rc;
  }
  // Enumeration lists USB readers only; the serial reader is found by its port.
  uint32_t n = 0;
  for (int i = 0; i < h->config.reader_count && n < VRFPM_MAX_DEVICES; ++i) {
    uint32_t code = h->config.readers[i];
    uint32_t index = 0;
    for (int k = 0; k < i; ++k) index += h->config.readers[k] == code ? 1u : 0u;
    h->list[n].device_name = code;
    h->list[n].device_index = index;
    VirtualReaderSerial(code, index, h->list[n].serial);
    const VirtualReaderModel* model = VirtualReaderFindModel(code);
    snprintf(h->list_models[n], sizeof h->list_models[n], "%s",
             model != nullptr ? model->name : "");
    ++n;
  }
  h->list_count = n;
  *count = n;
  *list = h->list;
  return VRFPM_OK;
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
  if (h->libfprint) {
    if (int rc = OpenLibfprint(h, identifier); rc != VRFPM_OK) return rc;
    h->image_width = h->info.image_width;
    h->image_height = h->info.image_height;
    h->open = true;
    h->fake_level = 0;
    return VRFPM_OK;
  }
  const VirtualReaderModel* model = VirtualReaderFindModel(h->device_name);
  if (model == nullptr) return VRFPM_ERR_UNKNOWN_DEVICE;
  uint32_t index = 0;
  if (model->usb) {
    if (identifier != VRFPM_OPEN_USB) return VRFPM_ERR_OPEN_FAILED;  // USB readers have no COM port
    if (!ModelAttached(h->config, model->code)) return VRFPM_ERR_NO_DEVICE;
  } else {
    if (identifier == VRFPM_OPEN_USB || identifier == 0) return VRFPM_ERR_INVALID_ARGUMENT;
    if (h->config.com_port == 0 || static_cast<uint32_t>(h->config.com_port) != identifier) {
      return VRFPM_ERR_NO_DEVICE;
    }
  }
  int width = 0, height = 0;
  ReaderSize(h->config, *model, &width, &height);
  uint32_t dpi = kVirtualReaderDpi;
  ReleasePresentedImage(h);
  if (h->config.images[0] != '\0') {
    const int rc = LoadPresentedImage(h, &width, &height, &dpi);
    if (rc != VRFPM_OK) return rc;
  }
  memset(&h->info, 0, sizeof h->info);
  h->info.device_id = model->code;
  VirtualReaderSerial(model->code, index, h->info.serial);
  h->info.firmware_version = 0x0102;
  h->info.hardware_version = 0x0001;
  h->info.image_width = static_cast<uint32_t>(width);
  h->info.image_height = static_cast<uint32_t>(height);
  h->info.brightness = 50;
  h->info.contrast = 50;
  h->info.gain = 1;
  h->info.image_dpi = dpi;
  h->image_width = h->info.image_width;
  h->image_height = h->info.image_height;
  h->open = true;
  h->fake_level = 0;
  VirtualReaderCountOpen(1);
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
  int thresholds = h->config.fake_thresholds;
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
  // libfprint gives images only; it has no fake-finger detection to switch on.
  if (h->libfprint && level > 0) return VRFPM_ERR_NOT_SUPPORTED;
  // A reader without graded thresholds still has plain on/off detection.
  int highest = std::max(h->config.fake_thresholds, 1);
  if (level > highest) return VRFPM_ERR_NOT_SUPPORTED;
  h->fake_level = level;
  VirtualReaderNoteFakeLevel(level);
  return VRFPM_OK;
}

int VRFPM_GetImageEx(VRFPM_HANDLE h, unsigned char* image, uint32_t timeout_ms, uint64_t display,
                     int quality) {
  (void)display;  // no preview window on this reader
  (void)quality;
  if (!Live(h)) return VRFPM_ERR_INVALID_HANDLE;
  if (image == nullptr) return VRFPM_ERR_INVALID_ARGUMENT;
  if (!h->open) return VRFPM_ERR_SEQUENCE;
  if (h->libfprint) {
    ImageDimensions size{};
    const int rc = LibfprintCaptureImage(
        h->reader, timeout_ms, h->abort_check, h->abort_context,
        std::span<unsigned char>(image, size_t{h->info.image_width} * h->info.image_height), &size);
    if (rc != VRFPM_OK) return rc;
    h->image_width = static_cast<uint32_t>(size.width);
    h->image_height = static_cast<uint32_t>(size.height);
    return VRFPM_OK;
  }
  VirtualReaderNoteCapture(timeout_ms);
  if (int f = Fault(h, kCallGetImageEx)) return f;
  const VirtualReaderConfig& c = h->config;
  // Each capture waits for the finger to be placed anew; a finger that would
  // arrive after the time-out is never seen.
  if (c.finger == 0 || h->no_image || static_cast<uint32_t>(c.placement_ms) > timeout_ms) {
    return SleepUnlessAborted(h, timeout_ms) ? VRFPM_ERR_CANCELLED : VRFPM_ERR_TIMEOUT;
  }
  if (SleepUnlessAborted(h, static_cast<uint32_t>(c.placement_ms))) return VRFPM_ERR_CANCELLED;
  if (h->file_pixels != nullptr) {
    // One frame time, as a sensor takes; a file has no liveness to measure
    // and passes fake detection.
    PlatformSleepMs(kImageFrameMs);
    memcpy(image, h->file_pixels,
           static_cast<size_t>(h->info.image_width) * static_cast<size_t>(h->info.image_height));
    return VRFPM_OK;
  }

  int width = static_cast<int>(h->info.image_width);
  int height = static_cast<int>(h->info.image_height);
  size_t bytes = static_cast<size_t>(width) * static_cast<size_t>(height);
  std::unique_ptr<unsigned char, FreeDeleter> pixels(static_cast<unsigned char*>(malloc(bytes)));
  std::unique_ptr<SynthImpression, FreeDeleter> impression(
      static_cast<SynthImpression*>(calloc(1, sizeof(SynthImpression))));
  if (!pixels || !impression) return VRFPM_ERR_OUT_OF_MEMORY;
  SynthRequest request{c.finger, VirtualReaderNextImpression(), width, height, c.quality, c.fake};
  if (SynthesizeImpression(&request, pixels.get(), impression.get()) != 0) {
    return VRFPM_ERR_DEVICE_FAILURE;
  }
  if (h->fake_level > 0 &&
      impression->liveness < LivenessThreshold(h->fake_level, c.fake_thresholds)) {
    return VRFPM_ERR_FAKE_FINGER;
  }
  memcpy(image, pixels.get(), bytes);
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
  h->fake_level = 0;
  if (h->libfprint) {
    LibfprintCloseReader(h->reader);
    h->reader = nullptr;
    return VRFPM_OK;
  }
  ReleasePresentedImage(h);
  VirtualReaderCountOpen(-1);
  return VRFPM_OK;
}

int VRFPM_Terminate(VRFPM_HANDLE h) {
  if (!Unregister(h)) return VRFPM_ERR_INVALID_HANDLE;
  if (h->libfprint) {
    LibfprintCloseReader(h->reader);  // terminating closes the reader too
    free(h);
    return VRFPM_OK;
  }
  if (h->open) VirtualReaderCountOpen(-1);
  ReleasePresentedImage(h);
  free(h);
  VirtualReaderCountHandle(-1);
  return VRFPM_OK;
}

}  // extern "C"
