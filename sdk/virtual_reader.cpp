#include "sdk/virtual_reader.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string_view>

#include "platform/heap_owner.h"
#include "platform/platform.h"
#include "sdk/image_file.h"
#include "sdk/reader_backend.h"

static void VirtualReaderDefaults(VirtualReaderConfig* config);

namespace {

constexpr VirtualReaderModel kModels[] = {
    {VRFPM_DEVICE_KLM06X, "KLM06X", 258, 336, true},
    {VRFPM_DEVICE_TRV08, "TRV08", 260, 300, true},
    {VRFPM_DEVICE_NX51, "NX51", 300, 400, true},
    {VRFPM_DEVICE_SERIAL, "SERIAL", 260, 300, false},
};

struct CallName {
  const char* name;
  VirtualCall call;
  int default_code;
};

constexpr CallName kCallNames[] = {
    {"Create", kCallCreate, VRFPM_ERR_OUT_OF_MEMORY},
    {"Init", kCallInit, VRFPM_ERR_DEVICE_FAILURE},
    {"EnumerateDevice", kCallEnumerateDevice, VRFPM_ERR_DEVICE_FAILURE},
    {"OpenDevice", kCallOpenDevice, VRFPM_ERR_OPEN_FAILED},
    {"GetDeviceInfo", kCallGetDeviceInfo, VRFPM_ERR_DEVICE_FAILURE},
    {"SetGetData", kCallSetGetData, VRFPM_ERR_NOT_SUPPORTED},
    {"SetFakeDetectionLevel", kCallSetFakeDetectionLevel, VRFPM_ERR_NOT_SUPPORTED},
    {"GetImageEx", kCallGetImageEx, VRFPM_ERR_DEVICE_FAILURE},
    {"GetImageQuality", kCallGetImageQuality, VRFPM_ERR_QUALITY},
    {"EncodeWSQ", kCallEncodeWSQ, VRFPM_ERR_OUT_OF_MEMORY},
    {"SetTemplateFormat", kCallSetTemplateFormat, VRFPM_ERR_NOT_SUPPORTED},
    {"CreateTemplate", kCallCreateTemplate, VRFPM_ERR_TEMPLATE_FAILED},
    {"GetTemplateSize", kCallGetTemplateSize, VRFPM_ERR_BAD_TEMPLATE},
    {"GetMatchingScore", kCallGetMatchingScore, VRFPM_ERR_BAD_TEMPLATE},
};

struct ReaderState {
  std::mutex mutex;
  bool direct = false;                         // set by VirtualReaderConfigure
  VirtualReaderConfig config;                  // in force
  bool env_seen = false;                       // env_text holds the last parsed variable
  char env_text[kVirtualConfigTextBytes + 1];  // last variable text applied (or refused)
  bool env_bad = false;                        // that text did not parse
  unsigned next_impression = 0;
  int create_calls = 0;
  VirtualReaderStats stats = {0, 0, 0, 0, -1, 0, 0, 0};
};

ReaderState& State() {
  static ReaderState* state = [] {
    ReaderState* s = new ReaderState();  // lives for the process; never destroyed
    VirtualReaderDefaults(&s->config);
    s->next_impression = s->config.first_impression;
    return s;
  }();
  return *state;
}

// Called with the mutex held.
void ResetLocked(ReaderState& s) {
  s.next_impression = s.config.first_impression;
  s.create_calls = 0;
  int live = s.stats.live_handles;
  int open = s.stats.open_devices;
  s.stats = VirtualReaderStats{live, open, 0, 0, -1, 0, 0, 0};
}

bool ParseInt(std::string_view text, long min, long max, long* out) {
  if (text.empty() || text.size() > 10) return false;
  long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value < min || value > max) return false;
  *out = value;
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

void SetError(char* error, size_t error_bytes, const char* what, std::string_view item) {
  if (error == nullptr || error_bytes == 0) return;
  snprintf(error, error_bytes, "%s: \"%.*s\"", what, static_cast<int>(item.size()), item.data());
}

bool ParseReaders(std::string_view value, VirtualReaderConfig* config) {
  config->reader_count = 0;
  value = Trim(value);
  if (value.empty() || EqualsNoCase(value, "none")) return true;
  while (true) {
    size_t comma = value.find(',');
    std::string_view name = Trim(value.substr(0, comma));
    const VirtualReaderModel* model = VirtualReaderFindModelByName(name.data(), name.size());
    if (model == nullptr || !model->usb) return false;
    if (config->reader_count >= static_cast<int>(VRFPM_MAX_DEVICES)) return false;
    config->readers[config->reader_count++] = model->code;
    if (comma == std::string_view::npos) return true;
    value.remove_prefix(comma + 1);
  }
}

// The readers a readers_file= file names now; none when it is missing,
// unreadable or does not parse.
void ReadAttachedReaders(VirtualReaderConfig* config) {
  char text[kVirtualConfigTextBytes + 1];
  size_t len = 0;
  if (FilePtr f{fopen(config->readers_file, "rb")}) len = fread(text, 1, sizeof text - 1, f.get());
  // A file written by an editor or echo ends its line.
  while (len > 0 && (text[len - 1] == '\n' || text[len - 1] == '\r')) --len;
  if (!ParseReaders(std::string_view(text, len), config)) config->reader_count = 0;
}

// "Call", "Call@n", "Call:code", "Call@n:code", separated by commas.
bool ParseFaults(std::string_view value, VirtualReaderConfig* config) {
  value = Trim(value);
  if (value.empty()) return true;
  while (true) {
    size_t comma = value.find(',');
    std::string_view item = Trim(value.substr(0, comma));
    std::string_view name = item;
    long nth = 0;
    long code = -1;
    size_t colon = item.find(':');
    if (colon != std::string_view::npos) {
      if (!ParseInt(Trim(item.substr(colon + 1)), 1, 2147483647L, &code)) return false;
      name = item.substr(0, colon);
    }
    size_t at = name.find('@');
    if (at != std::string_view::npos) {
      if (!ParseInt(Trim(name.substr(at + 1)), 1, 1000000, &nth)) return false;
      name = name.substr(0, at);
    }
    name = Trim(name);
    const CallName* found = nullptr;
    for (const CallName& c : kCallNames) {
      std::string_view n = c.name;
      std::string_view prefixed = name;
      if (prefixed.size() > 6 && EqualsNoCase(prefixed.substr(0, 6), "VRFPM_"))
        prefixed.remove_prefix(6);
      if (EqualsNoCase(prefixed, n)) found = &c;
    }
    if (found == nullptr || config->fault_count >= kVirtualMaxFaults) return false;
    config->faults[config->fault_count++] =
        VirtualFault{found->call, static_cast<int>(nth),
                     code < 0 ? found->default_code : static_cast<int>(code)};
    if (comma == std::string_view::npos) return true;
    value.remove_prefix(comma + 1);
  }
}

bool ParseBool(std::string_view v, bool* out) {
  if (v == "1" || EqualsNoCase(v, "yes") || EqualsNoCase(v, "true") || EqualsNoCase(v, "on")) {
    *out = true;
    return true;
  }
  if (v == "0" || EqualsNoCase(v, "no") || EqualsNoCase(v, "false") || EqualsNoCase(v, "off")) {
    *out = false;
    return true;
  }
  return false;
}

}  // namespace

