// Captures fingers x impressions on the virtual reader through the SDK, makes
// ISO templates and matches every pair: prints the genuine and impostor score
// distributions, the equal error rate, the false non-match rate at a false
// match rate of 0.1 %, minutiae per impression and the time of each step.
// Usage: kv-bench [fingers (50)] [impressions (5)] [reader (NX51)] [quality (good)]
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "sdk/fingerprint_template.h"
#include "sdk/minutiae_matcher.h"
#include "sdk/nfiq.h"
#include "sdk/virtual_reader.h"
#include "sdk/vrfplib.h"

namespace {

// Processor time of this process: the machine is shared, and wall time
// would count the other programs' turns too.
struct Clock {
  using time_point = double;
  static double now() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
  }
};

double Ms(double a, double b) {
  return b - a;
}

double WallMs() {
  return std::chrono::duration<double, std::milli>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

struct Template {
  int finger;
  std::vector<unsigned char> bytes;
  int minutiae;
};

int Check(int rc, const char* what) {
  if (rc != VRFPM_OK) {
    fprintf(stderr, "%s failed: %d\n", what, rc);
    exit(1);
  }
  return rc;
}

void PrintHistogram(const char* name, const std::vector<uint32_t>& scores) {
  uint32_t top = scores.empty() ? 0 : *std::max_element(scores.begin(), scores.end());
  printf("%s scores (%zu comparisons), bins of 4:\n", name, scores.size());
  for (uint32_t lo = 0; lo <= top; lo += 4) {
    size_t n = 0;
    for (uint32_t s : scores) n += (s >= lo && s < lo + 4) ? 1 : 0;
    if (n > 0) printf("  %3u-%3u %7zu\n", lo, lo + 3, n);
  }
}

}  // namespace

