// Subband layout, the 9/7 filter bank and the separable 2-D wavelet-packet transform.

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "wsq/wsq.h"

namespace wsq {

// The biorthogonal 9/7 pair: lowpass taps sum to sqrt(2), highpass taps to 0.
const FilterBank kFilterBank97 = {
    9,
    7,
    {0.852698679009, 0.377402855613, -0.110624404418, -0.023849465020, 0.037828455507},
    {0.788485616406, -0.418092273222, -0.040689417609, 0.064538882629},
};

namespace {

// Splits r into its four children in raster order (top-left, top-right, bottom-left,
// bottom-right). The low half of an odd length gets the extra sample.
void SplitRect(const Rect& r, bool flip_x, bool flip_y, Rect child[4]) {
  const int left = flip_x ? r.w / 2 : (r.w + 1) / 2;
  const int top = flip_y ? r.h / 2 : (r.h + 1) / 2;
  child[0] = {r.x, r.y, left, top};
  child[1] = {r.x + left, r.y, r.w - left, top};
  child[2] = {r.x, r.y + top, left, r.h - top};
  child[3] = {r.x + left, r.y + top, r.w - left, r.h - top};
}

struct LayoutBuilder {
  Layout* out;
  int nodes = 0;
  // A right child carries a mirrored horizontal spectrum, a bottom child a mirrored vertical
  // one; its own split then puts the high half first.
  void Split(const Rect& r, int child_index, Rect child[4]) {
    const bool fx = (child_index & 1) != 0;
    const bool fy = (child_index & 2) != 0;
    out->node[nodes] = r;
    out->flip_x[nodes] = fx;
    out->flip_y[nodes] = fy;
    ++nodes;
    SplitRect(r, fx, fy, child);
  }
};

}  // namespace

void ComputeLayout(int width, int height, Layout* out) {
  LayoutBuilder b{out};
  Rect quad[4], low[4], right[4], bottom[4];
  b.Split({0, 0, width, height}, 0, quad);
  b.Split(quad[0], 0, low);
  b.Split(quad[1], 1, right);
  b.Split(quad[2], 2, bottom);
  int band = 0;
  // The low quadrant's first three children are split twice more (16 subbands each); the
  // lowest of all is split once again into the four smallest subbands.
  for (int i = 0; i < 3; ++i) {
    Rect mid[4];
    b.Split(low[i], i, mid);
    for (int j = 0; j < 4; ++j) {
      Rect fine[4];
      b.Split(mid[j], j, fine);
      for (int k = 0; k < 4; ++k) {
        if (i == 0 && j == 0 && k == 0) {
          Rect finest[4];
          b.Split(fine[0], 0, finest);
          for (const Rect& f : finest) out->band[band++] = f;
        } else {
          out->band[band++] = fine[k];
        }
      }
    }
  }
  out->band[band++] = low[3];
  for (const Rect& r : right) out->band[band++] = r;
  for (const Rect& r : bottom) out->band[band++] = r;
  // The diagonal high quadrant is never split; its nominal quarters are subbands 60..63.
  Rect diag[4];
  SplitRect(quad[3], true, true, diag);
  for (const Rect& r : diag) out->band[band++] = r;
}

double SubbandAreaShare(int band) {
  if (band < 4) return 1.0 / 1024;
  if (band < 51) return 1.0 / 256;
  return 1.0 / 16;
}

Scaled ToScaled(double x, uint32_t max_value) {
  Scaled s{0, 0};
  if (!(x > 0)) return s;
  if (x >= static_cast<double>(max_value)) {
    s.value = max_value;
    return s;
  }
  int e = 0;
  double scaled = x;
  while (e < kMaxScaleExponent && std::floor(scaled * 10 + 0.5) <= max_value) {
    scaled *= 10;
    ++e;
  }
  s.exponent = static_cast<uint8_t>(e);
  s.value = static_cast<uint32_t>(std::floor(scaled + 0.5));
  return s;
}

double FromScaled(Scaled s) {
  double v = s.value;
  for (int i = 0; i < s.exponent; ++i) v /= 10;
  return v;
}

namespace {

constexpr int kMaxHalf = kMaxFilterTaps / 2;

// Full-length filters of a bank, indexed [-half, half] through the centre pointer.
struct Kernels {
  int half;     // max of both halves: padding on each side of a line
  int lo_half;  // analysis lowpass half length
  int hi_half;  // analysis highpass half length
  float lo_store[2 * kMaxHalf + 1];
  float hi_store[2 * kMaxHalf + 1];
  float even_store[2 * kMaxHalf + 1];  // synthesis taps for even outputs
  float odd_store[2 * kMaxHalf + 1];   // synthesis taps for odd outputs
  const float* lo() const { return lo_store + kMaxHalf; }
  const float* hi() const { return hi_store + kMaxHalf; }
  const float* even() const { return even_store + kMaxHalf; }
  const float* odd() const { return odd_store + kMaxHalf; }
};

void MakeKernels(const FilterBank& bank, Kernels* k) {
  std::memset(k, 0, sizeof(*k));
  k->lo_half = bank.lo_taps / 2;
  k->hi_half = bank.hi_taps / 2;
  k->half = k->lo_half > k->hi_half ? k->lo_half : k->hi_half;
  float* lo = k->lo_store + kMaxHalf;
  float* hi = k->hi_store + kMaxHalf;
  float* even = k->even_store + kMaxHalf;
  float* odd = k->odd_store + kMaxHalf;
  for (int j = -k->half; j <= k->half; ++j) {
    const int a = j < 0 ? -j : j;
    const float sign = (a & 1) ? -1.0f : 1.0f;
    const float h0 = a <= k->lo_half ? static_cast<float>(bank.lo[a]) : 0.0f;
    const float h1 = a <= k->hi_half ? static_cast<float>(bank.hi[a]) : 0.0f;
    lo[j] = h0;
    hi[j] = h1;
    // Synthesis lowpass is the modulated analysis highpass and vice versa. An output at m
    // takes lowpass samples from even positions m - j and highpass samples from odd ones.
    const float g0 = sign * h1;
    const float g1 = sign * h0;
    even[j] = (a & 1) ? g1 : g0;
    odd[j] = (a & 1) ? g0 : g1;
  }
}

// Whole-sample symmetric reflection of position p into [0, n - 1]; n >= 2.
inline int Reflect(int p, int n) {
  const int period = 2 * (n - 1);
  p %= period;
  if (p < 0) p += period;
  return p > n - 1 ? period - p : p;
}

// A "line" is n elements of cols floats each: one sample per element for a row, a whole row
// per element for a column pass. Element i of a line lives at base + i * stride.

// Copies a line into ext (n + 2 * pad elements, contiguous) with symmetric extension.
void ExtendLine(const float* base, size_t stride, int n, int cols, int pad, float* ext) {
  if (cols == 1) {
    // Row pass: the middle is a plain strided copy; only the borders reflect.
    for (int p = 0; p < n; ++p) ext[p + pad] = base[p * stride];
    for (int p = 1; p <= pad; ++p) {
      ext[pad - p] = base[(n == 1 ? 0 : Reflect(-p, n)) * stride];
      ext[pad + n - 1 + p] = base[(n == 1 ? 0 : Reflect(n - 1 + p, n)) * stride];
    }
    return;
  }
  for (int p = -pad; p < n + pad; ++p) {
    const int src = n == 1 ? 0 : Reflect(p, n);
    std::memcpy(ext + static_cast<size_t>(p + pad) * cols, base + src * stride,
                sizeof(float) * cols);
  }
}

// Filters ext with taps[-half..half] centred on element `centre`, into dst (cols floats).
inline void FilterAt(const float* ext, int cols, int centre, const float* taps, int half,
                     float* dst) {
  if (cols == 1) {
    const float* s = ext + centre;
    float acc = taps[0] * s[0];
    for (int j = 1; j <= half; ++j) acc += taps[j] * s[j] + taps[-j] * s[-j];
    *dst = acc;
    return;
  }
  for (int c = 0; c < cols; ++c) dst[c] = 0;
  for (int j = -half; j <= half; ++j) {
    const float t = taps[j];
    if (t == 0) continue;
    const float* s = ext + static_cast<size_t>(centre + j) * cols;
    for (int c = 0; c < cols; ++c) dst[c] += t * s[c];
  }
}

// Analysis of one line of n elements: lowpass output k is centred on element 2k, highpass
// output k on element 2k + 1. Outputs go to lo_base/hi_base with the line's stride.
void AnalyzeLine(float* base, size_t stride, int n, int cols, bool flip, const Kernels& k,
                 float* ext) {
  ExtendLine(base, stride, n, cols, k.half, ext);
  const int nl = (n + 1) / 2;
  const int nh = n / 2;
  float* lo_base = base + (flip ? nh : 0) * stride;
  float* hi_base = base + (flip ? 0 : nl) * stride;
  for (int i = 0; i < nl; ++i)
    FilterAt(ext, cols, k.half + 2 * i, k.lo(), k.lo_half, lo_base + i * stride);
  for (int i = 0; i < nh; ++i)
    FilterAt(ext, cols, k.half + 2 * i + 1, k.hi(), k.hi_half, hi_base + i * stride);
}

// Synthesis of one line: interleaves the two halves back (lowpass on even positions),
// extends symmetrically and filters. inter needs n elements, ext n + 2 * half.
void SynthesizeLine(float* base, size_t stride, int n, int cols, bool flip, const Kernels& k,
                    float* inter, float* ext) {
  const int nl = (n + 1) / 2;
  const int nh = n / 2;
  const float* lo_base = base + (flip ? nh : 0) * stride;
  const float* hi_base = base + (flip ? 0 : nl) * stride;
  const size_t row = sizeof(float) * cols;
  if (cols == 1) {
    for (int i = 0; i < nl; ++i) inter[2 * i] = lo_base[i * stride];
    for (int i = 0; i < nh; ++i) inter[2 * i + 1] = hi_base[i * stride];
  }
  for (int i = 0; i < n && cols > 1; ++i) {
    const float* src = (i & 1) ? hi_base + (i / 2) * stride : lo_base + (i / 2) * stride;
    std::memcpy(inter + static_cast<size_t>(i) * cols, src, row);
  }
  if (n == 1) {
    // A single sample extends to a constant lowpass line whose highpass samples are zero.
    for (int p = -k.half; p <= k.half; ++p) {
      float* d = ext + static_cast<size_t>(p + k.half) * cols;
      if (p & 1)
        std::memset(d, 0, row);
      else
        std::memcpy(d, inter, row);
    }
  } else {
    ExtendLine(inter, cols, n, cols, k.half, ext);
  }
  for (int m = 0; m < n; ++m)
    FilterAt(ext, cols, k.half + m, (m & 1) ? k.odd() : k.even(), k.half, base + m * stride);
}

}  // namespace

bool ForwardTransform(float* plane, int width, int height, const Layout& layout,
                      const FilterBank& bank) {
  Kernels k;
  MakeKernels(bank, &k);
  const size_t longest = static_cast<size_t>(width > height ? width : height);
  // Room for a column pass over the whole plane, or a row pass, with padding.
  const size_t ext_floats = (static_cast<size_t>(height) + 2 * k.half) * width + longest +
                            2 * static_cast<size_t>(k.half);
  float* ext = static_cast<float*>(std::malloc(ext_floats * sizeof(float)));
  if (ext == nullptr) return false;
  for (int i = 0; i < kTreeNodes; ++i) {
    const Rect& r = layout.node[i];
    if (r.w <= 0 || r.h <= 0) continue;
    float* origin = plane + static_cast<size_t>(r.y) * width + r.x;
    for (int y = 0; y < r.h; ++y)
      AnalyzeLine(origin + static_cast<size_t>(y) * width, 1, r.w, 1, layout.flip_x[i], k, ext);
    AnalyzeLine(origin, width, r.h, r.w, layout.flip_y[i], k, ext);
  }
  std::free(ext);
  return true;
}

bool InverseTransform(float* plane, int width, int height, const Layout& layout,
                      const FilterBank& bank) {
  Kernels k;
  MakeKernels(bank, &k);
  const size_t plane_floats = static_cast<size_t>(width) * height;
  const size_t longest = static_cast<size_t>(width > height ? width : height);
  const size_t ext_floats = (static_cast<size_t>(height) + 2 * k.half) * width + longest +
                            2 * static_cast<size_t>(k.half);
  float* ext = static_cast<float*>(std::malloc((ext_floats + plane_floats) * sizeof(float)));
  if (ext == nullptr) return false;
  float* inter = ext + ext_floats;
  for (int i = kTreeNodes - 1; i >= 0; --i) {
    const Rect& r = layout.node[i];
    if (r.w <= 0 || r.h <= 0) continue;
    float* origin = plane + static_cast<size_t>(r.y) * width + r.x;
    SynthesizeLine(origin, width, r.h, r.w, layout.flip_y[i], k, inter, ext);
    for (int y = 0; y < r.h; ++y)
      SynthesizeLine(origin + static_cast<size_t>(y) * width, 1, r.w, 1, layout.flip_x[i], k, inter,
                     ext);
  }
  std::free(ext);
  return true;
}

}  // namespace wsq