// Defaults: one NX51, no serial reader, finger 1, no delay, good quality,
// real finger, 3 thresholds, impressions from 0, no faults.
static void VirtualReaderDefaults(VirtualReaderConfig* config) {
  memset(config, 0, sizeof *config);
  config->reader_count = 1;
  config->readers[0] = VRFPM_DEVICE_NX51;
  config->com_port = 0;
  config->finger = 1;
  config->placement_ms = 0;
  config->quality = kSynthGood;
  config->fake = false;
  config->fake_thresholds = 3;
  config->first_impression = 0;
}

int VirtualReaderParseConfig(const char* text, VirtualReaderConfig* config, char* error,
                             size_t error_bytes) {
  VirtualReaderDefaults(config);
  if (error != nullptr && error_bytes > 0) error[0] = '\0';
  if (text == nullptr) return 0;
  if (strlen(text) > static_cast<size_t>(kVirtualConfigTextBytes)) {
    SetError(error, error_bytes, "configuration text too long", "");
    return -1;
  }
  std::string_view rest = text;
  while (!rest.empty()) {
    size_t semi = rest.find(';');
    std::string_view item = Trim(rest.substr(0, semi));
    rest = semi == std::string_view::npos ? std::string_view() : rest.substr(semi + 1);
    if (item.empty()) continue;
    size_t eq = item.find('=');
    if (eq == std::string_view::npos) {
      SetError(error, error_bytes, "expected key=value", item);
      return -1;
    }
    std::string_view key = Trim(item.substr(0, eq));
    std::string_view value = Trim(item.substr(eq + 1));
    long n = 0;
    bool ok = true;
    if (EqualsNoCase(key, "readers")) {
      ok = ParseReaders(value, config);
    } else if (EqualsNoCase(key, "com") || EqualsNoCase(key, "com_port")) {
      ok = ParseInt(value, 0, 255, &n);
      config->com_port = static_cast<int>(n);
    } else if (EqualsNoCase(key, "finger")) {
      if (EqualsNoCase(value, "none")) {
        config->finger = 0;
      } else {
        ok = ParseInt(value, 0, 2147483647L, &n);
        config->finger = static_cast<unsigned>(n);
      }
    } else if (EqualsNoCase(key, "placement_ms")) {
      ok = ParseInt(value, 0, kVirtualMaxPlacementMs, &n);
      config->placement_ms = static_cast<int>(n);
    } else if (EqualsNoCase(key, "quality")) {
      if (EqualsNoCase(value, "good")) {
        config->quality = kSynthGood;
      } else if (EqualsNoCase(value, "poor")) {
        config->quality = kSynthPoor;
      } else if (EqualsNoCase(value, "never")) {
        config->quality = kSynthNeverGood;
      } else {
        ok = false;
      }
    } else if (EqualsNoCase(key, "fake")) {
      ok = ParseBool(value, &config->fake);
    } else if (EqualsNoCase(key, "fake_thresholds")) {
      ok = ParseInt(value, 0, kVirtualMaxFakeThresholds, &n);
      config->fake_thresholds = static_cast<int>(n);
    } else if (EqualsNoCase(key, "impression")) {
      ok = ParseInt(value, 0, 2147483647L, &n);
      config->first_impression = static_cast<unsigned>(n);
    } else if (EqualsNoCase(key, "image_size")) {
      size_t x = value.find_first_of("xX");
      long w = 0, h = 0;
      ok = x != std::string_view::npos &&
           ParseInt(Trim(value.substr(0, x)), kSynthMinSide, kSynthMaxSide, &w) &&
           ParseInt(Trim(value.substr(x + 1)), kSynthMinSide, kSynthMaxSide, &h);
      config->image_width = static_cast<int>(w);
      config->image_height = static_cast<int>(h);
    } else if (EqualsNoCase(key, "fail")) {
      ok = ParseFaults(value, config);
    } else if (EqualsNoCase(key, "readers_file")) {
      ok = !value.empty() && value.size() < sizeof config->readers_file;
      if (ok) {
        memcpy(config->readers_file, value.data(), value.size());
        config->readers_file[value.size()] = '\0';
      }
    } else if (EqualsNoCase(key, "images")) {
      ok = value.size() < sizeof config->images;
      if (ok) {
        memcpy(config->images, value.data(), value.size());
        config->images[value.size()] = '\0';
      }
    } else {
      SetError(error, error_bytes, "unknown key", key);
      return -1;
    }
    if (!ok) {
      SetError(error, error_bytes, "bad value", item);
      return -1;
    }
  }
  return 0;
}

