// What the virtual reader's quality profiles score: captures fingers x
// impressions per profile and reader through the SDK and prints, per profile,
// the quality's spread, the share of captures at or above the thresholds
// pages use, the NFIQ levels and the time of one quality measurement.
// Usage: kv-bench-quality [fingers (40)] [impressions (3)]
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <vector>

#include "sdk/nfiq.h"
#include "sdk/virtual_reader.h"
#include "sdk/vrfplib.h"

namespace {

// Processor time of this process: the machine is shared.
double CpuMs() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

void Check(int rc, const char* what) {
  if (rc != VRFPM_OK) {
    fprintf(stderr, "%s failed: %d\n", what, rc);
    exit(1);
  }
}

struct Profile {
  const char* name;
  const char* config;  // added to the reader's configuration
};
constexpr Profile kProfiles[] = {{"good", "quality=good"},
                                 {"good, fake", "quality=good;fake=1"},
                                 {"poor", "quality=poor"},
                                 {"never", "quality=never"}};
constexpr const char* kReaders[] = {"NX51", "TRV08", "KLM06X"};
constexpr int kThresholds[] = {25, 40, 50, 60};

}  // namespace

int main(int argc, char** argv) {
  const int fingers = argc > 1 ? atoi(argv[1]) : 40;
  const int impressions = argc > 2 ? atoi(argv[2]) : 3;
  if (fingers < 1 || impressions < 1) return 2;
  printf("%d fingers x %d impressions on each of NX51, TRV08, KLM06X\n", fingers, impressions);
  printf(
      "| Profile | min / 5 %% / median / 95 %% / max | >= 25 | >= 40 | >= 50 | >= 60 | NFIQ "
      "1/2/3/4/5 "
      "| ms / quality |\n|---|---|---|---|---|---|---|---|\n");
  for (const Profile& p : kProfiles) {
    std::vector<int> q;
    int nfiq_levels[6] = {};
    double ms = 0;
    for (const char* reader : kReaders) {
      for (int f = 1; f <= fingers; ++f) {
        char config[128];
        snprintf(config, sizeof config, "readers=%s;finger=%d;%s", reader, f, p.config);
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
          Check(VRFPM_GetImageEx(h, image.data(), 1000, 0, 0), "GetImageEx");
          uint32_t quality = 0;
          const double t0 = CpuMs();
          Check(
              VRFPM_GetImageQuality(h, info.image_width, info.image_height, image.data(), &quality),
              "GetImageQuality");
          ms += CpuMs() - t0;
          q.push_back(static_cast<int>(quality));
          int nfiq = 0;
          if (NFIQ_ComputeNfiq(&nfiq, nullptr, image.data(), static_cast<int>(info.image_width),
                               static_cast<int>(info.image_height), 8, 500, nullptr) == 0) {
            nfiq_levels[nfiq]++;
          } else {
            nfiq_levels[0]++;
          }
        }
        VRFPM_CloseDevice(h);
        VRFPM_Terminate(h);
      }
    }
    std::sort(q.begin(), q.end());
    const size_t n = q.size();
    auto at = [&](double share) {
      return q[static_cast<size_t>(share * static_cast<double>(n - 1))];
    };
    printf("| %s | %d / %d / %d / %d / %d |", p.name, q.front(), at(0.05), at(0.5), at(0.95),
           q.back());
    for (int t : kThresholds) {
      const auto passing = std::count_if(q.begin(), q.end(), [t](int v) { return v >= t; });
      printf(" %.0f %% |", 100.0 * static_cast<double>(passing) / static_cast<double>(n));
    }
    printf(" %d/%d/%d/%d/%d", nfiq_levels[1], nfiq_levels[2], nfiq_levels[3], nfiq_levels[4],
           nfiq_levels[5]);
    if (nfiq_levels[0] > 0) printf(" (%d not graded)", nfiq_levels[0]);
    printf(" | %.2f |\n", ms / static_cast<double>(n));
  }
  (void)VirtualReaderConfigure(nullptr);
  return 0;
}
