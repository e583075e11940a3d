// Impressions of a master fingerprint: pose, contact region, elastic
// distortion, ridge thickness, contrast, noise and the skin's pores, each
// drawn from a generator seeded by the request so that a request always gives
// the same picture.

#include "synth/synthetic_finger.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "synth/synth_master.h"

namespace {

constexpr float kPi = 3.14159265358979f;
constexpr float kMaxRotation = 15.0f * kPi / 180.0f;

// A smooth random field on a coarse lattice, for patches, blotches and the
// irregular edge of the contact region. Values in -1..1.
struct SmoothNoise {
  static constexpr int kSide = 24;
  float cell;  // pixels per lattice step
  float v[kSide * kSide];
};

void MakeSmoothNoise(SynthRng* rng, float cell, SmoothNoise* n) {
  n->cell = cell;
  for (float& x : n->v) x = SynthRngUniform(rng, -1.0f, 1.0f);
}

float SmoothNoiseAt(const SmoothNoise* n, float x, float y) {
  // Offset so that negative coordinates stay on the lattice.
  float fx = x / n->cell + SmoothNoise::kSide / 2, fy = y / n->cell + SmoothNoise::kSide / 2;
  fx = std::fmin(std::fmax(fx, 0.0f), SmoothNoise::kSide - 1.001f);
  fy = std::fmin(std::fmax(fy, 0.0f), SmoothNoise::kSide - 1.001f);
  const int ix = static_cast<int>(fx), iy = static_cast<int>(fy);
  float ax = fx - ix, ay = fy - iy;
  ax = ax * ax * (3 - 2 * ax);
  ay = ay * ay * (3 - 2 * ay);
  const float* p = n->v + iy * SmoothNoise::kSide + ix;
  const float top = p[0] + (p[1] - p[0]) * ax;
  const float bottom =
      p[SmoothNoise::kSide] + (p[SmoothNoise::kSide + 1] - p[SmoothNoise::kSide]) * ax;
  return top + (bottom - top) * ay;
}

float SmoothStep(float e0, float e1, float x) {
  float t = (x - e0) / (e1 - e0);
  t = std::fmin(1.0f, std::fmax(0.0f, t));
  return t * t * (3 - 2 * t);
}

// Everything one impression draws at random, fixed before any pixel is drawn.
struct ImpressionPlan {
  float rot_cos, rot_sin, rotation;
  float tx, ty;  // image position of the master's origin
  // Contact region, an ellipse in master coordinates with a ragged edge.
  float ex, ey, ea, eb;
  float edge_ragged;  // pixels of edge irregularity
  float fade;         // pixels over which contrast fades at the edge
  // Elastic distortion: a few slow waves of displacement (image pixels).
  float dist_a[3], dist_kx[3], dist_ky[3], dist_p[3], dist_dir[3];
  float bias;            // ridge thickness: > 0 thicker (wet, pressed), < 0 thinner (dry)
  float bias_patch;      // amplitude of patchy thickness changes
  float contrast;        // ridge depth in grey levels
  float contrast_patch;  // 0..1 amplitude of patchy contrast loss
  float background;      // grey level of the glass
  float noise;           // grey-level noise sigma
  int blur_passes;       // 3x3 blurs applied to the finished image
  float smear;           // 0..1 weight of the smeared (motion-blurred) copy
  float smear_dx, smear_dy;
  bool pores;
  float period;
  SmoothNoise edge, bias_map, contrast_map;
};

void PlanImpression(const SynthRequest* req, const SynthMaster* m, SynthRng* rng,
                    ImpressionPlan* p) {
  const float w = static_cast<float>(req->width), h = static_cast<float>(req->height);
  p->period = m->ridge_period;
  p->rotation = SynthRngUniform(rng, -kMaxRotation, kMaxRotation);
  p->rot_cos = std::cos(p->rotation);
  p->rot_sin = std::sin(p->rotation);
  // Fingers are placed with the core region near the middle of the window.
  float anchor_y = m->core_count > 0 ? m->core_y[0] + 25.0f : 0.0f;
  p->tx = w * 0.5f + SynthRngUniform(rng, -0.08f, 0.08f) * w;
  p->ty = h * 0.5f - anchor_y + SynthRngUniform(rng, -0.08f, 0.08f) * h;

  const float pressure = SynthRngUniform(rng, 0.9f, 1.1f);
  p->ex = SynthRngUniform(rng, -8.0f, 8.0f);
  p->ey = SynthRngUniform(rng, 10.0f, 35.0f);
  p->ea = SynthRngUniform(rng, 140.0f, 160.0f) * pressure;
  p->eb = SynthRngUniform(rng, 200.0f, 230.0f) * pressure;
  p->edge_ragged = 6.0f;
  p->fade = 2.5f * m->ridge_period;
  for (int i = 0; i < 3; i++) {
    p->dist_a[i] = SynthRngUniform(rng, 0.5f, 1.6f);
    p->dist_kx[i] = SynthRngUniform(rng, -0.015f, 0.015f);
    p->dist_ky[i] = SynthRngUniform(rng, -0.015f, 0.015f);
    p->dist_p[i] = SynthRngUniform(rng, 0.0f, 2 * kPi);
    p->dist_dir[i] = SynthRngUniform(rng, 0.0f, 2 * kPi);
  }
  p->background = SynthRngUniform(rng, 228.0f, 242.0f);
  p->smear = 0;
  p->smear_dx = p->smear_dy = 0;
  p->pores = !req->fake;
  switch (req->profile) {
    case kSynthGood:
      p->bias = SynthRngUniform(rng, -0.12f, 0.12f);
      p->bias_patch = 0.08f;
      p->contrast = SynthRngUniform(rng, 165.0f, 195.0f);
      p->contrast_patch = 0.15f;
      p->noise = SynthRngUniform(rng, 2.0f, 4.0f);
      p->blur_passes = 1;
      break;
    case kSynthPoor:
      // Patchy: dry parts where ridges break up and wet smudges where they
      // run together, at a lower overall contrast.
      p->bias = SynthRngUniform(rng, -0.15f, 0.15f);
      p->bias_patch = 0.55f;
      p->contrast = SynthRngUniform(rng, 80.0f, 110.0f);
      p->contrast_patch = 0.6f;
      p->noise = SynthRngUniform(rng, 8.0f, 11.0f);
      p->blur_passes = 2;
      break;
    default: {
      // A finger that never gives a usable print: a small, faint, smeared or
      // very dry touch.
      p->ea *= SynthRngUniform(rng, 0.55f, 0.7f);
      p->eb *= SynthRngUniform(rng, 0.5f, 0.65f);
      p->ex += SynthRngUniform(rng, -40.0f, 40.0f);
      p->ey += SynthRngUniform(rng, 30.0f, 70.0f);
      p->bias = SynthRngUniform(rng, 0.0f, 1.0f) < 0.5f ? -0.55f : 0.6f;
      p->bias_patch = 0.6f;
      p->contrast = SynthRngUniform(rng, 70.0f, 90.0f);
      p->contrast_patch = 0.5f;
      p->noise = SynthRngUniform(rng, 14.0f, 18.0f);
      p->blur_passes = 3;
      p->smear = 0.6f;
      const float a = SynthRngUniform(rng, 0.0f, 2 * kPi);
      p->smear_dx = 7.0f * std::cos(a);
      p->smear_dy = 7.0f * std::sin(a);
      break;
    }
  }
  if (req->fake) {
    // Cast copies: smooth, slightly glossy ridges and softer contrast.
    p->contrast *= 0.85f;
    p->blur_passes += 1;
  }
  MakeSmoothNoise(rng, 40.0f, &p->edge);
  MakeSmoothNoise(rng, 55.0f, &p->bias_map);
  MakeSmoothNoise(rng, 70.0f, &p->contrast_map);
}

// Elastic distortion at an image point, image pixels.
void Distortion(const ImpressionPlan* p, float qx, float qy, float* dx, float* dy) {
  float ox = 0, oy = 0;
  for (int i = 0; i < 3; i++) {
    const float s = p->dist_a[i] * std::sin(p->dist_kx[i] * qx + p->dist_ky[i] * qy + p->dist_p[i]);
    ox += s * std::cos(p->dist_dir[i]);
    oy += s * std::sin(p->dist_dir[i]);
  }
  *dx = ox;
  *dy = oy;
}

// Image point to master point: undo the translation and rotation, then the
// distortion.
void ImageToMaster(const ImpressionPlan* p, float qx, float qy, float* mx, float* my) {
  const float rx = qx - p->tx, ry = qy - p->ty;
  // Inverse of the on-screen counter-clockwise rotation (y down).
  float x = rx * p->rot_cos - ry * p->rot_sin;
  float y = rx * p->rot_sin + ry * p->rot_cos;
  float dx, dy;
  Distortion(p, qx, qy, &dx, &dy);
  *mx = x + dx;
  *my = y + dy;
}

// Master point to image point: the inverse of ImageToMaster by fixed-point
// iteration, which converges because the distortion changes slowly.
void MasterToImage(const ImpressionPlan* p, float mx, float my, float* qx, float* qy) {
  float x = mx, y = my;
  for (int i = 0; i < 8; i++) {
    const float fx = x * p->rot_cos + y * p->rot_sin + p->tx;
    const float fy = -x * p->rot_sin + y * p->rot_cos + p->ty;
    float dx, dy;
    Distortion(p, fx, fy, &dx, &dy);
    x = mx - dx;
    y = my - dy;
  }
  *qx = x * p->rot_cos + y * p->rot_sin + p->tx;
  *qy = -x * p->rot_sin + y * p->rot_cos + p->ty;
}

// Signed distance (pixels, positive inside) from a master point to the edge
// of the contact region.
float ContactDepth(const ImpressionPlan* p, float mx, float my) {
  const float u = (mx - p->ex) / p->ea, v = (my - p->ey) / p->eb;
  const float r = std::sqrt(u * u + v * v);
  return (1.0f - r) * std::fmin(p->ea, p->eb) + p->edge_ragged * SmoothNoiseAt(&p->edge, mx, my);
}

// Pores sit on the ridges of the finger itself, so they belong to master
// coordinates: one candidate per cell, hashed from the finger and the cell.
float PoreAt(unsigned finger, float mx, float my) {
  constexpr float kCell = 11.0f;
  const float cx = std::floor(mx / kCell), cy = std::floor(my / kCell);
  float best = 0;
  for (int j = 0; j <= 1; j++) {
    for (int i = 0; i <= 1; i++) {
      const float gx = cx + i - (mx - cx * kCell < kCell * 0.5f ? 1 : 0);
      const float gy = cy + j - (my - cy * kCell < kCell * 0.5f ? 1 : 0);
      SynthRng r;
      SynthRngSeed(&r, finger, static_cast<uint64_t>(static_cast<int64_t>(gx)) * 7919u,
                   static_cast<uint64_t>(static_cast<int64_t>(gy)));
      if (SynthRngUniform(&r, 0, 1) > 0.45f) continue;
      const float px = (gx + SynthRngUniform(&r, 0.1f, 0.9f)) * kCell;
      const float py = (gy + SynthRngUniform(&r, 0.1f, 0.9f)) * kCell;
      const float d2 = (mx - px) * (mx - px) + (my - py) * (my - py);
      best = std::fmax(best, std::exp(-d2 / 1.6f));
    }
  }
  return best;
}

void Blur3(unsigned char* img, int w, int h, unsigned char* tmp) {
  // Separable 1-2-1 blur, edges replicated.
  for (int y = 0; y < h; y++) {
    const unsigned char* r = img + y * w;
    unsigned char* o = tmp + y * w;
    for (int x = 0; x < w; x++) {
      const int a = r[x > 0 ? x - 1 : x], b = r[x], c = r[x + 1 < w ? x + 1 : x];
      o[x] = static_cast<unsigned char>((a + 2 * b + c + 2) >> 2);
    }
  }
  for (int y = 0; y < h; y++) {
    const unsigned char* up = tmp + (y > 0 ? y - 1 : y) * w;
    const unsigned char* mid = tmp + y * w;
    const unsigned char* down = tmp + (y + 1 < h ? y + 1 : y) * w;
    unsigned char* o = img + y * w;
    for (int x = 0; x < w; x++)
      o[x] = static_cast<unsigned char>((up[x] + 2 * mid[x] + down[x] + 2) >> 2);
  }
}

bool ValidRequest(const SynthRequest* req) {
  return req && req->width >= kSynthMinSide && req->width <= kSynthMaxSide &&
         req->height >= kSynthMinSide && req->height <= kSynthMaxSide &&
         req->profile >= kSynthGood && req->profile <= kSynthNeverGood;
}

void SeedImpression(const SynthRequest* req, SynthRng* rng) {
  const uint64_t shape =
      static_cast<uint64_t>(req->width) << 32 | static_cast<uint64_t>(req->height);
  const uint64_t kind = static_cast<uint64_t>(req->profile) * 2 + (req->fake ? 1 : 0);
  SynthRngSeed(rng, req->finger_id, (static_cast<uint64_t>(req->impression) << 8) ^ kind, shape);
}

// Minutiae of the master that the impression shows clearly: inside the image
// and at least a ridge period inside the full-contrast part of the contact.
void PlaceMinutiae(const SynthMaster* m, const ImpressionPlan* p, const SynthRequest* req,
                   SynthImpression* out) {
  const float margin = p->period + 2.0f;
  out->minutia_count = 0;
  for (int i = 0; i < m->minutia_count && out->minutia_count < kSynthMaxMinutiae; i++) {
    const MasterMinutia& mm = m->minutiae[i];
    const float depth = ContactDepth(p, mm.x, mm.y);
    if (depth < p->fade + p->period) continue;
    float qx, qy;
    MasterToImage(p, mm.x, mm.y, &qx, &qy);
    if (qx < margin || qy < margin || qx > req->width - 1 - margin || qy > req->height - 1 - margin)
      continue;
    // Direction: map a point a few pixels along the minutia's direction.
    float ax, ay;
    MasterToImage(p, mm.x + 6.0f * std::cos(mm.angle), mm.y - 6.0f * std::sin(mm.angle), &ax, &ay);
    float angle = std::atan2(-(ay - qy), ax - qx);
    if (angle < 0) angle += 2 * kPi;
    if (angle >= 2 * kPi) angle -= 2 * kPi;
    // Quality follows how clearly the surrounding ridges print.
    const float contrast =
        1.0f - p->contrast_patch * 0.5f * (1.0f + SmoothNoiseAt(&p->contrast_map, qx, qy));
    const float thickness =
        std::fabs(p->bias + p->bias_patch * SmoothNoiseAt(&p->bias_map, qx, qy));
    float q = 100.0f * contrast * (1.0f - std::fmin(1.0f, thickness)) * (p->contrast / 190.0f);
    q = std::fmin(100.0f, std::fmax(1.0f, q));
    out->minutiae[out->minutia_count++] =
        SynthMinutia{qx, qy, angle, mm.type, static_cast<int>(std::lround(q))};
  }
}

int Render(const SynthRequest* req, unsigned char* image, unsigned char* mask,
           SynthImpression* out) {
  if (!ValidRequest(req) || (!image && !mask)) return -1;
  const SynthMaster* m = AcquireMaster(req->finger_id);
  if (!m) return -1;
  SynthRng rng;
  SeedImpression(req, &rng);
  auto* plan = static_cast<ImpressionPlan*>(std::malloc(sizeof(ImpressionPlan)));
  if (!plan) {
    ReleaseMaster(m);
    return -1;
  }
  PlanImpression(req, m, &rng, plan);
  const ImpressionPlan* p = plan;
  const int w = req->width, h = req->height;

  if (mask) {
    for (int y = 0; y < h; y++) {
      for (int x = 0; x < w; x++) {
        float mx, my;
        ImageToMaster(p, static_cast<float>(x), static_cast<float>(y), &mx, &my);
        mask[y * w + x] = ContactDepth(p, mx, my) >= p->fade ? 1 : 0;
      }
    }
  }
  if (image) {
    for (int y = 0; y < h; y++) {
      for (int x = 0; x < w; x++) {
        const float qx = static_cast<float>(x), qy = static_cast<float>(y);
        float mx, my;
        ImageToMaster(p, qx, qy, &mx, &my);
        const float depth = ContactDepth(p, mx, my);
        float g = p->background;
        if (depth > 0) {
          const float weight = SmoothStep(0.0f, p->fade, depth);
          float v = MasterFieldAt(m, mx, my);
          if (p->smear > 0) {
            float sx, sy;
            ImageToMaster(p, qx + p->smear_dx, qy + p->smear_dy, &sx, &sy);
            v = (1 - p->smear) * v + p->smear * MasterFieldAt(m, sx, sy);
          }
          const float bias = p->bias + p->bias_patch * SmoothNoiseAt(&p->bias_map, qx, qy);
          float ridge = SmoothStep(-0.45f, 0.45f, v + bias);
          if (p->pores && ridge > 0.5f)
            ridge -= 0.7f * PoreAt(req->finger_id, mx, my) * (ridge - 0.5f) * 2.0f;
          const float patch =
              1.0f - p->contrast_patch * 0.5f * (1.0f + SmoothNoiseAt(&p->contrast_map, qx, qy));
          g -= weight * patch * p->contrast * ridge;
        }
        image[y * w + x] =
            static_cast<unsigned char>(std::lround(std::fmin(255.0f, std::fmax(0.0f, g))));
      }
    }
    // The optics soften the print; the sensor adds its noise afterwards.
    auto* tmp = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(w) * h));
    if (tmp) {
      for (int i = 0; i < p->blur_passes; i++) Blur3(image, w, h, tmp);
      std::free(tmp);
    }
    for (int i = 0; i < w * h; i++) {
      const float g = image[i] + p->noise * SynthRngGauss(&rng);
      image[i] = static_cast<unsigned char>(std::lround(std::fmin(255.0f, std::fmax(0.0f, g))));
    }
  }
  if (out) {
    std::memset(out, 0, sizeof(*out));
    PlaceMinutiae(m, p, req, out);
    // Liveness is what the reader's fake detection would measure (perspiration
    // and pore response); copies carry almost none of it.
    out->liveness =
        req->fake ? SynthRngUniform(&rng, 0.05f, 0.25f) : SynthRngUniform(&rng, 0.75f, 0.98f);
    out->pattern_class = m->pattern_class;
    out->rotation = p->rotation;
    out->offset_x = p->tx;
    out->offset_y = p->ty;
    out->ridge_period = m->ridge_period;
    // Bounding box of the visible contact, from its outline sampled in master
    // coordinates.
    int left = w, top = h, right = 0, bottom = 0;
    for (int k = 0; k < 360; k += 2) {
      const float a = static_cast<float>(k) * kPi / 180.0f;
      const float mx = p->ex + p->ea * std::cos(a), my = p->ey + p->eb * std::sin(a);
      float qx, qy;
      MasterToImage(p, mx, my, &qx, &qy);
      left = std::min(left, static_cast<int>(std::floor(qx)));
      top = std::min(top, static_cast<int>(std::floor(qy)));
      right = std::max(right, static_cast<int>(std::ceil(qx)) + 1);
      bottom = std::max(bottom, static_cast<int>(std::ceil(qy)) + 1);
    }
    out->contact_left = std::max(0, left);
    out->contact_top = std::max(0, top);
    out->contact_right = std::min(w, right);
    out->contact_bottom = std::min(h, bottom);
  }
  std::free(plan);
  ReleaseMaster(m);
  return 0;
}

}  // namespace

int SynthesizeImpression(const SynthRequest* req, unsigned char* image, SynthImpression* out) {
  if (!image || !out) return -1;
  return Render(req, image, nullptr, out);
}

int SynthesizeContactMask(const SynthRequest* req, unsigned char* mask) {
  if (!mask) return -1;
  return Render(req, nullptr, mask, nullptr);
}
