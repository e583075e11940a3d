// Master fingerprints: orientation from a zero-pole model of the cores and
// deltas, a smooth ridge-period field, and a ridge pattern grown by repeated
// oriented band-pass filtering of noise (ridges meet and split where the flow
// forces them, which is where the minutiae come from). The minutiae are then
// read off the thinned ridge pattern, so they are the ones an extractor finds.

#include "synth/synth_master.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "synth/synthetic_finger.h"

namespace {

constexpr float kPi = 3.14159265358979f;

// The ridge pattern grows on a grid of kGrowStep pixels, which keeps the
// filtering cheap; it is upsampled to full resolution afterwards.
constexpr int kGrowStep = 2;
constexpr int kGrowW = kMasterWidth / kGrowStep;
constexpr int kGrowH = kMasterHeight / kGrowStep;
constexpr int kKernelRadius = 4;  // grid cells
constexpr int kKernelSide = 2 * kKernelRadius + 1;
constexpr int kOrientationBins = 24;
constexpr int kPeriodBins = 6;
constexpr float kMinPeriod = 8.0f;   // pixels at 500 ppi
constexpr float kMaxPeriod = 10.0f;  // pixels at 500 ppi
constexpr int kGrowIterations = 14;

// Minutiae closer than this to the field's edge are dropped: the pattern is
// less settled there and no impression shows that far out anyway.
constexpr int kEdgeMargin = 16;

}  // namespace

void SynthRngSeed(SynthRng* rng, uint64_t a, uint64_t b, uint64_t c) {
  rng->state = a * 0x9E3779B97F4A7C15ull ^ (b + 0x632BE59BD9B4E019ull) * 0xBF58476D1CE4E5B9ull ^
               (c + 0x85157AF5ull) * 0x94D049BB133111EBull;
  for (int i = 0; i < 4; i++) SynthRngNext(rng);
}

