// Accuracy and speed of minutiae extraction and matching through the SDK,
// with every template made from the pixels:
// - per quality profile of the virtual reader (fingers x impressions at
//   300 x 400): minutiae recall and precision against the synthesiser's own
//   minutiae, processor milliseconds per extraction;
// - per set (those profiles and each FVC2000 B database found under --fvc:
//   db1..db4, 10 fingers x 8 impressions of 8-bit PGM): equal error rate,
//   false non-match rate at false match rates of 1 % and 0.1 %, false
//   non-match and false match rates at the SDK's threshold, the calibration
//   table (measured false match rate at each nominal threshold), the fingers
//   the false non-matches at FMR 1 % come from, score percentiles,
//   milliseconds per match;
// - with --poses, each FVC set's EER and false matches at the threshold again
//   with the images turned 90 and 180 degrees, mirrored and transposed, and
//   the mean over the five poses;
// - the processor time of a whole capture reply (device layer and JSON) on
//   the virtual reader.
// Every pair of impressions is compared once (genuine: same finger).
//
// Usage: extract_match_bench [--fingers N] [--impressions M] [--profiles good,poor,never]
//                            [--fvc DIR] [--poses] [--histograms] [--raw FILE]
// scripts/bench-extract.sh unpacks the FVC images into the build directory
// and runs this with the defaults (30 fingers x 8 impressions per profile:
// 840 genuine and 27,840 impostor pairs, enough to see a rate of 0.01 %).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "api/capture_endpoint.h"
#include "api/json_reply.h"
#include "device/fingerprint_device.h"
#include "extract/minutiae_extractor.h"
#include "sdk/fingerprint_template.h"
#include "sdk/minutiae_matcher.h"
#include "sdk/virtual_reader.h"
#include "sdk/vrfplib.h"
#include "synth/synthetic_finger.h"