int main(int argc, char** argv) {
  int fingers = argc > 1 ? atoi(argv[1]) : 50;
  int impressions = argc > 2 ? atoi(argv[2]) : 5;
  const char* reader = argc > 3 ? argv[3] : "NX51";
  const char* quality = argc > 4 ? argv[4] : "good";
  if (fingers < 2 || impressions < 2) return 2;

  std::vector<Template> templates;
  double t_capture = 0, t_quality = 0, t_nfiq = 0, t_template = 0;
  int captures = 0;
  std::vector<int> minutiae_counts;
  for (int f = 1; f <= fingers; ++f) {
    char config[128];
    snprintf(config, sizeof config, "readers=%s;finger=%d;quality=%s", reader, f, quality);
    if (VirtualReaderConfigure(config) != 0) return 2;
    VRFPM_HANDLE h = nullptr;
    Check(VRFPM_Create(&h), "Create");
    const VirtualReaderModel* model = VirtualReaderFindModelByName(reader, strlen(reader));
    Check(VRFPM_Init(h, model->code), "Init");
    Check(VRFPM_OpenDevice(h, VRFPM_OPEN_USB), "OpenDevice");
    VRFPM_DeviceInfo info;
    Check(VRFPM_GetDeviceInfo(h, &info), "GetDeviceInfo");
    std::vector<unsigned char> image(info.image_width * info.image_height);
    for (int i = 0; i < impressions; ++i) {
      auto t0 = Clock::now();
      Check(VRFPM_GetImageEx(h, image.data(), 1000, 0, 50), "GetImageEx");
      auto t1 = Clock::now();
      uint32_t q = 0;
      Check(VRFPM_GetImageQuality(h, info.image_width, info.image_height, image.data(), &q),
            "GetImageQuality");
      auto t2 = Clock::now();
      int nfiq = 0, flags = 0;
      float confidence = 0;
      NFIQ_ComputeNfiq(&nfiq, &confidence, image.data(), static_cast<int>(info.image_width),
                       static_cast<int>(info.image_height), 8, 500, &flags);
      auto t3 = Clock::now();
      VRFPM_FingerInfo fi{0, 0, 0, static_cast<uint16_t>(q)};
      unsigned char record[VRFPM_TEMPLATE_BYTES];
      Check(VRFPM_CreateTemplate(h, &fi, image.data(), record), "CreateTemplate");
      uint32_t size = 0;
      Check(VRFPM_GetTemplateSize(h, record, &size), "GetTemplateSize");
      auto t4 = Clock::now();
      t_capture += Ms(t0, t1);
      t_quality += Ms(t1, t2);
      t_nfiq += Ms(t2, t3);
      t_template += Ms(t3, t4);
      ++captures;
      int n = record[kIsoHeaderBytes + 3];
      minutiae_counts.push_back(n);
      templates.push_back(Template{f, std::vector<unsigned char>(record, record + size), n});
    }
    VRFPM_CloseDevice(h);
    VRFPM_Terminate(h);
  }

  VRFPM_HANDLE h = nullptr;
  Check(VRFPM_Create(&h), "Create");
  Check(VRFPM_Init(h, VRFPM_DEVICE_NX51), "Init");
  std::vector<uint32_t> genuine, impostor;
  double t_match = 0;
  const double wall_start = WallMs();
  size_t matches = 0;
  for (size_t i = 0; i < templates.size(); ++i) {
    for (size_t j = i + 1; j < templates.size(); ++j) {
      uint32_t score = 0;
      auto t0 = Clock::now();
      Check(VRFPM_GetMatchingScore(h, templates[i].bytes.data(), templates[j].bytes.data(), &score),
            "GetMatchingScore");
      t_match += Ms(t0, Clock::now());
      ++matches;
      (templates[i].finger == templates[j].finger ? genuine : impostor).push_back(score);
    }
  }
  VRFPM_Terminate(h);
  const double wall_match = WallMs() - wall_start;

  std::sort(minutiae_counts.begin(), minutiae_counts.end());
  double mean_minutiae = 0;
  for (int n : minutiae_counts) mean_minutiae += n;
  mean_minutiae /= static_cast<double>(minutiae_counts.size());
  printf("reader %s, quality %s: %d fingers x %d impressions\n", reader, quality, fingers,
         impressions);
  printf("minutiae per impression: mean %.1f, min %d, median %d, max %d\n", mean_minutiae,
         minutiae_counts.front(), minutiae_counts[minutiae_counts.size() / 2],
         minutiae_counts.back());
  PrintHistogram("genuine", genuine);
  PrintHistogram("impostor", impostor);

  // Decision "match" when score >= t.
  uint32_t top = 0;
  for (uint32_t s : genuine) top = std::max(top, s);
  for (uint32_t s : impostor) top = std::max(top, s);
  double eer = 1.0, eer_t = 0, best_gap = 2.0;
  int fmr_threshold = -1;
  double fnmr_at = 1.0;
  for (uint32_t t = 0; t <= top + 1; ++t) {
    size_t fm = 0, fnm = 0;
    for (uint32_t s : impostor) fm += s >= t ? 1 : 0;
    for (uint32_t s : genuine) fnm += s < t ? 1 : 0;
    double fmr = static_cast<double>(fm) / static_cast<double>(impostor.size());
    double fnmr = static_cast<double>(fnm) / static_cast<double>(genuine.size());
    if (std::abs(fmr - fnmr) < best_gap) {
      best_gap = std::abs(fmr - fnmr);
      eer = (fmr + fnmr) / 2;
      eer_t = t;
    }
    if (fmr_threshold < 0 && fmr <= 0.001) {
      fmr_threshold = static_cast<int>(t);
      fnmr_at = fnmr;
    }
  }
  printf("equal error rate: %.3f %% (threshold %.0f)\n", eer * 100, eer_t);
  printf("threshold for FMR <= 0.1 %%: %d; FNMR there: %.3f %%\n", fmr_threshold, fnmr_at * 100);
  size_t fm = 0, fnm = 0;
  for (uint32_t s : impostor) fm += s >= kMatchThreshold ? 1 : 0;
  for (uint32_t s : genuine) fnm += s < kMatchThreshold ? 1 : 0;
  printf("highest impostor score %u, lowest genuine score %u\n",
         *std::max_element(impostor.begin(), impostor.end()),
         *std::min_element(genuine.begin(), genuine.end()));
  printf("at the SDK threshold %u: FMR %.4f %% (%zu), FNMR %.3f %% (%zu)\n", kMatchThreshold,
         100.0 * static_cast<double>(fm) / static_cast<double>(impostor.size()), fm,
         100.0 * static_cast<double>(fnm) / static_cast<double>(genuine.size()), fnm);
  printf("processor time (the machine is shared; wall time over the matches: %.4f ms each)\n",
         wall_match / static_cast<double>(matches));
  printf("per capture (ms): synthesis %.2f, quality %.2f, NFIQ %.2f, template %.2f, total %.2f\n",
         t_capture / captures, t_quality / captures, t_nfiq / captures, t_template / captures,
         (t_capture + t_quality + t_nfiq + t_template) / captures);
  printf("per match (ms): %.4f over %zu matches\n", t_match / static_cast<double>(matches),
         matches);
  return 0;
}