uint64_t SynthRngNext(SynthRng* rng) {
  // splitmix64: fast, well mixed, identical on every platform.
  uint64_t z = (rng->state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

float SynthRngUniform(SynthRng* rng, float lo, float hi) {
  const float u = static_cast<float>(SynthRngNext(rng) >> 40) / static_cast<float>(1ull << 24);
  return lo + (hi - lo) * u;
}

float SynthRngGauss(SynthRng* rng) {
  // Sum of four uniforms: cheap, bounded and close enough to normal for noise.
  float s = 0;
  for (int i = 0; i < 4; i++) s += SynthRngUniform(rng, -1.0f, 1.0f);
  return s * 0.866f;
}

namespace {

// --- Orientation and period ---------------------------------------------

struct FlowModel {
  int pattern_class;
  int cores, deltas;
  float cx[kMasterMaxSingular], cy[kMasterMaxSingular];
  float dx[kMasterMaxSingular], dy[kMasterMaxSingular];
  float arch_height, arch_width;                               // arch pattern: bulge of the ridges
  float wobble_a[3], wobble_kx[3], wobble_ky[3], wobble_p[3];  // slow orientation noise
  float period0;
  float period_a[2], period_kx[2], period_ky[2], period_p[2];
};

int PickClass(SynthRng* rng) {
  // Natural frequencies of the Henry classes.
  const float u = SynthRngUniform(rng, 0.0f, 100.0f);
  if (u < 3.7f) return kSynthArch;
  if (u < 6.6f) return kSynthTentedArch;
  if (u < 40.4f) return kSynthLeftLoop;
  if (u < 72.1f) return kSynthRightLoop;
  return kSynthWhorl;
}

void MakeFlowModel(SynthRng* rng, FlowModel* m) {
  std::memset(m, 0, sizeof(*m));
  m->pattern_class = PickClass(rng);
  const float cx = SynthRngUniform(rng, -20.0f, 20.0f);
  const float cy = SynthRngUniform(rng, -50.0f, 10.0f);
  switch (m->pattern_class) {
    case kSynthArch:
      m->arch_height = SynthRngUniform(rng, 1.0f, 1.5f);
      m->arch_width = SynthRngUniform(rng, 90.0f, 140.0f);
      break;
    case kSynthTentedArch:
      m->cores = m->deltas = 1;
      m->cx[0] = cx;
      m->cy[0] = cy;
      m->dx[0] = cx + SynthRngUniform(rng, -8.0f, 8.0f);
      m->dy[0] = cy + SynthRngUniform(rng, 40.0f, 60.0f);
      break;
    case kSynthLeftLoop:
    case kSynthRightLoop: {
      const float side = m->pattern_class == kSynthLeftLoop ? 1.0f : -1.0f;
      m->cores = m->deltas = 1;
      m->cx[0] = cx - side * 15.0f;
      m->cy[0] = cy;
      m->dx[0] = m->cx[0] + side * SynthRngUniform(rng, 85.0f, 125.0f);
      m->dy[0] = cy + SynthRngUniform(rng, 85.0f, 125.0f);
      break;
    }
    default: {  // whorl: two cores, a delta on each side
      const float h = SynthRngUniform(rng, 10.0f, 22.0f);
      const float tilt = SynthRngUniform(rng, -0.5f, 0.5f);
      m->cores = m->deltas = 2;
      m->cx[0] = cx + h * std::sin(tilt);
      m->cy[0] = cy - h * std::cos(tilt);
      m->cx[1] = cx - h * std::sin(tilt);
      m->cy[1] = cy + h * std::cos(tilt);
      m->dx[0] = cx - SynthRngUniform(rng, 100.0f, 135.0f);
      m->dy[0] = cy + SynthRngUniform(rng, 90.0f, 130.0f);
      m->dx[1] = cx + SynthRngUniform(rng, 100.0f, 135.0f);
      m->dy[1] = cy + SynthRngUniform(rng, 90.0f, 130.0f);
      break;
    }
  }
  for (int i = 0; i < 3; i++) {
    m->wobble_a[i] = SynthRngUniform(rng, 0.03f, 0.08f);
    m->wobble_kx[i] = SynthRngUniform(rng, -0.025f, 0.025f);
    m->wobble_ky[i] = SynthRngUniform(rng, -0.025f, 0.025f);
    m->wobble_p[i] = SynthRngUniform(rng, 0.0f, 2 * kPi);
  }
  m->period0 = SynthRngUniform(rng, 8.6f, 9.4f);
  for (int i = 0; i < 2; i++) {
    m->period_a[i] = SynthRngUniform(rng, 0.2f, 0.45f);
    m->period_kx[i] = SynthRngUniform(rng, -0.02f, 0.02f);
    m->period_ky[i] = SynthRngUniform(rng, -0.02f, 0.02f);
    m->period_p[i] = SynthRngUniform(rng, 0.0f, 2 * kPi);
  }
}

// Ridge direction at a master point, radians modulo pi, image convention
// (counter-clockwise on screen, y down).
float FlowOrientation(const FlowModel* m, float x, float y) {
  // The zero-pole model works in a y-up frame.
  const float X = x, Y = -y;
  float t = 0;
  for (int i = 0; i < m->cores; i++) t += std::atan2(Y + m->cy[i], X - m->cx[i]);
  for (int i = 0; i < m->deltas; i++) t -= std::atan2(Y + m->dy[i], X - m->dx[i]);
  t *= 0.5f;
  if (m->pattern_class == kSynthArch) {
    // Ridges follow y = -h * w * exp(-x^2/w^2): flat at the sides, bulging
    // towards the tip in the middle, the bulge fading towards the joint.
    const float w = m->arch_width;
    const float fade = 1.0f / (1.0f + std::exp((y - 60.0f) / 50.0f));
    const float slope = m->arch_height * 2.0f * X / w * std::exp(-X * X / (w * w)) * fade;
    t = -std::atan(slope);
  }
  for (int i = 0; i < 3; i++)
    t += m->wobble_a[i] * std::sin(m->wobble_kx[i] * x + m->wobble_ky[i] * y + m->wobble_p[i]);
  return t;
}

float FlowPeriod(const FlowModel* m, float x, float y) {
  float p = m->period0;
  for (int i = 0; i < 2; i++)
    p += m->period_a[i] * std::sin(m->period_kx[i] * x + m->period_ky[i] * y + m->period_p[i]);
  return std::fmin(kMaxPeriod, std::fmax(kMinPeriod, p));
}

// --- Ridge growth ---------------------------------------------------------

struct KernelBank {
  float k[kOrientationBins][kPeriodBins][kKernelSide * kKernelSide];
};

// Even Gabor kernels, elongated along the ridge so that ridges continue, with
// zero mean so that ridges and valleys stay balanced.
void MakeKernelBank(KernelBank* bank) {
  for (int o = 0; o < kOrientationBins; o++) {
    const float theta = kPi * static_cast<float>(o) / kOrientationBins;
    const float ux = std::cos(theta), uy = -std::sin(theta);  // along the ridge (y down)
    for (int p = 0; p < kPeriodBins; p++) {
      const float period =
          (kMinPeriod + (kMaxPeriod - kMinPeriod) * (static_cast<float>(p) + 0.5f) / kPeriodBins) /
          kGrowStep;
      const float su = 0.75f * period, sv = 0.45f * period;
      float* k = bank->k[o][p];
      float sum = 0, weight = 0;
      for (int j = -kKernelRadius; j <= kKernelRadius; j++) {
        for (int i = -kKernelRadius; i <= kKernelRadius; i++) {
          const float u = i * ux + j * uy, v = -i * uy + j * ux;
          const float env = std::exp(-0.5f * (u * u / (su * su) + v * v / (sv * sv)));
          const float val = env * std::cos(2 * kPi * v / period);
          k[(j + kKernelRadius) * kKernelSide + i + kKernelRadius] = val;
          sum += val;
          weight += env;
        }
      }
      for (int j = -kKernelRadius; j <= kKernelRadius; j++) {
        for (int i = -kKernelRadius; i <= kKernelRadius; i++) {
          const float u = i * ux + j * uy, v = -i * uy + j * ux;
          const float env = std::exp(-0.5f * (u * u / (su * su) + v * v / (sv * sv)));
          k[(j + kKernelRadius) * kKernelSide + i + kKernelRadius] -= sum * env / weight;
        }
      }
    }
  }
}

const KernelBank* SharedKernelBank() {
  static KernelBank* bank = [] {
    auto* b = static_cast<KernelBank*>(std::malloc(sizeof(KernelBank)));
    if (b) MakeKernelBank(b);
    return b;
  }();
  return bank;
}

constexpr int kPad = kKernelRadius;
constexpr int kPaddedW = kGrowW + 2 * kPad;
constexpr int kPaddedH = kGrowH + 2 * kPad;

// Scratch of one growth; heap, since it is too large for a thread's stack.
struct GrowScratch {
  float a[kPaddedW * kPaddedH];
  float b[kPaddedW * kPaddedH];
  uint16_t kernel_index[kGrowW * kGrowH];  // orientation bin * kPeriodBins + period bin
};

void GrowRidges(const FlowModel* flow, SynthRng* rng, GrowScratch* s, const KernelBank* bank) {
  for (int gy = 0; gy < kGrowH; gy++) {
    for (int gx = 0; gx < kGrowW; gx++) {
      const float x = static_cast<float>(gx * kGrowStep - kMasterWidth / 2);
      const float y = static_cast<float>(gy * kGrowStep - kMasterHeight / 2);
      float t = FlowOrientation(flow, x, y);
      t = std::fmod(t, kPi);
      if (t < 0) t += kPi;
      int o = static_cast<int>(std::lround(t / kPi * kOrientationBins)) % kOrientationBins;
      const float period = FlowPeriod(flow, x, y);
      int p = static_cast<int>((period - kMinPeriod) / (kMaxPeriod - kMinPeriod) * kPeriodBins);
      if (p >= kPeriodBins) p = kPeriodBins - 1;
      if (p < 0) p = 0;
      s->kernel_index[gy * kGrowW + gx] = static_cast<uint16_t>(o * kPeriodBins + p);
    }
  }
  std::memset(s->a, 0, sizeof(s->a));
  std::memset(s->b, 0, sizeof(s->b));
  for (int gy = 0; gy < kGrowH; gy++)
    for (int gx = 0; gx < kGrowW; gx++)
      s->a[(gy + kPad) * kPaddedW + gx + kPad] = SynthRngUniform(rng, -1.0f, 1.0f);

  float* src = s->a;
  float* dst = s->b;
  const float* kernels = &bank->k[0][0][0];
  for (int it = 0; it < kGrowIterations; it++) {
    double energy = 0;
    for (int gy = 0; gy < kGrowH; gy++) {
      for (int gx = 0; gx < kGrowW; gx++) {
        const float* k = kernels + s->kernel_index[gy * kGrowW + gx] * (kKernelSide * kKernelSide);
        const float* in = src + gy * kPaddedW + gx;
        float acc = 0;
        for (int j = 0; j < kKernelSide; j++) {
          const float* row = in + j * kPaddedW;
          const float* krow = k + j * kKernelSide;
          for (int i = 0; i < kKernelSide; i++) acc += row[i] * krow[i];
        }
        dst[(gy + kPad) * kPaddedW + gx + kPad] = acc;
        energy += static_cast<double>(acc) * acc;
      }
    }
    // Saturate: the nonlinearity is what turns filtered noise into ridges of
    // even width that join and split instead of fading into each other.
    const float rms = static_cast<float>(std::sqrt(energy / (kGrowW * kGrowH))) + 1e-6f;
    const float gain = 2.5f / rms;
    for (int gy = 0; gy < kGrowH; gy++) {
      float* row = dst + (gy + kPad) * kPaddedW + kPad;
      for (int gx = 0; gx < kGrowW; gx++)
        row[gx] = std::fmax(-1.0f, std::fmin(1.0f, row[gx] * gain));
    }
    float* t = src;
    src = dst;
    dst = t;
  }
  if (src != s->a) std::memcpy(s->a, src, sizeof(s->a));
}

// Full-resolution field from the grid: bilinear upsampling, then a light blur
// that rounds the ridge edges.
void UpsampleField(const GrowScratch* s, SynthMaster* m) {
  static_assert(kGrowStep == 2, "the upsampling below assumes a step of 2");
  float* tmp = static_cast<float*>(std::malloc(sizeof(float) * kMasterWidth * kMasterHeight));
  if (!tmp) {
    std::memset(m->field, 0, sizeof(m->field));
    return;
  }
  for (int y = 0; y < kMasterHeight; y++) {
    const int gy0 = y / 2, gy1 = gy0 + 1 < kGrowH ? gy0 + 1 : gy0;
    const float fy = (y & 1) ? 0.5f : 0.0f;
    for (int x = 0; x < kMasterWidth; x++) {
      const int gx0 = x / 2, gx1 = gx0 + 1 < kGrowW ? gx0 + 1 : gx0;
      const float fx = (x & 1) ? 0.5f : 0.0f;
      auto g = [&](int gx, int gy) { return s->a[(gy + kPad) * kPaddedW + gx + kPad]; };
      const float top = g(gx0, gy0) * (1 - fx) + g(gx1, gy0) * fx;
      const float bottom = g(gx0, gy1) * (1 - fx) + g(gx1, gy1) * fx;
      tmp[y * kMasterWidth + x] = top * (1 - fy) + bottom * fy;
    }
  }
  for (int y = 0; y < kMasterHeight; y++) {
    for (int x = 0; x < kMasterWidth; x++) {
      float acc = 0, w = 0;
      for (int j = -1; j <= 1; j++) {
        const int yy = y + j;
        if (yy < 0 || yy >= kMasterHeight) continue;
        for (int i = -1; i <= 1; i++) {
          const int xx = x + i;
          if (xx < 0 || xx >= kMasterWidth) continue;
          const float k = (i == 0 ? 2.0f : 1.0f) * (j == 0 ? 2.0f : 1.0f);
          acc += k * tmp[yy * kMasterWidth + xx];
          w += k;
        }
      }
      m->field[y * kMasterWidth + x] = static_cast<int8_t>(std::lround(127.0f * acc / w));
    }
  }
  std::free(tmp);
}

// --- Minutiae from the thinned ridges -------------------------------------

// Neighbours in circular order, starting east, going clockwise on screen.
constexpr int kNx[8] = {1, 1, 0, -1, -1, -1, 0, 1};
constexpr int kNy[8] = {0, 1, 1, 1, 0, -1, -1, -1};

// Zhang-Suen thinning of a 0/1 image in place (the border stays 0).
void Thin(uint8_t* img, int w, int h, uint8_t* marks) {
  bool changed = true;
  while (changed) {
    changed = false;
    for (int pass = 0; pass < 2; pass++) {
      std::memset(marks, 0, static_cast<size_t>(w) * h);
      for (int y = 1; y < h - 1; y++) {
        for (int x = 1; x < w - 1; x++) {
          if (!img[y * w + x]) continue;
          // P2..P9 of the classic formulation: N, NE, E, SE, S, SW, W, NW.
          const uint8_t p2 = img[(y - 1) * w + x], p3 = img[(y - 1) * w + x + 1],
                        p4 = img[y * w + x + 1], p5 = img[(y + 1) * w + x + 1],
                        p6 = img[(y + 1) * w + x], p7 = img[(y + 1) * w + x - 1],
                        p8 = img[y * w + x - 1], p9 = img[(y - 1) * w + x - 1];
          const int b = p2 + p3 + p4 + p5 + p6 + p7 + p8 + p9;
          if (b < 2 || b > 6) continue;
          const int a = (!p2 && p3) + (!p3 && p4) + (!p4 && p5) + (!p5 && p6) + (!p6 && p7) +
                        (!p7 && p8) + (!p8 && p9) + (!p9 && p2);
          if (a != 1) continue;
          if (pass == 0 ? (p2 && p4 && p6) || (p4 && p6 && p8)
                        : (p2 && p4 && p8) || (p2 && p6 && p8))
            continue;
          marks[y * w + x] = 1;
        }
      }
      for (int i = 0; i < w * h; i++) {
        if (marks[i]) {
          img[i] = 0;
          changed = true;
        }
      }
    }
  }
}

int CrossingNumber(const uint8_t* img, int w, int x, int y) {
  int cn = 0;
  for (int k = 0; k < 8; k++) {
    const int a = img[(y + kNy[k]) * w + x + kNx[k]];
    const int b = img[(y + kNy[(k + 1) & 7]) * w + x + kNx[(k + 1) & 7]];
    cn += a != b;
  }
  return cn / 2;
}

int NeighbourCount(const uint8_t* img, int w, int x, int y) {
  int n = 0;
  for (int k = 0; k < 8; k++) n += img[(y + kNy[k]) * w + x + kNx[k]] != 0;
  return n;
}

struct Trace {
  int steps;  // pixels walked
  int end_x, end_y;
  bool hit_junction;  // stopped at a pixel with three or more neighbours
  bool hit_end;       // stopped at a ridge end
};

// Walks the skeleton from (x,y) through the first step (sx,sy), at most
// max_steps pixels, never stepping back.
Trace Walk(const uint8_t* img, int w, int h, int x, int y, int sx, int sy, int max_steps) {
  Trace t{0, x, y, false, false};
  int px = x, py = y, cx = sx, cy = sy;
  for (int step = 1; step <= max_steps; step++) {
    t.steps = step;
    t.end_x = cx;
    t.end_y = cy;
    if (cx < 1 || cy < 1 || cx >= w - 1 || cy >= h - 1) return t;
    const int n = NeighbourCount(img, w, cx, cy);
    if (n >= 3 && CrossingNumber(img, w, cx, cy) >= 3) {
      t.hit_junction = true;
      return t;
    }
    if (n <= 1) {
      t.hit_end = true;
      return t;
    }
    // Next pixel: a neighbour that is neither where we came from nor adjacent
    // to it (prefer 4-neighbours, which keeps the walk on the centre line).
    // Where the line turns a right angle just after a junction, the only way
    // on touches the junction too: take it rather than stop there, or the
    // branch would look one pixel long and turn its bifurcation round.
    int best = -1, best_score = 1 << 30;
    for (int k = 0; k < 8; k++) {
      const int nx = cx + kNx[k], ny = cy + kNy[k];
      if (!img[ny * w + nx] || (nx == px && ny == py)) continue;
      const int back = std::abs(nx - px) + std::abs(ny - py);
      const bool touches_previous = std::abs(nx - px) <= 1 && std::abs(ny - py) <= 1;
      const int score = (k & 1) * 2 - back + (touches_previous ? 100 : 0);
      if (score < best_score) {
        best_score = score;
        best = k;
      }
    }
    if (best < 0) {
      t.hit_end = true;
      return t;
    }
    px = cx;
    py = cy;
    cx += kNx[best];
    cy += kNy[best];
  }
  return t;
}

float AngleOf(float dx, float dy) {
  // Counter-clockwise on screen with y down.
  float a = std::atan2(-dy, dx);
  if (a < 0) a += 2 * kPi;
  return a;
}

float AngleDiff(float a, float b) {
  float d = std::fmod(std::fabs(a - b), 2 * kPi);
  return d > kPi ? 2 * kPi - d : d;
}

// Ridge axis of the master field around (x, y), radians in [0, pi) counter-
// clockwise on screen, from the gradient structure tensor over a square of
// 2*radius+1 pixels.
float FieldOrientation(const SynthMaster* m, int cx, int cy, int radius) {
  double sxx = 0, syy = 0, sxy = 0;
  for (int y = cy - radius; y <= cy + radius; y++) {
    if (y < 1 || y >= kMasterHeight - 1) continue;
    for (int x = cx - radius; x <= cx + radius; x++) {
      if (x < 1 || x >= kMasterWidth - 1) continue;
      const double gx = m->field[y * kMasterWidth + x + 1] - m->field[y * kMasterWidth + x - 1];
      const double gy = m->field[(y + 1) * kMasterWidth + x] - m->field[(y - 1) * kMasterWidth + x];
      sxx += gx * gx;
      syy += gy * gy;
      sxy += gx * gy;
    }
  }
  // The gradient is normal to the ridge; image angles turn clockwise on screen.
  const float normal = 0.5f * static_cast<float>(std::atan2(2 * sxy, sxx - syy));
  float axis = -(normal + kPi / 2);
  axis = std::fmod(axis, kPi);
  if (axis < 0) axis += kPi;
  return axis;
}

struct Candidate {
  float x, y, angle;
  int type;
  bool removed;
  int spur_x, spur_y;      // for endings: junction reached within a spur length, else -1
  int island_x, island_y;  // for endings: other end of a short ridge, else -1
};

constexpr int kTraceSteps = 10;
constexpr int kSpurLength = 12;
constexpr int kIslandLength = 22;
constexpr float kEndingInset = 1.5f;  // pixels

void FindMinutiae(SynthMaster* m) {
  const int w = kMasterWidth, h = kMasterHeight;
  uint8_t* img = static_cast<uint8_t*>(std::calloc(static_cast<size_t>(w) * h, 2));
  auto* cand = static_cast<Candidate*>(std::malloc(sizeof(Candidate) * 4096));
  m->minutia_count = 0;
  if (!img || !cand) {
    std::free(img);
    std::free(cand);
    return;
  }
  uint8_t* marks = img + static_cast<size_t>(w) * h;
  for (int y = 1; y < h - 1; y++)
    for (int x = 1; x < w - 1; x++) img[y * w + x] = m->field[y * w + x] > 0;
  Thin(img, w, h, marks);

  int n = 0;
  for (int y = kEdgeMargin; y < h - kEdgeMargin && n < 4096; y++) {
    for (int x = kEdgeMargin; x < w - kEdgeMargin && n < 4096; x++) {
      if (!img[y * w + x]) continue;
      const int cn = CrossingNumber(img, w, x, y);
      if (cn != 1 && cn != 3) continue;
      Candidate c{
          static_cast<float>(x), static_cast<float>(y), 0, cn == 1 ? 1 : 2, false, -1, -1, -1, -1};
      if (cn == 1) {
        int k = 0;
        while (k < 8 && !img[(y + kNy[k]) * w + x + kNx[k]]) k++;
        if (k == 8) continue;
        const Trace t = Walk(img, w, h, x, y, x + kNx[k], y + kNy[k], kIslandLength);
        const Trace near = Walk(img, w, h, x, y, x + kNx[k], y + kNy[k], kTraceSteps);
        c.angle = AngleOf(static_cast<float>(near.end_x - x), static_cast<float>(near.end_y - y));
        if (t.hit_junction && t.steps <= kSpurLength) {
          c.spur_x = t.end_x;
          c.spur_y = t.end_y;
        }
        if (t.hit_end) {
          c.island_x = t.end_x;
          c.island_y = t.end_y;
        }
      } else {
        // Branches start at the 0->1 transitions around the pixel.
        float bx[3], by[3];
        int branches = 0;
        for (int k = 0; k < 8 && branches < 3; k++) {
          const int a = img[(y + kNy[k]) * w + x + kNx[k]];
          const int b = img[(y + kNy[(k + 1) & 7]) * w + x + kNx[(k + 1) & 7]];
          if (!a && b) {
            const int k1 = (k + 1) & 7;
            const Trace t = Walk(img, w, h, x, y, x + kNx[k1], y + kNy[k1], kTraceSteps);
            const float dx = static_cast<float>(t.end_x - x), dy = static_cast<float>(t.end_y - y);
            const float len = std::sqrt(dx * dx + dy * dy) + 1e-6f;
            bx[branches] = dx / len;
            by[branches] = dy / len;
            branches++;
          }
        }
        if (branches != 3) continue;
        // The stem is the branch farthest in angle from the other two.
        int stem = 0;
        float best = 1e9f;
        for (int s = 0; s < 3; s++) {
          const int a = (s + 1) % 3, b = (s + 2) % 3;
          const float sim = bx[s] * (bx[a] + bx[b]) + by[s] * (by[a] + by[b]);
          if (sim < best) {
            best = sim;
            stem = s;
          }
        }
        const int a = (stem + 1) % 3, b = (stem + 2) % 3;
        c.angle = AngleOf(bx[a] + bx[b] - bx[stem], by[a] + by[b] - by[stem]);
      }
      cand[n++] = c;
    }
  }

  // Thinning leaves clusters of junction pixels; keep one per cluster.
  for (int i = 0; i < n; i++) {
    if (cand[i].type != 2 || cand[i].removed) continue;
    for (int j = i + 1; j < n; j++) {
      if (cand[j].type == 2 && !cand[j].removed && std::fabs(cand[i].x - cand[j].x) <= 2 &&
          std::fabs(cand[i].y - cand[j].y) <= 2)
        cand[j].removed = true;
    }
  }
  // Artefacts of the ridge pattern that an extractor would discard too: spurs,
  // short islands, and pairs of minutiae too close to be told apart.
  for (int i = 0; i < n; i++) {
    Candidate& c = cand[i];
    if (c.removed || c.type != 1) continue;
    if (c.spur_x >= 0) {
      c.removed = true;
      for (int j = 0; j < n; j++) {
        if (cand[j].type == 2 && std::fabs(cand[j].x - c.spur_x) <= 3 &&
            std::fabs(cand[j].y - c.spur_y) <= 3)
          cand[j].removed = true;
      }
    }
    if (c.island_x >= 0) c.removed = true;  // its other end is removed by its own check
  }
  for (int i = 0; i < n; i++) {
    for (int j = i + 1; j < n; j++) {
      Candidate& a = cand[i];
      Candidate& b = cand[j];
      if (a.removed && b.removed) continue;
      const float dx = a.x - b.x, dy = a.y - b.y;
      const float d2 = dx * dx + dy * dy;
      if (d2 > 14.0f * 14.0f) continue;
      const bool close = d2 <= 7.0f * 7.0f;
      const bool facing = AngleDiff(a.angle, b.angle) > 2.4f;
      if (close || (a.type == b.type && facing)) {
        a.removed = true;
        b.removed = true;
      }
    }
  }

  // The direction's axis comes from the ridge field around the minutia (what
  // an extractor measures); the skeleton trace only decides which way along
  // the axis it points, which it gets right even where its few pixels are a
  // poor estimate of the axis itself.
  for (int i = 0; i < n && m->minutia_count < kMasterMaxMinutiae; i++) {
    const Candidate& c = cand[i];
    if (c.removed) continue;
    const float axis = FieldOrientation(m, static_cast<int>(c.x), static_cast<int>(c.y), 6);
    const float snapped =
        AngleDiff(c.angle, axis) < AngleDiff(c.angle, axis + kPi) ? axis : axis + kPi;
    float mx = c.x - kMasterWidth / 2, my = c.y - kMasterHeight / 2;
    if (c.type == 1) {
      // A thinned ridge ends where the ridge tapers out; extractors put the
      // ending a little further in, where the ridge is still solid.
      mx += kEndingInset * std::cos(snapped);
      my -= kEndingInset * std::sin(snapped);
    }
    m->minutiae[m->minutia_count++] = MasterMinutia{mx, my, snapped, c.type};
  }
  std::free(img);
  std::free(cand);
}

}  // namespace

void BuildMaster(unsigned finger_id, SynthMaster* out) {
  SynthRng rng;
  SynthRngSeed(&rng, finger_id, 0x4D415354u, 1);
  FlowModel flow;
  MakeFlowModel(&rng, &flow);
  out->finger_id = finger_id;
  out->pattern_class = flow.pattern_class;
  out->ridge_period = flow.period0;
  out->core_count = flow.cores;
  out->delta_count = flow.deltas;
  for (int i = 0; i < flow.cores; i++) {
    out->core_x[i] = flow.cx[i];
    out->core_y[i] = flow.cy[i];
  }
  for (int i = 0; i < flow.deltas; i++) {
    out->delta_x[i] = flow.dx[i];
    out->delta_y[i] = flow.dy[i];
  }
  const KernelBank* bank = SharedKernelBank();
  auto* scratch = static_cast<GrowScratch*>(std::malloc(sizeof(GrowScratch)));
  if (!bank || !scratch) {
    std::free(scratch);
    std::memset(out->field, 0, sizeof(out->field));
    out->minutia_count = 0;
    return;
  }
  GrowRidges(&flow, &rng, scratch, bank);
  UpsampleField(scratch, out);
  std::free(scratch);
  FindMinutiae(out);
}

float MasterFieldAt(const SynthMaster* m, float x, float y) {
  const float fx = x + kMasterWidth / 2, fy = y + kMasterHeight / 2;
  if (!(fx >= 0 && fy >= 0 && fx < kMasterWidth - 1 && fy < kMasterHeight - 1)) return 0;
  const int ix = static_cast<int>(fx), iy = static_cast<int>(fy);
  const float ax = fx - ix, ay = fy - iy;
  const int8_t* p = m->field + iy * kMasterWidth + ix;
  const float top = p[0] * (1 - ax) + p[1] * ax;
  const float bottom = p[kMasterWidth] * (1 - ax) + p[kMasterWidth + 1] * ax;
  return (top * (1 - ay) + bottom * ay) * (1.0f / 127.0f);
}

// --- Cache ------------------------------------------------------------------

namespace {

// Enough for a bench of a few dozen fingers; about 220 KB each.
constexpr int kCacheSlots = 64;

struct CacheSlot {
  SynthMaster* master;
  int users;
  uint64_t last_use;
};

std::mutex g_cache_mutex;
CacheSlot g_cache[kCacheSlots];
uint64_t g_cache_clock;

}  // namespace

const SynthMaster* AcquireMaster(unsigned finger_id) {
  {
    std::lock_guard<std::mutex> lock(g_cache_mutex);
    for (CacheSlot& s : g_cache) {
      if (s.master && s.master->finger_id == finger_id) {
        s.users++;
        s.last_use = ++g_cache_clock;
        return s.master;
      }
    }
  }
  // Built outside the lock so that other fingers are not held up; two
  // threads may build the same master, and the second copy is dropped.
  auto* built = static_cast<SynthMaster*>(std::malloc(sizeof(SynthMaster)));
  if (!built) return nullptr;
  BuildMaster(finger_id, built);
  std::lock_guard<std::mutex> lock(g_cache_mutex);
  for (CacheSlot& s : g_cache) {
    if (s.master && s.master->finger_id == finger_id) {
      std::free(built);
      s.users++;
      s.last_use = ++g_cache_clock;
      return s.master;
    }
  }
  CacheSlot* victim = nullptr;
  for (CacheSlot& s : g_cache) {
    if (s.users > 0) continue;
    if (!s.master) {
      victim = &s;
      break;
    }
    if (!victim || s.last_use < victim->last_use) victim = &s;
  }
  if (!victim) return built;  // every slot in use: the caller gets a private copy
  std::free(victim->master);
  victim->master = built;
  victim->users = 1;
  victim->last_use = ++g_cache_clock;
  return built;
}

void ReleaseMaster(const SynthMaster* master) {
  if (!master) return;
  {
    std::lock_guard<std::mutex> lock(g_cache_mutex);
    for (CacheSlot& s : g_cache) {
      if (s.master == master) {
        s.users--;
        return;
      }
    }
  }
  std::free(const_cast<SynthMaster*>(master));
}
