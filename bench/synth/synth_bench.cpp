// Time of the image work of one capture on the virtual reader: synthesis of
// an impression (master cached, as for every capture after a finger's
// first), a master of its own (a finger's first capture), image quality and
// the NFIQ estimate. The capture budget for all of it is well under 80 ms at
// 300x400.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

#include "sdk/image_quality.h"
#include "sdk/nfiq.h"
#include "synth/synth_master.h"
#include "synth/synthetic_finger.h"

namespace {

struct Size {
  int w, h;
};
constexpr Size kSizes[] = {{300, 400}, {260, 300}, {258, 336}};

void BM_SynthesizeImpression(benchmark::State& state) {
  const Size s = kSizes[state.range(0)];
  std::vector<unsigned char> image(static_cast<size_t>(s.w) * s.h);
  SynthImpression out;
  unsigned impression = 0;
  for (auto _ : state) {
    const SynthRequest req{
        1, impression++, s.w, s.h, static_cast<SynthQualityProfile>(state.range(1)), false};
    benchmark::DoNotOptimize(SynthesizeImpression(&req, image.data(), &out));
  }
  state.SetLabel(std::to_string(s.w) + "x" + std::to_string(s.h));
}
BENCHMARK(BM_SynthesizeImpression)
    ->ArgsProduct({{0, 1, 2}, {0, 1, 2}})
    ->Unit(benchmark::kMillisecond);

void BM_BuildMaster(benchmark::State& state) {
  auto* master = static_cast<SynthMaster*>(std::malloc(sizeof(SynthMaster)));
  unsigned finger = 1;
  for (auto _ : state) {
    BuildMaster(finger++, master);
    benchmark::DoNotOptimize(master->minutia_count);
  }
  std::free(master);
}
BENCHMARK(BM_BuildMaster)->Unit(benchmark::kMillisecond);

std::vector<unsigned char> Impression(const Size& s, SynthQualityProfile profile) {
  std::vector<unsigned char> image(static_cast<size_t>(s.w) * s.h);
  SynthImpression out;
  const SynthRequest req{3, 0, s.w, s.h, profile, false};
  SynthesizeImpression(&req, image.data(), &out);
  return image;
}

void BM_MeasureImageQuality(benchmark::State& state) {
  const Size s = kSizes[state.range(0)];
  const auto image = Impression(s, kSynthGood);
  for (auto _ : state) benchmark::DoNotOptimize(MeasureImageQuality(image.data(), s.w, s.h));
}
BENCHMARK(BM_MeasureImageQuality)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

void BM_Nfiq(benchmark::State& state) {
  const Size s = kSizes[state.range(0)];
  const auto image = Impression(s, kSynthGood);
  int nfiq;
  float confidence;
  for (auto _ : state) {
    int flags = 0;
    benchmark::DoNotOptimize(
        NFIQ_ComputeNfiq(&nfiq, &confidence, image.data(), s.w, s.h, 8, 500, &flags));
  }
}
BENCHMARK(BM_Nfiq)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

// What one capture asks of this module: an impression, its quality measured
// twice (inside the capture loop and once more at the end) and its NFIQ.
void BM_CaptureImageWork(benchmark::State& state) {
  const Size s = kSizes[0];
  std::vector<unsigned char> image(static_cast<size_t>(s.w) * s.h);
  SynthImpression out;
  unsigned impression = 0;
  for (auto _ : state) {
    const SynthRequest req{1, impression++, s.w, s.h, kSynthGood, false};
    SynthesizeImpression(&req, image.data(), &out);
    benchmark::DoNotOptimize(MeasureImageQuality(image.data(), s.w, s.h));
    benchmark::DoNotOptimize(MeasureImageQuality(image.data(), s.w, s.h));
    int nfiq, flags = 0;
    float confidence;
    benchmark::DoNotOptimize(
        NFIQ_ComputeNfiq(&nfiq, &confidence, image.data(), s.w, s.h, 8, 500, &flags));
  }
}
BENCHMARK(BM_CaptureImageWork)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