namespace {

constexpr float kPi = 3.14159265358979f;
constexpr float kPairDistancePx = 10.0f;  // a found minutia matches a true one within these
constexpr float kPairAngleDeg = 20.0f;
constexpr int kSynthWidth = 300, kSynthHeight = 400;

// Processor time of this thread: the machine is shared, and wall time would
// count the other programs' turns too.
double CpuMs() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

void Check(int rc, const char* what) {
  if (rc != VRFPM_OK) {
    fprintf(stderr, "%s failed: %d\n", what, rc);
    exit(1);
  }
}

struct Template {
  int finger;
  std::vector<unsigned char> bytes;
};

// An SDK handle opened on a reader of the given image size.
struct Reader {
  VRFPM_HANDLE h = nullptr;
  Reader(int width, int height) {
    char config[96];
    snprintf(config, sizeof config, "readers=NX51;image_size=%dx%d", width, height);
    if (VirtualReaderConfigure(config) != 0) Check(-1, "VirtualReaderConfigure");
    Check(VRFPM_Create(&h), "Create");
    Check(VRFPM_Init(h, VRFPM_DEVICE_NX51), "Init");
    Check(VRFPM_OpenDevice(h, VRFPM_OPEN_USB), "OpenDevice");
  }
  ~Reader() {
    VRFPM_CloseDevice(h);
    VRFPM_Terminate(h);
  }
  std::vector<unsigned char> MakeTemplate(const unsigned char* image, double* ms) {
    VRFPM_FingerInfo info{0, 0, 0, 60};
    unsigned char record[VRFPM_TEMPLATE_BYTES];
    const double t0 = CpuMs();
    Check(VRFPM_CreateTemplate(h, &info, image, record), "CreateTemplate");
    *ms += CpuMs() - t0;
    uint32_t size = 0;
    Check(VRFPM_GetTemplateSize(h, record, &size), "GetTemplateSize");
    return std::vector<unsigned char>(record, record + size);
  }
};

// Calibration rows: the thresholds for a false match rate of 10 %, 1 %,
// 0.1 %, 0.01 % and 0.001 %.
constexpr uint32_t kCalibrationScores[] = {6, 10, 14, 18, 22};
constexpr int kCalibrationRows = 5;

struct Comparisons {
  std::vector<float> genuine_sim, impostor_sim;  // raw similarities
  std::vector<uint32_t> genuine, impostor;       // the SDK's scores
  std::vector<int> genuine_finger;               // the finger of each genuine pair
  double ms = 0;                                 // per SDK comparison timed
  size_t timed = 0;
};

struct Rates {
  double eer = 1;                                    // from the raw similarities
  double fnmr_at[2] = {1, 1};                        // at FMR <= 1 %, 0.1 %
  uint32_t score_at[2] = {0, 0};                     // the score of that raw threshold
  float sim_at[2] = {0, 0};                          // that raw threshold
  size_t fm_at_threshold = 0, fnm_at_threshold = 0;  // at kMatchThreshold
  size_t fm_at[kCalibrationRows] = {};               // at kCalibrationScores
};

size_t AtOrAbove(const std::vector<uint32_t>& v, uint32_t t) {
  return static_cast<size_t>(std::count_if(v.begin(), v.end(), [t](uint32_t s) { return s >= t; }));
}

Rates ComputeRates(const Comparisons& c) {
  Rates r;
  std::vector<float> g = c.genuine_sim, i = c.impostor_sim;
  std::sort(g.begin(), g.end());
  std::sort(i.begin(), i.end());
  const double ng = static_cast<double>(g.size()), ni = static_cast<double>(i.size());
  // A comparison is a match when its similarity >= t; t runs over every value.
  std::vector<float> ts = g;
  ts.insert(ts.end(), i.begin(), i.end());
  ts.push_back(1e30f);
  std::sort(ts.begin(), ts.end());
  double best_gap = 2;
  constexpr double kTargets[2] = {0.01, 0.001};
  bool found[2] = {false, false};
  for (float t : ts) {
    const double fnmr =
        static_cast<double>(std::lower_bound(g.begin(), g.end(), t) - g.begin()) / ng;
    const double fmr = static_cast<double>(i.end() - std::lower_bound(i.begin(), i.end(), t)) / ni;
    if (std::fabs(fmr - fnmr) < best_gap) {
      best_gap = std::fabs(fmr - fnmr);
      r.eer = (fmr + fnmr) / 2;
    }
    for (int k = 0; k < 2; ++k) {
      if (!found[k] && fmr <= kTargets[k]) {
        found[k] = true;
        r.fnmr_at[k] = fnmr;
        r.score_at[k] = ScoreFromSimilarity(t);
        r.sim_at[k] = t;
      }
    }
  }
  r.fm_at_threshold = AtOrAbove(c.impostor, kMatchThreshold);
  r.fnm_at_threshold = c.genuine.size() - AtOrAbove(c.genuine, kMatchThreshold);
  for (int k = 0; k < kCalibrationRows; ++k)
    r.fm_at[k] = AtOrAbove(c.impostor, kCalibrationScores[k]);
  return r;
}

// With --raw FILE, every comparison's raw similarity and what it rests on
// are written there (set, genuine, similarity, minutiae counts, cylinder
// similarity, pairs, overlaps, the two templates' indices) for fitting the
// calibration and finding the pairs that fail.
FILE* g_raw = nullptr;

// Every pair through the matcher on parsed records (for the rates); every
// 16th pair also through the SDK as a page would call it, timed, and its
// score checked against the direct one.
// raw: where to write each comparison's evidence (g_raw, or null).
Comparisons CompareAll(const char* set, const std::vector<Template>& templates, FILE* raw) {
  Comparisons c;
  VRFPM_HANDLE h = nullptr;
  Check(VRFPM_Create(&h), "Create");
  Check(VRFPM_Init(h, VRFPM_DEVICE_NX51), "Init");
  std::vector<TemplateRecord*> parsed;
  for (const Template& t : templates) {
    parsed.push_back(static_cast<TemplateRecord*>(malloc(sizeof(TemplateRecord))));
    Check(ParseTemplateRecord(VRFPM_FORMAT_ISO, t.bytes.data(), t.bytes.size(), parsed.back()),
          "ParseTemplateRecord");
  }
  size_t n = 0;
  for (size_t i = 0; i < templates.size(); ++i) {
    for (size_t j = i + 1; j < templates.size(); ++j) {
      const bool genuine = templates[i].finger == templates[j].finger;
      const MatchEvidence e = TemplateRecordsEvidence(*parsed[i], *parsed[j]);
      const float similarity = SimilarityFromEvidence(e);
      const uint32_t score = ScoreFromSimilarity(similarity);
      if (raw != nullptr) {
        fprintf(raw, "%s %d %.6f %d %d %.6f %d %d %d %.0f %.3f %.3f %.3f %zu %zu\n", set,
                genuine ? 1 : 0, similarity, e.count_a, e.count_b, e.local, e.paired, e.overlap_a,
                e.overlap_b, e.overlap_area, e.paired_quality, e.overlap_quality_a,
                e.overlap_quality_b, i, j);
      }
      if (n++ % 16 == 0) {
        uint32_t sdk_score = 0;
        const double t0 = CpuMs();
        Check(VRFPM_GetMatchingScore(h, templates[i].bytes.data(), templates[j].bytes.data(),
                                     &sdk_score),
              "GetMatchingScore");
        c.ms += CpuMs() - t0;
        ++c.timed;
        if (sdk_score != score) Check(-1, "the SDK's score differs from the matcher's");
      }
      (genuine ? c.genuine_sim : c.impostor_sim).push_back(similarity);
      (genuine ? c.genuine : c.impostor).push_back(score);
      if (genuine) c.genuine_finger.push_back(templates[i].finger);
    }
  }
  for (TemplateRecord* p : parsed) free(p);
  VRFPM_Terminate(h);
  return c;
}

std::string Percentiles(std::vector<uint32_t> v) {
  if (v.empty()) return "-";
  std::sort(v.begin(), v.end());
  auto at = [&](double q) { return v[std::min(v.size() - 1, static_cast<size_t>(q * v.size()))]; };
  char text[128];
  snprintf(text, sizeof text, "%u / %u / %u / %u / %u / %u / %u", v.front(), at(0.01), at(0.25),
           at(0.5), at(0.75), at(0.99), v.back());
  return text;
}

void PrintHistogram(const char* title, const Comparisons& c) {
  uint32_t top = 0;
  for (uint32_t s : c.genuine) top = std::max(top, s);
  for (uint32_t s : c.impostor) top = std::max(top, s);
  const uint32_t bin = std::max(1u, (top + 24) / 25);
  printf("\n%s: scores in bins of %u (genuine, impostor)\n", title, bin);
  for (uint32_t lo = 0; lo <= top; lo += bin) {
    size_t g = 0, i = 0;
    for (uint32_t s : c.genuine) g += (s >= lo && s < lo + bin) ? 1 : 0;
    for (uint32_t s : c.impostor) i += (s >= lo && s < lo + bin) ? 1 : 0;
    if (g + i > 0) printf("  %4u-%-4u %7zu %9zu\n", lo, lo + bin - 1, g, i);
  }
}

// Minutiae of a record in image pixels and radians (counter-clockwise on screen).
struct Point {
  float x, y, angle;
};

std::vector<Point> RecordPoints(const std::vector<unsigned char>& record) {
  auto parsed = static_cast<TemplateRecord*>(malloc(sizeof(TemplateRecord)));
  std::vector<Point> points;
  if (ParseTemplateRecord(VRFPM_FORMAT_ISO, record.data(), record.size(), parsed) == VRFPM_OK) {
    const TemplateView& v = parsed->views[0];
    for (int i = 0; i < v.minutia_count; ++i) {
      const TemplateMinutia& m = v.minutiae[i];
      points.push_back(Point{static_cast<float>(m.x), static_cast<float>(m.y),
                             static_cast<float>(m.angle) * 2 * kPi / 256});
    }
  }
  free(parsed);
  return points;
}

// One-to-one pairs between true and found minutiae (nearest first).
int CountPairs(const SynthImpression& truth, const std::vector<Point>& found,
               const std::vector<bool>& counted) {
  struct Link {
    float d2;
    int t, f;
  };
  std::vector<Link> links;
  for (int t = 0; t < truth.minutia_count; ++t) {
    const SynthMinutia& m = truth.minutiae[t];
    for (size_t f = 0; f < found.size(); ++f) {
      if (!counted[f]) continue;
      const float dx = found[f].x - m.x, dy = found[f].y - m.y;
      const float d2 = dx * dx + dy * dy;
      const float da = std::fabs(std::remainder(found[f].angle - m.angle, 2 * kPi));
      if (d2 <= kPairDistancePx * kPairDistancePx && da <= kPairAngleDeg * kPi / 180) {
        links.push_back(Link{d2, t, static_cast<int>(f)});
      }
    }
  }
  std::sort(links.begin(), links.end(), [](const Link& a, const Link& b) { return a.d2 < b.d2; });
  std::vector<bool> t_used(truth.minutia_count, false), f_used(found.size(), false);
  int pairs = 0;
  for (const Link& l : links) {
    if (t_used[l.t] || f_used[l.f]) continue;
    t_used[l.t] = f_used[l.f] = true;
    ++pairs;
  }
  return pairs;
}

// Found minutiae count towards precision only where the synthesiser reports
// its own: a ridge period inside the full-contrast contact region and inside
// the image.
std::vector<bool> InTruthRegion(const std::vector<Point>& found, const unsigned char* mask,
                                float period) {
  std::vector<bool> in(found.size());
  const float margin = period + 2;
  for (size_t i = 0; i < found.size(); ++i) {
    const Point& p = found[i];
    bool inside = p.x >= margin && p.y >= margin && p.x <= kSynthWidth - 1 - margin &&
                  p.y <= kSynthHeight - 1 - margin;
    for (int k = 0; k < 8 && inside; ++k) {
      const float a = static_cast<float>(k) * kPi / 4;
      const long x = std::lround(p.x + period * std::cos(a));
      const long y = std::lround(p.y + period * std::sin(a));
      inside = x >= 0 && y >= 0 && x < kSynthWidth && y < kSynthHeight &&
               mask[static_cast<size_t>(y) * kSynthWidth + static_cast<size_t>(x)] != 0;
    }
    in[i] = inside;
  }
  return in;
}

struct ProfileResult {
  const char* name;
  int impressions;
  double minutiae_mean;
  double recall, precision;
  double extract_ms, template_ms, match_ms;
  Rates rates;
  Comparisons comparisons;
};

ProfileResult RunProfile(const char* name, SynthQualityProfile profile, int fingers,
                         int impressions) {
  ProfileResult r{};
  r.name = name;
  Reader reader(kSynthWidth, kSynthHeight);
  std::vector<Template> templates;
  std::vector<unsigned char> image(kSynthWidth * kSynthHeight), mask(kSynthWidth * kSynthHeight);
  auto truth = static_cast<SynthImpression*>(malloc(sizeof(SynthImpression)));
  std::vector<ExtractedMinutia> scratch(kMaxViewMinutiae);
  long true_total = 0, found_total = 0, found_counted = 0, pairs_total = 0;
  for (int f = 1; f <= fingers; ++f) {
    for (int i = 0; i < impressions; ++i) {
      const SynthRequest req{static_cast<unsigned>(f),
                             static_cast<unsigned>(i),
                             kSynthWidth,
                             kSynthHeight,
                             profile,
                             false};
      if (SynthesizeImpression(&req, image.data(), truth) != 0 ||
          SynthesizeContactMask(&req, mask.data()) != 0) {
        Check(-1, "SynthesizeImpression");
      }
      // The extractor alone, then the whole template through the SDK.
      int n = 0;
      const double t0 = CpuMs();
      if (ExtractMinutiae(ExtractImage{image, kSynthWidth, kSynthHeight, 500}, scratch, &n) != 0) {
        Check(-1, "ExtractMinutiae");
      }
      r.extract_ms += CpuMs() - t0;
      templates.push_back(Template{f, reader.MakeTemplate(image.data(), &r.template_ms)});
      const std::vector<Point> found = RecordPoints(templates.back().bytes);
      const std::vector<bool> counted = InTruthRegion(found, mask.data(), truth->ridge_period);
      const int pairs = CountPairs(*truth, found, counted);
      true_total += truth->minutia_count;
      found_total += static_cast<long>(found.size());
      found_counted += std::count(counted.begin(), counted.end(), true);
      pairs_total += pairs;
    }
  }
  free(truth);
  r.impressions = fingers * impressions;
  r.minutiae_mean = static_cast<double>(found_total) / r.impressions;
  r.recall =
      true_total > 0 ? static_cast<double>(pairs_total) / static_cast<double>(true_total) : 0;
  r.precision =
      found_counted > 0 ? static_cast<double>(pairs_total) / static_cast<double>(found_counted) : 0;
  r.extract_ms /= r.impressions;
  r.template_ms /= r.impressions;
  r.comparisons = CompareAll(name, templates, g_raw);
  r.match_ms =
      r.comparisons.timed > 0 ? r.comparisons.ms / static_cast<double>(r.comparisons.timed) : 0;
  r.rates = ComputeRates(r.comparisons);
  return r;
}

bool ReadPgm(const std::string& path, std::vector<unsigned char>* pixels, int* width, int* height) {
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  int maxval = 0;
  bool ok = fscanf(f, "P5 %d %d %d", width, height, &maxval) == 3 && maxval == 255 &&
            fgetc(f) != EOF && *width > 0 && *height > 0;
  if (ok) {
    pixels->resize(static_cast<size_t>(*width) * static_cast<size_t>(*height));
    ok = fread(pixels->data(), 1, pixels->size(), f) == pixels->size();
  }
  fclose(f);
  return ok;
}

struct FvcResult {
  std::string name;
  int width = 0, height = 0, images = 0;
  double extract_ms = 0, minutiae_mean = 0, match_ms = 0;
  Rates rates;
  Comparisons comparisons;
};

// Lossless ways to present the same prints: an extractor and matcher that
// do not depend on how the image lies measure the same on each, so the
// spread between them shows how much of a set's figure is chance.
enum class Pose { kUpright, kTurned90, kTurned180, kMirrored, kTransposed };
constexpr Pose kPoses[] = {Pose::kUpright, Pose::kTurned90, Pose::kTurned180, Pose::kMirrored,
                           Pose::kTransposed};
constexpr const char* kPoseNames[] = {"upright", "turned 90°", "turned 180°", "mirrored",
                                      "transposed"};

// The image of width x height in the given pose; width and height become
// the new sides.
std::vector<unsigned char> Posed(const std::vector<unsigned char>& in, int* width, int* height,
                                 Pose pose) {
  const int w = *width, h = *height;
  if (pose == Pose::kUpright) return in;
  std::vector<unsigned char> out(in.size());
  const bool swap = pose == Pose::kTurned90 || pose == Pose::kTransposed;
  const int ow = swap ? h : w;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      int ox = x, oy = y;
      switch (pose) {
        case Pose::kTurned90:  // clockwise
          ox = h - 1 - y;
          oy = x;
          break;
        case Pose::kTurned180:
          ox = w - 1 - x;
          oy = h - 1 - y;
          break;
        case Pose::kMirrored:
          ox = w - 1 - x;
          break;
        case Pose::kTransposed:
          ox = y;
          oy = x;
          break;
        case Pose::kUpright:
          break;
      }
      out[static_cast<size_t>(oy) * static_cast<size_t>(ow) + static_cast<size_t>(ox)] =
          in[static_cast<size_t>(y) * static_cast<size_t>(w) + static_cast<size_t>(x)];
    }
  }
  if (swap) std::swap(*width, *height);
  return out;
}

