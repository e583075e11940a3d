#include "sdk/libfprint_reader.h"

#include <fprint.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <new>
#include <span>

#include "sdk/image_resample.h"
#include "sdk/reader_backend.h"

namespace {

constexpr size_t kLibfprintIdBytes = 17;  // 16 bytes of libfprint's device id and NUL

// One reader as libfprint lists it. Both texts are NUL-terminated, cut to fit.
struct LibfprintDeviceEntry {
  char name[kReaderModelBytes];  // libfprint's device name, e.g. "Virtual image device for
                                 // debugging"
  char id[kLibfprintIdBytes];    // libfprint's device id (the driver's; "0" for the virtual ones)
};

// Held by whoever uses libfprint, and so runs GLib's default main context.
std::mutex g_libfprint_mutex;

// The last enumeration's answer, for a lister that finds libfprint busy.
std::mutex g_listing_mutex;
LibfprintDeviceEntry g_listing[VRFPM_MAX_DEVICES];
size_t g_listing_count = 0;

// How often a waiting capture looks at the caller's abort check and the clock.
constexpr guint kWatchIntervalMs = 20;

template <typename T>
struct GObjectUnref {
  void operator()(T* p) const {
    if (p != nullptr) g_object_unref(p);
  }
};
template <typename T>
using GObjectOwner = std::unique_ptr<T, GObjectUnref<T>>;

struct GErrorFree {
  void operator()(GError* e) const { g_error_free(e); }
};
using GErrorOwner = std::unique_ptr<GError, GErrorFree>;

// A periodic source on the default context that cancels a libfprint call
// once its deadline passes or the caller's abort check answers non-zero. The
// synchronous calls iterate that context, so the watch runs while they wait.
class CallWatch {
 public:
  CallWatch(uint32_t timeout_ms, VRFPM_AbortCheck check, void* context)
      : cancellable_(g_cancellable_new()),
        deadline_us_(g_get_monotonic_time() + static_cast<gint64>(timeout_ms) * 1000),
        check_(check),
        check_context_(context) {
    source_ = g_timeout_source_new(kWatchIntervalMs);
    g_source_set_callback(source_, &CallWatch::Tick, this, nullptr);
    g_source_attach(source_, nullptr);
  }
  CallWatch(const CallWatch&) = delete;
  CallWatch& operator=(const CallWatch&) = delete;
  ~CallWatch() {
    g_source_destroy(source_);
    g_source_unref(source_);
  }

  GCancellable* cancellable() const { return cancellable_.get(); }
  bool timed_out() const { return timed_out_; }
  bool aborted() const { return aborted_; }

 private:
  static gboolean Tick(gpointer data) {
    auto* self = static_cast<CallWatch*>(data);
    if (self->aborted_ || self->timed_out_) return G_SOURCE_CONTINUE;
    if (self->check_ != nullptr && self->check_(self->check_context_) != 0) {
      self->aborted_ = true;
    } else if (g_get_monotonic_time() >= self->deadline_us_) {
      self->timed_out_ = true;
    } else {
      return G_SOURCE_CONTINUE;
    }
    g_cancellable_cancel(self->cancellable_.get());
    return G_SOURCE_CONTINUE;
  }

