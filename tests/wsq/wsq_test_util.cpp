#include "tests/wsq/wsq_test_util.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "synth/synthetic_finger.h"
#include "wsq/wsq.h"

Bytes FingerImage(unsigned finger_id, unsigned impression, int width, int height, bool poor) {
  Bytes image(static_cast<size_t>(width) * height);
  SynthRequest req{finger_id, impression, width, height, poor ? kSynthPoor : kSynthGood, false};
  SynthImpression info;
  if (SynthesizeImpression(&req, image.data(), &info) != 0) image.clear();
  return image;
}

double Psnr(const Bytes& a, const Bytes& b) {
  if (a.size() != b.size() || a.empty()) return 0;
  double se = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    const double d = static_cast<double>(a[i]) - b[i];
    se += d * d;
  }
  if (se == 0) return 99;
  return 10 * std::log10(255.0 * 255.0 / (se / a.size()));
}

Bytes Encode(const Bytes& image, int width, int height, float rate, int* rc, const char* comment,
             int ppi) {
  unsigned char* out = nullptr;
  int size = 0;
  *rc = WsqEncode(image.data(), width, height, 8, ppi, rate, comment, &out, &size);
  Bytes file;
  if (*rc == kWsqOk) file.assign(out, out + size);
  std::free(out);
  return file;
}

Decoded Decode(const Bytes& file) {
  Decoded d;
  unsigned char* copy = static_cast<unsigned char*>(std::malloc(file.size() ? file.size() : 1));
  if (!file.empty()) std::memcpy(copy, file.data(), file.size());
  unsigned char* image = nullptr;
  d.rc = WsqDecode(copy, file.size(), &image, &d.width, &d.height, &d.ppi);
  if (d.rc == kWsqOk && image != nullptr)
    d.image.assign(image, image + static_cast<size_t>(d.width) * d.height);
  std::free(image);
  std::free(copy);
  return d;
}

bool SplitSegments(const Bytes& file, std::vector<Segment>* out) {
  out->clear();
  size_t pos = 0;
  while (pos + 2 <= file.size()) {
    if (file[pos] != 0xFF) return false;
    Segment s{file[pos + 1], pos, {}, {}};
    if (s.marker == 0xA0 || s.marker == 0xA1) {
      s.bytes.assign(file.begin() + pos, file.begin() + pos + 2);
      pos += 2;
    } else {
      if (pos + 4 > file.size()) return false;
      const size_t len = Be16(&file[pos + 2]);
      if (len < 2 || pos + 2 + len > file.size()) return false;
      s.bytes.assign(file.begin() + pos, file.begin() + pos + 2 + len);
      pos += 2 + len;
      if (s.marker == 0xA3) {
        const size_t start = pos;
        while (pos + 1 < file.size() && !(file[pos] == 0xFF && file[pos + 1] != 0)) ++pos;
        if (pos + 1 >= file.size()) return false;
        s.entropy.assign(file.begin() + start, file.begin() + pos);
      }
    }
    out->push_back(s);
    if (s.marker == 0xA1) return pos == file.size();
  }
  return false;
}

Bytes JoinSegments(const std::vector<Segment>& segments) {
  Bytes file;
  for (const Segment& s : segments) {
    file.insert(file.end(), s.bytes.begin(), s.bytes.end());
    file.insert(file.end(), s.entropy.begin(), s.entropy.end());
  }
  return file;
}