int VirtualReaderConfigure(const char* text) {
  ReaderState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (text == nullptr) {
    s.direct = false;
    s.env_seen = false;  // the next read applies the variable afresh
    VirtualReaderDefaults(&s.config);
    ResetLocked(s);
    return 0;
  }
  VirtualReaderConfig parsed;
  if (VirtualReaderParseConfig(text, &parsed, nullptr, 0) != 0) return -1;
  s.direct = true;
  s.config = parsed;
  ResetLocked(s);
  return 0;
}

// The configuration in force: the direct one, else the environment variable
// (re-parsed when its text changed; a change resets like Configure). Returns
// 0, or the SDK's VRFPM_ERR_INVALID_ARGUMENT when the variable does not parse
// (the reason goes to standard error once per text).
static int VirtualReaderCurrentConfig(VirtualReaderConfig* config) {
  ReaderState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!s.direct) {
    const char* env = getenv(kVirtualReaderEnv);
    const char* text = env != nullptr ? env : "";
    if (!s.env_seen || strncmp(text, s.env_text, sizeof s.env_text) != 0) {
      snprintf(s.env_text, sizeof s.env_text, "%s", text);
      s.env_seen = true;
      char error[160];
      VirtualReaderConfig parsed;
      if (VirtualReaderParseConfig(text, &parsed, error, sizeof error) != 0) {
        s.env_bad = true;
        fprintf(stderr, "vrfplib: %s ignored, %s\n", kVirtualReaderEnv, error);
      } else {
        s.env_bad = false;
        s.config = parsed;
        ResetLocked(s);
      }
    }
    if (s.env_bad) return VRFPM_ERR_INVALID_ARGUMENT;
  }
  *config = s.config;
  if (config->readers_file[0] != '\0') ReadAttachedReaders(config);
  return 0;
}