bool RunFvc(const std::string& dir, const std::string& db, Pose pose, FvcResult* out) {
  out->name = db;
  std::vector<std::vector<unsigned char>> images;
  std::vector<int> fingers;
  for (int f = 101; f <= 110; ++f) {
    for (int i = 1; i <= 8; ++i) {
      std::vector<unsigned char> pixels;
      int w = 0, h = 0;
      const std::string path =
          dir + "/" + db + "/f" + std::to_string(f) + "_" + std::to_string(i) + ".pgm";
      if (!ReadPgm(path, &pixels, &w, &h)) return false;
      images.push_back(Posed(pixels, &w, &h, pose));
      out->width = w;
      out->height = h;
      fingers.push_back(f);
    }
  }
  Reader reader(out->width, out->height);
  std::vector<Template> templates;
  double template_ms = 0;
  for (size_t k = 0; k < images.size(); ++k) {
    templates.push_back(Template{fingers[k], reader.MakeTemplate(images[k].data(), &template_ms)});
    out->minutiae_mean += templates.back().bytes[kIsoHeaderBytes + 3];
  }
  out->images = static_cast<int>(images.size());
  out->extract_ms = template_ms / out->images;
  out->minutiae_mean /= out->images;
  // Only the upright prints' comparisons go to --raw.
  out->comparisons = CompareAll(db.c_str(), templates, pose == Pose::kUpright ? g_raw : nullptr);
  out->rates = ComputeRates(out->comparisons);
  out->match_ms = out->comparisons.timed > 0
                      ? out->comparisons.ms / static_cast<double>(out->comparisons.timed)
                      : 0;
  return true;
}

