// kv-synth-montage: a picture of a few synthetic fingers for the docs and for
// eyeballing the generator. One row per finger: its master (with the master's
// minutiae marked), two good impressions, a poor one and a never-good one.
//
//   kv-synth-montage OUT.png [finger ...]       (default fingers 1 2 3)
//   kv-synth-montage --impression OUT.pgm FINGER IMPRESSION W H PROFILE
//
// The PNG is written uncompressed (stored deflate blocks), which every viewer
// reads; recompress it with any PNG optimiser before committing it.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "synth/synth_master.h"
#include "synth/synthetic_finger.h"

namespace {

constexpr int kCellW = 300, kCellH = 400, kGap = 6;
constexpr int kColumns = 5;

struct Rgb {
  int w, h;
  std::vector<unsigned char> px;  // 3 bytes a pixel
  void Set(int x, int y, unsigned char r, unsigned char g, unsigned char b) {
    if (x < 0 || y < 0 || x >= w || y >= h) return;
    unsigned char* p = &px[(static_cast<size_t>(y) * w + x) * 3];
    p[0] = r;
    p[1] = g;
    p[2] = b;
  }
};

uint32_t Crc32(const unsigned char* data, size_t n, uint32_t crc = 0) {
  crc = ~crc;
  for (size_t i = 0; i < n; i++) {
    crc ^= data[i];
    for (int k = 0; k < 8; k++) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return ~crc;
}

void Put32(std::vector<unsigned char>* out, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) out->push_back(static_cast<unsigned char>(v >> s));
}

void Chunk(FILE* f, const char* type, const std::vector<unsigned char>& data) {
  std::vector<unsigned char> buf;
  Put32(&buf, static_cast<uint32_t>(data.size()));
  buf.insert(buf.end(), type, type + 4);
  buf.insert(buf.end(), data.begin(), data.end());
  Put32(&buf, Crc32(buf.data() + 4, buf.size() - 4));
  fwrite(buf.data(), 1, buf.size(), f);
}

bool WritePng(const char* path, const Rgb& img) {
  FILE* f = std::fopen(path, "wb");
  if (!f) return false;
  static const unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  fwrite(kSignature, 1, 8, f);
  std::vector<unsigned char> ihdr;
  Put32(&ihdr, static_cast<uint32_t>(img.w));
  Put32(&ihdr, static_cast<uint32_t>(img.h));
  ihdr.insert(ihdr.end(), {8, 2, 0, 0, 0});  // 8-bit RGB
  Chunk(f, "IHDR", ihdr);
  // Raw scanlines (filter 0) in stored deflate blocks inside a zlib stream.
  std::vector<unsigned char> raw;
  for (int y = 0; y < img.h; y++) {
    raw.push_back(0);
    raw.insert(raw.end(), img.px.begin() + static_cast<long>(y) * img.w * 3,
               img.px.begin() + static_cast<long>(y + 1) * img.w * 3);
  }
  std::vector<unsigned char> z = {0x78, 0x01};
  uint32_t a = 1, b = 0;
  for (unsigned char c : raw) {
    a = (a + c) % 65521;
    b = (b + a) % 65521;
  }
  for (size_t pos = 0; pos < raw.size() || pos == 0;) {
    const size_t n = raw.size() - pos < 65535 ? raw.size() - pos : 65535;
    z.push_back(pos + n == raw.size() ? 1 : 0);
    z.push_back(static_cast<unsigned char>(n));
    z.push_back(static_cast<unsigned char>(n >> 8));
    z.push_back(static_cast<unsigned char>(~n));
    z.push_back(static_cast<unsigned char>(~n >> 8));
    z.insert(z.end(), raw.begin() + static_cast<long>(pos),
             raw.begin() + static_cast<long>(pos + n));
    pos += n;
    if (n == 0) break;
  }
  Put32(&z, (b << 16) | a);
  Chunk(f, "IDAT", z);
  Chunk(f, "IEND", {});
  return std::fclose(f) == 0;
}

void PasteGrey(Rgb* dst, int ox, int oy, const unsigned char* grey, int w, int h) {
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) {
      const unsigned char v = grey[y * w + x];
      dst->Set(ox + x, oy + y, v, v, v);
    }
}

void Box(Rgb* dst, int cx, int cy, int r, unsigned char cr, unsigned char cg, unsigned char cb) {
  for (int d = -r; d <= r; d++) {
    dst->Set(cx + d, cy - r, cr, cg, cb);
    dst->Set(cx + d, cy + r, cr, cg, cb);
    dst->Set(cx - r, cy + d, cr, cg, cb);
    dst->Set(cx + r, cy + d, cr, cg, cb);
  }
}