const VirtualReaderModel* VirtualReaderFindModel(uint32_t code) {
  for (const VirtualReaderModel& m : kModels) {
    if (m.code == code) return &m;
  }
  return nullptr;
}

const VirtualReaderModel* VirtualReaderFindModelByName(const char* name, size_t len) {
  std::string_view n(name, len);
  for (const VirtualReaderModel& m : kModels) {
    if (EqualsNoCase(n, m.name)) return &m;
  }
  return nullptr;
}

// 16 serial bytes of the index-th attached reader of a model (no terminator).
static void VirtualReaderSerial(uint32_t code, uint32_t index, unsigned char serial[16]) {
  const VirtualReaderModel* model = VirtualReaderFindModel(code);
  char text[40];
  // Model name, then digits to fill 16 characters: unique per model and index.
  const char* name = model != nullptr ? model->name : "VR";
  int digits = 16 - static_cast<int>(strlen(name));
  snprintf(text, sizeof text, "%s%0*u", name, digits, 20240000u + index + 1u);
  memcpy(serial, text, 16);
}

// Next impression number for a capture (counts from first_impression).
static unsigned VirtualReaderNextImpression() {
  ReaderState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.next_impression++;
}

// Counts a call against the Create counter; returns the injected code or 0.
static int VirtualReaderCreateFault(const VirtualReaderConfig& config) {
  ReaderState& s = State();
  int n;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    n = ++s.create_calls;
  }
  for (int i = 0; i < config.fault_count; ++i) {
    const VirtualFault& f = config.faults[i];
    if (f.call == kCallCreate && (f.nth == 0 || f.nth == n)) return f.code;
  }
  return 0;
}

namespace {

constexpr size_t kImageNameBytes = 256;  // longer file names are skipped

bool IsImageName(std::string_view name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return false;
  const std::string_view ext = name.substr(dot + 1);
  return EqualsNoCase(ext, "pgm") || EqualsNoCase(ext, "bmp") || EqualsNoCase(ext, "wsq");
}

}  // namespace