// Processor time of one capture request's work on the service thread: the
// device layer's capture (synthesis, quality, NFIQ, template) and the JSON
// reply with its BMP and Base64 texts.
double CaptureReplyMs(int repeats) {
  if (VirtualReaderConfigure("readers=NX51;finger=3") != 0) return -1;
  auto result = static_cast<CaptureResult*>(calloc(1, sizeof(CaptureResult)));
  double total = 0;
  for (int i = 0; i < repeats; ++i) {
    const double t0 = CpuMs();
    const float no_wsq = 0.0f;
    if (BCCaptureImage(VRFPM_DEVICE_NX51, 0, 0, 10000, 50, kTemplateFormatIso, 0, 0, result,
                       no_wsq) != 0) {
      return -1;
    }
    const CaptureReplyOptions options{"NX51", false, 0.0f, kTemplateFormatIso, nullptr};
    JsonReply reply;
    if (BuildCaptureJson(result, &options, &reply) != 0) return -1;
    total += CpuMs() - t0;
  }
  ReleaseCaptureResult(result);
  free(result);
  return total / repeats;
}

}  // namespace

int main(int argc, char** argv) {
  int fingers = 30, impressions = 8;
  std::string profiles = "good,poor,never", fvc_dir;
  bool histograms = false, poses = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : "";
    if (arg == "--fingers") {
      fingers = atoi(value);
      ++i;
    } else if (arg == "--impressions") {
      impressions = atoi(value);
      ++i;
    } else if (arg == "--profiles") {
      profiles = value;
      ++i;
    } else if (arg == "--fvc") {
      fvc_dir = value;
      ++i;
    } else if (arg == "--raw") {
      g_raw = fopen(value, "w");
      if (g_raw == nullptr) return 2;
      ++i;
    } else if (arg == "--histograms") {
      histograms = true;
    } else if (arg == "--poses") {
      poses = true;
    } else {
      fprintf(stderr,
              "usage: %s [--fingers N] [--impressions M] [--profiles good,poor,never] "
              "[--fvc DIR] [--poses] [--histograms] [--raw FILE]\n",
              argv[0]);
      return 2;
    }
  }
  if (fingers < 2 || impressions < 2) return 2;

  struct Named {
    const char* name;
    SynthQualityProfile profile;
  };
  constexpr Named kProfiles[] = {
      {"good", kSynthGood}, {"poor", kSynthPoor}, {"never", kSynthNeverGood}};
  std::vector<ProfileResult> results;
  for (const Named& p : kProfiles) {
    if (profiles.find(p.name) == std::string::npos) continue;
    results.push_back(RunProfile(p.name, p.profile, fingers, impressions));
    fprintf(stderr, "%s done\n", p.name);
  }
  std::vector<FvcResult> fvc;
  // posed[s][p]: set s in pose p + 1 (with --poses).
  std::vector<std::vector<Rates>> posed;
  if (!fvc_dir.empty()) {
    for (const char* db : {"db1", "db2", "db3", "db4"}) {
      FvcResult r;
      if (!RunFvc(fvc_dir, db, Pose::kUpright, &r)) {
        fprintf(stderr, "%s: no FVC images under %s\n", db, fvc_dir.c_str());
        continue;
      }
      fvc.push_back(std::move(r));
      if (!poses) continue;
      posed.emplace_back();
      for (size_t p = 1; p < std::size(kPoses); ++p) {
        FvcResult turned;
        if (!RunFvc(fvc_dir, db, kPoses[p], &turned)) return 1;
        posed.back().push_back(turned.rates);
      }
      fprintf(stderr, "%s done\n", db);
    }
  }
  const double reply_ms = CaptureReplyMs(20);
  if (VirtualReaderConfigure(nullptr) != 0) return 1;

  printf("Virtual reader, 300 x 400, %d fingers x %d impressions per profile; processor time\n\n",
         fingers, impressions);
  printf("| Profile | Minutiae | Recall | Precision | ms / extraction | ms / template |\n");
  printf("|---|---:|---:|---:|---:|---:|\n");
  for (const ProfileResult& r : results) {
    printf("| %s | %.1f | %.1f %% | %.1f %% | %.1f | %.1f |\n", r.name, r.minutiae_mean,
           100 * r.recall, 100 * r.precision, r.extract_ms, r.template_ms);
  }
  // One row per set: the virtual reader's profiles, then the FVC databases.
  struct Row {
    std::string name;
    const Comparisons* c;
    const Rates* rates;
    double match_ms;
  };
  std::vector<Row> rows;
  for (const ProfileResult& r : results) {
    rows.push_back(Row{std::string("virtual ") + r.name, &r.comparisons, &r.rates, r.match_ms});
  }
  for (const FvcResult& r : fvc) {
    rows.push_back(Row{"FVC2000 " + r.name + "_B", &r.comparisons, &r.rates, r.match_ms});
  }
  printf("\nAccuracy (every pair of impressions; genuine: same finger)\n\n");
  printf(
      "| Set | Genuine / impostor pairs | EER | FNMR @ FMR 1 %% (score) | FNMR @ FMR 0.1 %% "
      "(score) "
      "| FNMR @ %u | FMR @ %u | ms / match |\n",
      kMatchThreshold, kMatchThreshold);
  printf("|---|---:|---:|---:|---:|---:|---:|---:|\n");
  double eer_sum = 0, fnmr_sum = 0;
  for (const Row& row : rows) {
    const Rates& r = *row.rates;
    const size_t ng = row.c->genuine.size(), ni = row.c->impostor.size();
    printf(
        "| %s | %zu / %zu | %.2f %% | %.2f %% (%u) | %.2f %% (%u) | %.2f %% (%zu) | %.3f %% (%zu) "
        "| %.3f |\n",
        row.name.c_str(), ng, ni, 100 * r.eer, 100 * r.fnmr_at[0], r.score_at[0],
        100 * r.fnmr_at[1], r.score_at[1],
        100.0 * static_cast<double>(r.fnm_at_threshold) / static_cast<double>(ng),
        r.fnm_at_threshold,
        100.0 * static_cast<double>(r.fm_at_threshold) / static_cast<double>(ni), r.fm_at_threshold,
        row.match_ms);
  }
  if (!fvc.empty()) {
    for (const FvcResult& r : fvc) {
      eer_sum += r.rates.eer;
      fnmr_sum += static_cast<double>(r.rates.fnm_at_threshold) /
                  static_cast<double>(r.comparisons.genuine.size());
    }
    const double n = static_cast<double>(fvc.size());
    printf("\nFVC2000 B average: EER %.2f %%, FNMR @ %u %.2f %%\n", 100 * eer_sum / n,
           kMatchThreshold, 100 * fnmr_sum / n);
  }
  if (!posed.empty()) {
    printf(
        "\nThe same prints turned and mirrored (no pixel changes value): EER, and false matches "
        "at %u\n\n| Set |",
        kMatchThreshold);
    for (const char* name : kPoseNames) printf(" %s |", name);
    printf(" mean |\n|---|");
    for (size_t p = 0; p <= std::size(kPoses); ++p) printf("---:|");
    printf("\n");
    double mean_sum = 0, worst_mean = 0, fnmr_sum = 0;
    size_t fm_all = 0, impostors_all = 0;
    for (size_t k = 0; k < fvc.size(); ++k) {
      printf("| FVC2000 %s_B |", fvc[k].name.c_str());
      double eer_total = 0;
      size_t fm_total = 0;
      const double genuine = static_cast<double>(fvc[k].comparisons.genuine.size());
      for (size_t p = 0; p < std::size(kPoses); ++p) {
        const Rates& r = p == 0 ? fvc[k].rates : posed[k][p - 1];
        printf(" %.2f %% (%zu) |", 100 * r.eer, r.fm_at_threshold);
        eer_total += r.eer;
        fm_total += r.fm_at_threshold;
        fnmr_sum += static_cast<double>(r.fnm_at_threshold) / genuine;
        impostors_all += fvc[k].comparisons.impostor.size();
      }
      const double n = static_cast<double>(std::size(kPoses));
      printf(" %.2f %% (%.1f) |\n", 100 * eer_total / n, static_cast<double>(fm_total) / n);
      mean_sum += eer_total / n;
      worst_mean = std::max(worst_mean, eer_total / n);
      fm_all += fm_total;
    }
    const double runs = static_cast<double>(fvc.size() * std::size(kPoses));
    printf(
        "\nFVC2000 B over the five poses: mean EER %.2f %%, highest set %.2f %%; FNMR @ %u "
        "%.2f %%, FMR @ %u %.3f %% (%zu of %zu)\n",
        100 * mean_sum / static_cast<double>(fvc.size()), 100 * worst_mean, kMatchThreshold,
        100 * fnmr_sum / runs, kMatchThreshold,
        100.0 * static_cast<double>(fm_all) / static_cast<double>(impostors_all), fm_all,
        impostors_all);
  }
  printf(
      "\nCalibration: measured false match rate (false matches) at each score\n\n| Score | Nominal "
      "FMR |");
  for (const Row& row : rows) printf(" %s |", row.name.c_str());
  printf("\n|---:|---:|");
  for (size_t k = 0; k < rows.size(); ++k) printf("---:|");
  printf("\n");
  for (int k = 0; k < kCalibrationRows; ++k) {
    printf("| %u | %g %% |", kCalibrationScores[k],
           100.0 * std::pow(10.0, -(static_cast<double>(kCalibrationScores[k]) - 2) / 4));
    for (const Row& row : rows) {
      const size_t fm = row.rates->fm_at[k];
      printf(" %.3f %% (%zu) |",
             100.0 * static_cast<double>(fm) / static_cast<double>(row.c->impostor.size()), fm);
    }
    printf("\n");
  }
  // Few fingers usually make most of the errors; this says which to look at.
  printf("\nFalse non-matches at FMR 1 %%, by finger (its genuine pairs that fail)\n\n");
  for (const Row& row : rows) {
    std::map<int, int> by_finger;
    const std::vector<float>& g = row.c->genuine_sim;
    for (size_t k = 0; k < g.size(); ++k) {
      if (g[k] < row.rates->sim_at[0]) ++by_finger[row.c->genuine_finger[k]];
    }
    std::vector<std::pair<int, int>> worst(by_finger.begin(), by_finger.end());
    std::sort(worst.begin(), worst.end(), [](const auto& x, const auto& y) {
      return x.second > y.second || (x.second == y.second && x.first < y.first);
    });
    printf("- %s:", row.name.c_str());
    if (worst.empty()) printf(" none");
    constexpr size_t kListed = 6;  // a set that fails everywhere needs no full list
    int rest = 0;
    for (size_t k = 0; k < worst.size(); ++k) {
      if (k < kListed) {
        printf("%s %d (%d)", k > 0 ? "," : "", worst[k].first, worst[k].second);
      } else {
        rest += worst[k].second;
      }
    }
    if (worst.size() > kListed) printf(", %zu more fingers (%d)", worst.size() - kListed, rest);
    printf("\n");
  }
  printf("\nScores (min / 1 %% / 25 %% / median / 75 %% / 99 %% / max):\n\n");
  printf("| Set | Genuine | Impostor |\n|---|---|---|\n");
  for (const Row& row : rows) {
    printf("| %s | %s | %s |\n", row.name.c_str(), Percentiles(row.c->genuine).c_str(),
           Percentiles(row.c->impostor).c_str());
  }
  if (!fvc.empty()) {
    printf("\n| FVC2000 B | Image | Minutiae | ms / template |\n|---|---|---:|---:|\n");
    for (const FvcResult& r : fvc) {
      printf("| %s | %d x %d | %.1f | %.1f |\n", r.name.c_str(), r.width, r.height, r.minutiae_mean,
             r.extract_ms);
    }
  }
  printf("\nCapture reply (device layer capture + JSON, NX51, good finger): %.1f ms\n", reply_ms);
  if (histograms) {
    for (const ProfileResult& r : results) PrintHistogram(r.name, r.comparisons);
    for (const FvcResult& r : fvc) PrintHistogram(r.name.c_str(), r.comparisons);
  }
  return 0;
}