// The master as an ideal print, a window of one cell around the core area,
// with its minutiae: red endings, blue bifurcations, a tick for the direction.
void DrawMaster(Rgb* dst, int ox, int oy, const SynthMaster* m) {
  const float cx = 0, cy = m->core_count ? m->core_y[0] + 25.0f : 0.0f;
  std::vector<unsigned char> grey(static_cast<size_t>(kCellW) * kCellH);
  for (int y = 0; y < kCellH; y++)
    for (int x = 0; x < kCellW; x++) {
      const float v = MasterFieldAt(m, cx + x - kCellW / 2, cy + y - kCellH / 2);
      grey[y * kCellW + x] = static_cast<unsigned char>(std::lround(150.0f - 100.0f * v));
    }
  PasteGrey(dst, ox, oy, grey.data(), kCellW, kCellH);
  for (int i = 0; i < m->minutia_count; i++) {
    const MasterMinutia& mm = m->minutiae[i];
    const int x = static_cast<int>(std::lround(mm.x - cx + kCellW / 2)),
              y = static_cast<int>(std::lround(mm.y - cy + kCellH / 2));
    if (x < 4 || y < 4 || x >= kCellW - 4 || y >= kCellH - 4) continue;
    const bool ending = mm.type == 1;
    Box(dst, ox + x, oy + y, 3, ending ? 230 : 0, ending ? 0 : 90, ending ? 0 : 255);
    for (int r = 4; r < 11; r++)
      dst->Set(ox + x + static_cast<int>(std::lround(r * std::cos(mm.angle))),
               oy + y - static_cast<int>(std::lround(r * std::sin(mm.angle))), 0, 170, 0);
  }
}

int Montage(const char* path, const std::vector<unsigned>& fingers) {
  Rgb img;
  img.w = kColumns * kCellW + (kColumns - 1) * kGap;
  img.h = static_cast<int>(fingers.size()) * kCellH + (static_cast<int>(fingers.size()) - 1) * kGap;
  img.px.assign(static_cast<size_t>(img.w) * img.h * 3, 255);
  auto* master = static_cast<SynthMaster*>(std::malloc(sizeof(SynthMaster)));
  if (!master) return 1;
  std::vector<unsigned char> grey(static_cast<size_t>(kCellW) * kCellH);
  SynthImpression info;
  for (size_t row = 0; row < fingers.size(); row++) {
    const int oy = static_cast<int>(row) * (kCellH + kGap);
    BuildMaster(fingers[row], master);
    DrawMaster(&img, 0, oy, master);
    struct Column {
      unsigned impression;
      SynthQualityProfile profile;
    };
    const Column columns[kColumns - 1] = {
        {0, kSynthGood}, {1, kSynthGood}, {2, kSynthPoor}, {3, kSynthNeverGood}};
    for (int c = 0; c < kColumns - 1; c++) {
      const SynthRequest req{fingers[row], columns[c].impression, kCellW,
                             kCellH,       columns[c].profile,    false};
      if (SynthesizeImpression(&req, grey.data(), &info) != 0) continue;
      PasteGrey(&img, (c + 1) * (kCellW + kGap), oy, grey.data(), kCellW, kCellH);
    }
    std::printf("finger %u: class %d, %d master minutiae\n", fingers[row], master->pattern_class,
                master->minutia_count);
  }
  std::free(master);
  return WritePng(path, img) ? 0 : 1;
}

int OneImpression(int argc, char** argv) {
  if (argc != 8) return 2;
  const SynthRequest req{static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10)),
                         static_cast<unsigned>(std::strtoul(argv[4], nullptr, 10)),
                         std::atoi(argv[5]),
                         std::atoi(argv[6]),
                         static_cast<SynthQualityProfile>(std::atoi(argv[7])),
                         false};
  std::vector<unsigned char> grey(static_cast<size_t>(req.width > 0 ? req.width : 1) *
                                  (req.height > 0 ? req.height : 1));
  SynthImpression info;
  if (SynthesizeImpression(&req, grey.data(), &info) != 0) {
    std::fprintf(stderr, "bad request\n");
    return 1;
  }
  FILE* f = std::fopen(argv[2], "wb");
  if (!f) return 1;
  std::fprintf(f, "P5\n%d %d\n255\n", req.width, req.height);
  fwrite(grey.data(), 1, grey.size(), f);
  std::fclose(f);
  for (int i = 0; i < info.minutia_count; i++)
    std::printf("%.1f %.1f %.1f %d %d\n", info.minutiae[i].x, info.minutiae[i].y,
                info.minutiae[i].angle * 180.0f / 3.14159265f, info.minutiae[i].type,
                info.minutiae[i].quality);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "--impression") == 0) {
    const int rc = OneImpression(argc, argv);
    if (rc == 2)
      std::fprintf(stderr, "usage: %s --impression OUT.pgm FINGER IMPRESSION W H PROFILE\n",
                   argv[0]);
    return rc;
  }
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s OUT.png [finger ...]\n", argv[0]);
    return 2;
  }
  std::vector<unsigned> fingers;
  for (int i = 2; i < argc; i++)
    fingers.push_back(static_cast<unsigned>(std::strtoul(argv[i], nullptr, 10)));
  if (fingers.empty()) fingers = {1, 2, 3};
  return Montage(argv[1], fingers);
}