  GObjectOwner<GCancellable> cancellable_;
  gint64 deadline_us_;
  VRFPM_AbortCheck check_;
  void* check_context_;
  GSource* source_;
  bool timed_out_ = false;
  bool aborted_ = false;
};

void CopyText(const char* text, char* out, size_t out_bytes) {
  snprintf(out, out_bytes, "%s", text != nullptr ? text : "");
}

LibfprintDeviceEntry Describe(FpDevice* device) {
  LibfprintDeviceEntry entry;
  CopyText(fp_device_get_name(device), entry.name, sizeof entry.name);
  CopyText(fp_device_get_device_id(device), entry.id, sizeof entry.id);
  return entry;
}

bool CanCapture(FpDevice* device) {
  return (fp_device_get_features(device) & FP_DEVICE_FEATURE_CAPTURE) != 0;
}

void RememberListing(std::span<const LibfprintDeviceEntry> entries) {
  std::lock_guard<std::mutex> lock(g_listing_mutex);
  g_listing_count = std::min(entries.size(), std::size(g_listing));
  std::copy_n(entries.begin(), g_listing_count, g_listing);
}

// An open reader.
struct LibfprintReader {
  GObjectOwner<FpContext> context;  // keeps the device's context alive
  GObjectOwner<FpDevice> device;    // open
};

// Lists the readers that can capture images, in libfprint's order, at most
// out.size().
int LibfprintListReaders(std::span<LibfprintDeviceEntry> out, size_t* count) {
  *count = 0;
  std::unique_lock<std::mutex> lock(g_libfprint_mutex, std::try_to_lock);
  if (!lock.owns_lock()) {
    // A capture holds libfprint for as long as it waits for a finger; a
    // status page must not wait with it.
    std::lock_guard<std::mutex> listing(g_listing_mutex);
    *count = std::min(out.size(), g_listing_count);
    std::copy_n(g_listing, *count, out.begin());
    return VRFPM_OK;
  }
  // A context of its own each time, so that a reader plugged in or removed
  // is seen at the next enumeration.
  GObjectOwner<FpContext> context(fp_context_new());
  GPtrArray* devices = fp_context_get_devices(context.get());  // the context's
  LibfprintDeviceEntry found[VRFPM_MAX_DEVICES];
  size_t n = 0;
  for (guint i = 0; devices != nullptr && i < devices->len && n < std::size(found); ++i) {
    auto* device = static_cast<FpDevice*>(g_ptr_array_index(devices, i));
    if (CanCapture(device)) found[n++] = Describe(device);
  }
  RememberListing(std::span<const LibfprintDeviceEntry>(found, n));
  *count = std::min(out.size(), n);
  std::copy_n(found, *count, out.begin());
  return VRFPM_OK;
}

// Opens the first reader that can capture images: VRFPM_ERR_NO_DEVICE when
// there is none, VRFPM_ERR_OPEN_FAILED when libfprint cannot open it.
int LibfprintOpenReader(LibfprintReader** reader, LibfprintDeviceEntry* entry) {
  *reader = nullptr;
  std::lock_guard<std::mutex> lock(g_libfprint_mutex);
  GObjectOwner<FpContext> context(fp_context_new());
  GPtrArray* devices = fp_context_get_devices(context.get());
  FpDevice* chosen = nullptr;
  for (guint i = 0; devices != nullptr && i < devices->len && chosen == nullptr; ++i) {
    auto* device = static_cast<FpDevice*>(g_ptr_array_index(devices, i));
    if (CanCapture(device)) chosen = device;
  }
  if (chosen == nullptr) return VRFPM_ERR_NO_DEVICE;
  GObjectOwner<FpDevice> device(FP_DEVICE(g_object_ref(chosen)));
  GError* error = nullptr;
  bool opened;
  {
    CallWatch watch(kLibfprintOpenCloseMs, nullptr, nullptr);
    opened = fp_device_open_sync(device.get(), watch.cancellable(), &error);
  }
  if (!opened) {
    GErrorOwner owned(error);
    fprintf(stderr, "vrfplib: libfprint could not open %s: %s\n", fp_device_get_name(chosen),
            owned ? owned->message : "no reason given");
    if (owned && g_error_matches(owned.get(), FP_DEVICE_ERROR, FP_DEVICE_ERROR_REMOVED)) {
      return VRFPM_ERR_NO_DEVICE;
    }
    return VRFPM_ERR_OPEN_FAILED;
  }
  *entry = Describe(chosen);
  auto* opened_reader = new (std::nothrow) LibfprintReader{std::move(context), std::move(device)};
  if (opened_reader == nullptr) {
    CallWatch watch(kLibfprintOpenCloseMs, nullptr, nullptr);
    fp_device_close_sync(chosen, watch.cancellable(), nullptr);
    return VRFPM_ERR_OUT_OF_MEMORY;
  }
  *reader = opened_reader;
  return VRFPM_OK;
}

// Waits up to timeout_ms for a finger; the image, scaled to 500 ppi, goes
// into image, its size into *size. Results: VRFPM_OK, VRFPM_ERR_TIMEOUT,
// VRFPM_ERR_CANCELLED, VRFPM_ERR_NO_DEVICE (unplugged),
// VRFPM_ERR_IMAGE_TOO_LARGE (beyond image.size()), VRFPM_ERR_DEVICE_FAILURE.
int LibfprintCaptureImage(LibfprintReader* reader, uint32_t timeout_ms, VRFPM_AbortCheck check,
                          void* check_context, std::span<unsigned char> image,
                          ImageDimensions* size) {
  if (reader == nullptr) return VRFPM_ERR_INVALID_ARGUMENT;
  std::lock_guard<std::mutex> lock(g_libfprint_mutex);
  // One watch for the whole time-out: retries share it.
  CallWatch watch(timeout_ms, check, check_context);
  for (;;) {
    GError* error = nullptr;
    GObjectOwner<FpImage> captured(
        fp_device_capture_sync(reader->device.get(), TRUE, watch.cancellable(), &error));
    GErrorOwner owned(error);
    if (captured) {
      const ImageDimensions raw{static_cast<int>(fp_image_get_width(captured.get())),
                                static_cast<int>(fp_image_get_height(captured.get()))};
      // libfprint gives no resolution for some readers (its virtual ones
      // among them): such images are taken as 500 ppi.
      const ImageDimensions scaled =
          DimensionsAt500Ppi(raw.width, raw.height, fp_image_get_ppmm(captured.get()));
      gsize bytes = 0;
      const guchar* pixels = fp_image_get_data(captured.get(), &bytes);
      if (static_cast<unsigned long long>(scaled.width) *
              static_cast<unsigned long long>(scaled.height) >
          image.size()) {
        return VRFPM_ERR_IMAGE_TOO_LARGE;
      }
      if (pixels == nullptr ||
          ResampleImage(std::span<const unsigned char>(pixels, bytes), raw, image, scaled) != 0) {
        return VRFPM_ERR_DEVICE_FAILURE;
      }
      *size = scaled;
      return VRFPM_OK;
    }
    if (watch.aborted()) return VRFPM_ERR_CANCELLED;
    if (watch.timed_out()) return VRFPM_ERR_TIMEOUT;
    // A retry (finger too short, off centre, an image without minutiae) is
    // the reader asking for the finger again, within the same time-out.
    if (owned && owned->domain == FP_DEVICE_RETRY) continue;
    fprintf(stderr, "vrfplib: libfprint capture failed: %s\n",
            owned ? owned->message : "no reason given");
    if (owned && g_error_matches(owned.get(), FP_DEVICE_ERROR, FP_DEVICE_ERROR_REMOVED)) {
      return VRFPM_ERR_NO_DEVICE;
    }
    return VRFPM_ERR_DEVICE_FAILURE;
  }
}

// Closes the device and frees the reader (null is ignored).
void LibfprintCloseReader(LibfprintReader* reader) {
  if (reader == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(g_libfprint_mutex);
    CallWatch watch(kLibfprintOpenCloseMs, nullptr, nullptr);
    fp_device_close_sync(reader->device.get(), watch.cancellable(), nullptr);
    // Released under the lock: finalising them may touch the main context.
    reader->device.reset();
    reader->context.reset();
  }
  delete reader;
}

// The backend's operations over the calls above.

struct LibfprintHandle : BackendState {
  LibfprintReader* reader;  // the open reader; null otherwise
};

LibfprintHandle* Libfprint(BackendState* state) {
  return static_cast<LibfprintHandle*>(state);
}

void CopySerial(const char* text, unsigned char serial[16]) {
  memset(serial, 0, 16);
  memcpy(serial, text, std::min<size_t>(strlen(text), 16));
}

int HandleCreate(BackendState** state) {
  *state = new (std::nothrow) LibfprintHandle{};
  return *state != nullptr ? VRFPM_OK : VRFPM_ERR_OUT_OF_MEMORY;
}

void HandleDestroy(BackendState* state) {
  LibfprintCloseReader(Libfprint(state)->reader);
  delete Libfprint(state);
}

// A real reader: no faults are injected.
int HandleFault(BackendState*, VirtualCall) {
  return 0;
}

int HandleInit(BackendState*, uint32_t device_name) {
  return device_name == VRFPM_DEVICE_LIBFPRINT ? VRFPM_OK : VRFPM_ERR_UNKNOWN_DEVICE;
}

int HandleEnumerate(BackendState*, std::span<EnumeratedReader> out, uint32_t* count) {
  LibfprintDeviceEntry found[VRFPM_MAX_DEVICES];
  size_t n = 0;
  *count = 0;
  if (int rc = LibfprintListReaders(found, &n); rc != VRFPM_OK) return rc;
  n = std::min(n, out.size());
  for (size_t i = 0; i < n; ++i) {
    out[i].entry.device_name = VRFPM_DEVICE_LIBFPRINT;
    out[i].entry.device_index = static_cast<uint32_t>(i);
    CopySerial(found[i].id, out[i].entry.serial);
    snprintf(out[i].model, sizeof out[i].model, "%s", found[i].name);
  }
  *count = static_cast<uint32_t>(n);
  return VRFPM_OK;
}

int HandleOpen(BackendState* state, uint32_t identifier, VRFPM_DeviceInfo* info) {
  if (identifier != VRFPM_OPEN_USB) return VRFPM_ERR_OPEN_FAILED;
  LibfprintDeviceEntry entry;
  if (int rc = LibfprintOpenReader(&Libfprint(state)->reader, &entry); rc != VRFPM_OK) return rc;
  memset(info, 0, sizeof *info);
  info->device_id = VRFPM_DEVICE_LIBFPRINT;
  CopySerial(entry.id, info->serial);
  info->image_width = kLibfprintFrameWidth;
  info->image_height = kLibfprintFrameHeight;
  info->image_dpi = 500;  // images are scaled to it
  return VRFPM_OK;
}

int HandleFakeThresholds(const BackendState*) {
  return 0;
}

// libfprint gives images only; it has no fake-finger detection to switch on.
int HandleSetFakeLevel(BackendState*, int level) {
  return level > 0 ? VRFPM_ERR_NOT_SUPPORTED : VRFPM_OK;
}

// The device's finger status, told to the capture's sink as it changes: it
// changes while fp_device_capture_sync iterates the main context, on the
// capturing thread.
void FingerStatusChanged(GObject* device, GParamSpec*, gpointer data) {
  const auto* request = static_cast<const CaptureWait*>(data);
  const bool present =
      (fp_device_get_finger_status(FP_DEVICE(device)) & FP_FINGER_STATUS_PRESENT) != 0;
  request->sink(request->sink_context,
                present ? VRFPM_SINK_FINGER_PRESENT : VRFPM_SINK_FINGER_ABSENT, nullptr, 0, 0);
}

int HandleCapture(BackendState* state, const CaptureWait& request, ImageDimensions* size) {
  LibfprintReader* reader = Libfprint(state)->reader;
  gulong handler = 0;
  if (reader != nullptr && request.sink != nullptr) {
    handler = g_signal_connect(reader->device.get(), "notify::finger-status",
                               G_CALLBACK(FingerStatusChanged), const_cast<CaptureWait*>(&request));
  }
  const int rc = LibfprintCaptureImage(reader, request.timeout_ms, request.abort_check,
                                       request.abort_context, request.image, size);
  if (handler != 0) g_signal_handler_disconnect(reader->device.get(), handler);
  return rc;
}

void HandleClose(BackendState* state) {
  LibfprintCloseReader(Libfprint(state)->reader);
  Libfprint(state)->reader = nullptr;
}

}  // namespace

bool LibfprintBackendBuilt() {
  return true;
}

const ReaderBackend kLibfprintReaderBackend = {
    .name = "libfprint",
    .missing = nullptr,
    .create = HandleCreate,
    .destroy = HandleDestroy,
    .fault = HandleFault,
    .init = HandleInit,
    .enumerate = HandleEnumerate,
    .open = HandleOpen,
    .fake_thresholds = HandleFakeThresholds,
    .set_fake_level = HandleSetFakeLevel,
    .capture = HandleCapture,
    .close = HandleClose,
};