// The image file the reader presents at the given capture (counted like
// impressions, from first_impression) when config.images names a folder or a
// file: the file itself, or the folder's PGM, BMP and WSQ files (by their
// extension, any case) in byte order of their names, starting again after the
// last one (only the first kVirtualMaxImageFiles names in that order count).
// Writes its path into path (cap bytes). Returns 0, or -1 when there is no
// such file (nothing at the path, an empty folder, a path too long).
static int VirtualReaderPickImage(const VirtualReaderConfig& config, unsigned capture, char* path,
                                  size_t cap) {
  namespace fs = std::filesystem;
  if (path == nullptr || cap == 0 || config.images[0] == '\0') return -1;
  path[0] = '\0';
  std::error_code ec;
  const fs::path where(config.images);
  if (fs::is_regular_file(where, ec)) {
    if (strlen(config.images) >= cap) return -1;
    snprintf(path, cap, "%s", config.images);
    return 0;
  }
  if (!fs::is_directory(where, ec)) return -1;
  // The names of the folder's images, sorted, in one fixed-size table: a
  // folder of any size costs at most kVirtualMaxImageFiles names.
  HeapText table(static_cast<char*>(malloc(kVirtualMaxImageFiles * kImageNameBytes)));
  if (!table) return -1;
  char* names = table.get();
  int count = 0;
  for (fs::directory_iterator it(where, ec), end; !ec && it != end; it.increment(ec)) {
    if (!it->is_regular_file(ec)) continue;
    const std::string name = it->path().filename().string();
    if (!IsImageName(name) || name.size() >= kImageNameBytes) continue;
    char* slot = nullptr;
    if (count < kVirtualMaxImageFiles) {
      slot = names + static_cast<size_t>(count++) * kImageNameBytes;
    } else {
      // Full: the name replaces the last one in order if it comes before it.
      char* last = names;
      for (int i = 1; i < count; ++i) {
        char* n = names + static_cast<size_t>(i) * kImageNameBytes;
        if (strcmp(n, last) > 0) last = n;
      }
      if (strcmp(name.c_str(), last) < 0) slot = last;
    }
    if (slot != nullptr) memcpy(slot, name.c_str(), name.size() + 1);
  }
  if (count == 0) return -1;
  // Sorted views of the names; the capture-th one is presented.
  std::unique_ptr<const char*, HeapBlockFree> order(
      static_cast<const char**>(malloc(sizeof(const char*) * static_cast<size_t>(count))));
  if (!order) return -1;
  for (int i = 0; i < count; ++i) order.get()[i] = names + static_cast<size_t>(i) * kImageNameBytes;
  std::sort(order.get(), order.get() + count,
            [](const char* a, const char* b) { return strcmp(a, b) < 0; });
  const char* chosen = order.get()[capture % static_cast<unsigned>(count)];
  if (chosen == nullptr) return -1;
  const std::string full = (where / chosen).string();
  if (full.size() >= cap) return -1;
  memcpy(path, full.c_str(), full.size() + 1);
  return 0;
}

VirtualReaderStats VirtualReaderStatsSnapshot() {
  ReaderState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.stats;
}

static void VirtualReaderCountHandle(int delta) {
  ReaderState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.stats.live_handles += delta;
  if (delta > 0) s.stats.created += delta;
}

static void VirtualReaderCountOpen(int delta) {
  ReaderState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.stats.open_devices += delta;
}

static void VirtualReaderNoteFakeLevel(int level) {
  ReaderState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.stats.fake_level = level;
}

void VirtualReaderNoteTemplateFormatSet() {
  ReaderState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.stats.template_format_sets++;
}

void VirtualReaderNoteTemplateCreated(uint32_t format) {
  ReaderState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.stats.last_template_format = format;
}

static void VirtualReaderNoteCapture(uint32_t timeout_ms) {
  ReaderState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.stats.capture_calls++;
  s.stats.last_capture_timeout = timeout_ms;
}

// The virtual reader as a backend of the SDK.

namespace {

struct VirtualHandle : BackendState {
  VirtualReaderConfig config;    // read at Create, again at Init
  int calls[kVirtualCallCount];  // per-handle call counts for fault injection
  uint32_t device_name;          // model given to Init
  int width, height;             // of the open reader's images
  int fake_level;                // 0 off
  // An image file presented by the open reader (images=): chosen and read
  // when the reader opens, shown at every capture until it closes.
  unsigned char* file_pixels;  // malloc'd, width x height; null: none
  bool no_image;               // images= names nothing to show: no finger arrives
};

VirtualHandle* Virtual(BackendState* state) {
  return static_cast<VirtualHandle*>(state);
}

// Time a reader presenting image files takes per capture.
constexpr unsigned kImageFrameMs = 20;
// Placement frames: one every kPlacementFrameMs; the sensor is bare for the
// first share of placement_ms, the finger arrives until kPlacementFullShare,
// lies pressed lightly until kPlacementFirmShare, then firmly.
constexpr uint32_t kPlacementFrameMs = 100;
constexpr double kPlacementBareShare = 0.2;
constexpr double kPlacementFullShare = 0.5;
constexpr double kPlacementFirmShare = 0.75;

// Liveness below which a finger counts as fake at a detection level: spread
// between the fake ceiling (0.3) and the live floor (0.7), stricter upwards.
float LivenessThreshold(int level, int thresholds) {
  int steps = std::max(thresholds, 1);
  return 0.3f + 0.4f * static_cast<float>(level) / static_cast<float>(steps + 1);
}

bool ModelAttached(const VirtualReaderConfig& config, uint32_t code) {
  for (int i = 0; i < config.reader_count; ++i) {
    if (config.readers[i] == code) return true;
  }
  return false;
}

void ReleasePresentedImage(VirtualHandle* v) {
  free(v->file_pixels);
  v->file_pixels = nullptr;
  v->no_image = false;
}

// Reads the image file this capture presents into the handle and gives its
// size and resolution. A reader whose images= names no image shows no finger;
// a file that cannot be used keeps the reader from opening, with the reason
// on standard error.
int LoadPresentedImage(VirtualHandle* v, int* width, int* height, uint32_t* dpi) {
  char path[kVirtualImagesPathBytes + 256];
  if (VirtualReaderPickImage(v->config, VirtualReaderNextImpression(), path, sizeof path) != 0) {
    fprintf(stderr, "vrfplib: images=%s: no PGM, BMP or WSQ file there\n", v->config.images);
    v->no_image = true;
    return VRFPM_OK;
  }
  ImageFile file;
  const int rc = ReadImageFile(path, &file);
  if (rc != kImageFileOk) {
    fprintf(stderr, "vrfplib: images: %s: %s\n", path, ImageFileResultText(rc));
    return rc == kImageFileNoMemory ? VRFPM_ERR_OUT_OF_MEMORY : VRFPM_ERR_OPEN_FAILED;
  }
  v->file_pixels = file.pixels.release();
  *width = file.width;
  *height = file.height;
  *dpi = static_cast<uint32_t>(file.ppi);
  return VRFPM_OK;
}

// Sleeps ms in slices, asking the abort check between them. Returns true
// when the check asked to stop.
bool SleepUnlessAborted(const CaptureWait& request, uint32_t ms) {
  for (;;) {
    if (request.abort_check != nullptr && request.abort_check(request.abort_context) != 0) {
      return true;
    }
    if (ms == 0) return false;
    const uint32_t slice = std::min(ms, VRFPM_ABORT_POLL_MS);
    PlatformSleepMs(slice);
    ms -= slice;
  }
}

int VirtualCreate(BackendState** state) {
  *state = nullptr;
  VirtualReaderConfig config;
  if (int rc = VirtualReaderCurrentConfig(&config); rc != 0) return rc;
  if (int rc = VirtualReaderCreateFault(config); rc != 0) return rc;
  auto* v = static_cast<VirtualHandle*>(calloc(1, sizeof(VirtualHandle)));
  if (v == nullptr) return VRFPM_ERR_OUT_OF_MEMORY;
  v->config = config;
  VirtualReaderCountHandle(1);
  *state = v;
  return VRFPM_OK;
}

void VirtualDestroy(BackendState* state) {
  VirtualHandle* v = Virtual(state);
  ReleasePresentedImage(v);
  free(v);
  VirtualReaderCountHandle(-1);
}

// Counts the call and returns the injected failure code, or 0.
int VirtualFaultOf(BackendState* state, VirtualCall call) {
  VirtualHandle* v = Virtual(state);
  int n = ++v->calls[call];
  for (int i = 0; i < v->config.fault_count; ++i) {
    const VirtualFault& f = v->config.faults[i];
    if (f.call == call && (f.nth == 0 || f.nth == n)) return f.code;
  }
  return 0;
}

int VirtualInit(BackendState* state, uint32_t device_name) {
  VirtualHandle* v = Virtual(state);
  if (int rc = VirtualReaderCurrentConfig(&v->config); rc != 0) return rc;
  if (int f = VirtualFaultOf(v, kCallInit)) return f;
  if (VirtualReaderFindModel(device_name) == nullptr) return VRFPM_ERR_UNKNOWN_DEVICE;
  v->device_name = device_name;
  return VRFPM_OK;
}

// Enumeration lists USB readers only; the serial reader is found by its port.
int VirtualEnumerate(BackendState* state, std::span<EnumeratedReader> out, uint32_t* count) {
  const VirtualReaderConfig& c = Virtual(state)->config;
  uint32_t n = 0;
  for (int i = 0; i < c.reader_count && n < out.size(); ++i) {
    uint32_t code = c.readers[i];
    uint32_t index = 0;
    for (int k = 0; k < i; ++k) index += c.readers[k] == code ? 1u : 0u;
    out[n].entry.device_name = code;
    out[n].entry.device_index = index;
    VirtualReaderSerial(code, index, out[n].entry.serial);
    const VirtualReaderModel* model = VirtualReaderFindModel(code);
    snprintf(out[n].model, sizeof out[n].model, "%s", model != nullptr ? model->name : "");
    ++n;
  }
  *count = n;
  return VRFPM_OK;
}

int VirtualOpen(BackendState* state, uint32_t identifier, VRFPM_DeviceInfo* info) {
  VirtualHandle* v = Virtual(state);
  const VirtualReaderConfig& c = v->config;
  const VirtualReaderModel* model = VirtualReaderFindModel(v->device_name);
  if (model == nullptr) return VRFPM_ERR_UNKNOWN_DEVICE;
  uint32_t index = 0;
  if (model->usb) {
    if (identifier != VRFPM_OPEN_USB) return VRFPM_ERR_OPEN_FAILED;  // USB readers have no COM port
    if (!ModelAttached(c, model->code)) return VRFPM_ERR_NO_DEVICE;
  } else {
    if (identifier == VRFPM_OPEN_USB || identifier == 0) return VRFPM_ERR_INVALID_ARGUMENT;
    if (c.com_port == 0 || static_cast<uint32_t>(c.com_port) != identifier) {
      return VRFPM_ERR_NO_DEVICE;
    }
  }
  int width = c.image_width > 0 ? c.image_width : model->width;
  int height = c.image_height > 0 ? c.image_height : model->height;
  uint32_t dpi = kVirtualReaderDpi;
  ReleasePresentedImage(v);
  if (c.images[0] != '\0') {
    const int rc = LoadPresentedImage(v, &width, &height, &dpi);
    if (rc != VRFPM_OK) return rc;
  }
  memset(info, 0, sizeof *info);
  info->device_id = model->code;
  VirtualReaderSerial(model->code, index, info->serial);
  info->firmware_version = 0x0102;
  info->hardware_version = 0x0001;
  info->image_width = static_cast<uint32_t>(width);
  info->image_height = static_cast<uint32_t>(height);
  info->brightness = 50;
  info->contrast = 50;
  info->gain = 1;
  info->image_dpi = dpi;
  v->width = width;
  v->height = height;
  v->fake_level = 0;
  VirtualReaderCountOpen(1);
  return VRFPM_OK;
}

int VirtualFakeThresholds(const BackendState* state) {
  return static_cast<const VirtualHandle*>(state)->config.fake_thresholds;
}

int VirtualSetFakeLevel(BackendState* state, int level) {
  VirtualHandle* v = Virtual(state);
  // A reader without graded thresholds still has plain on/off detection.
  int highest = std::max(v->config.fake_thresholds, 1);
  if (level > highest) return VRFPM_ERR_NOT_SUPPORTED;
  v->fake_level = level;
  VirtualReaderNoteFakeLevel(level);
  return VRFPM_OK;
}

// Sends the frames of a finger being placed over ms milliseconds, one every
// kPlacementFrameMs, made from the print it will leave (width x height):
// the bare sensor, then the finger arriving from the top edge, partial and
// light, then all of it pressed lightly, then the print itself. Without a
// print (no finger comes) every frame is the bare sensor. Returns true when
// the abort check asked to stop.
bool PlaceFinger(const CaptureWait& request, uint32_t ms, const unsigned char* print, int width,
                 int height) {
  if (request.sink == nullptr) return SleepUnlessAborted(request, ms);
  const size_t bytes = static_cast<size_t>(width) * static_cast<size_t>(height);
  HeapBytes frame(static_cast<unsigned char*>(malloc(bytes)));
  if (!frame) return SleepUnlessAborted(request, ms);
  for (uint32_t elapsed = 0;;) {
    const double t = ms == 0 ? 1.0 : static_cast<double>(elapsed) / ms;
    // Share of the rows the finger covers, and how hard it presses (0..1).
    double rows = 0.0, pressure = 0.0;
    if (print != nullptr && t >= kPlacementBareShare) {
      const double arriving =
          (t - kPlacementBareShare) / (kPlacementFullShare - kPlacementBareShare);
      rows = t < kPlacementFullShare ? 0.3 + 0.4 * arriving : 1.0;
      pressure = t < kPlacementFullShare ? 0.5 : t < kPlacementFirmShare ? 0.6 : 1.0;
    }
    const size_t covered = static_cast<size_t>(rows * height) * static_cast<size_t>(width);
    for (size_t i = 0; i < bytes; i++) {
      const double ink = i < covered ? (255.0 - print[i]) * pressure : 0.0;
      frame.get()[i] = static_cast<unsigned char>(255.0 - ink);
    }
    request.sink(request.sink_context, VRFPM_SINK_FRAME, frame.get(), static_cast<uint32_t>(width),
                 static_cast<uint32_t>(height));
    if (elapsed >= ms) return false;
    const uint32_t step = std::min(kPlacementFrameMs, ms - elapsed);
    if (SleepUnlessAborted(request, step)) return true;
    elapsed += step;
  }
}

int VirtualCapture(BackendState* state, const CaptureWait& request, ImageDimensions* size) {
  VirtualHandle* v = Virtual(state);
  VirtualReaderNoteCapture(request.timeout_ms);
  if (int f = VirtualFaultOf(v, kCallGetImageEx)) return f;
  const VirtualReaderConfig& c = v->config;
  // Each capture waits for the finger to be placed anew; a finger that would
  // arrive after the time-out is never seen.
  if (c.finger == 0 || v->no_image || static_cast<uint32_t>(c.placement_ms) > request.timeout_ms) {
    return PlaceFinger(request, request.timeout_ms, nullptr, v->width, v->height)
               ? VRFPM_ERR_CANCELLED
               : VRFPM_ERR_TIMEOUT;
  }
  const size_t bytes = static_cast<size_t>(v->width) * static_cast<size_t>(v->height);
  if (request.image.size() < bytes) return VRFPM_ERR_IMAGE_TOO_LARGE;
  // The print is made first, so that the placement frames show the very
  // impression the capture returns.
  HeapBytes pixels(static_cast<unsigned char*>(malloc(bytes)));
  if (!pixels) return VRFPM_ERR_OUT_OF_MEMORY;
  bool fake_rejected = false;
  if (v->file_pixels != nullptr) {
    // A file has no liveness to measure and passes fake detection.
    memcpy(pixels.get(), v->file_pixels, bytes);
  } else {
    std::unique_ptr<SynthImpression, HeapBlockFree> impression(
        static_cast<SynthImpression*>(calloc(1, sizeof(SynthImpression))));
    if (!impression) return VRFPM_ERR_OUT_OF_MEMORY;
    SynthRequest synth{c.finger, VirtualReaderNextImpression(), v->width, v->height, c.quality,
                       c.fake};
    if (SynthesizeImpression(&synth, pixels.get(), impression.get()) != 0) {
      return VRFPM_ERR_DEVICE_FAILURE;
    }
    fake_rejected = v->fake_level > 0 &&
                    impression->liveness < LivenessThreshold(v->fake_level, c.fake_thresholds);
  }
  if (PlaceFinger(request, static_cast<uint32_t>(c.placement_ms), pixels.get(), v->width,
                  v->height)) {
    return VRFPM_ERR_CANCELLED;
  }
  // One frame time, as a sensor takes, for a file; a synthetic print has
  // taken its own making.
  if (v->file_pixels != nullptr) PlatformSleepMs(kImageFrameMs);
  if (fake_rejected) return VRFPM_ERR_FAKE_FINGER;
  *size = ImageDimensions{v->width, v->height};
  memcpy(request.image.data(), pixels.get(), bytes);
  return VRFPM_OK;
}

void VirtualClose(BackendState* state) {
  VirtualHandle* v = Virtual(state);
  v->fake_level = 0;
  ReleasePresentedImage(v);
  VirtualReaderCountOpen(-1);
}

}  // namespace

const ReaderBackend kVirtualReaderBackend = {
    .name = "virtual",
    .missing = nullptr,
    .create = VirtualCreate,
    .destroy = VirtualDestroy,
    .fault = VirtualFaultOf,
    .init = VirtualInit,
    .enumerate = VirtualEnumerate,
    .open = VirtualOpen,
    .fake_thresholds = VirtualFakeThresholds,
    .set_fake_level = VirtualSetFakeLevel,
    .capture = VirtualCapture,
    .close = VirtualClose,
};
