// Binarisation and thinning. A pixel is ridge where the Gabor response is
// positive inside the print. Small holes in ridges (pores the filter did not
// close) and tiny specks would each make a pair of false minutiae, so they are
// filled and removed first. Zhang-Suen thinning then peels the ridges to
// one-pixel lines, and a last pass removes the corner pixels of staircases,
// which would otherwise count as extra branches.
#include <algorithm>
#include <cstring>

#include "extract/extract_stages.h"
#include "extract/minutiae_extractor.h"

namespace extract {
namespace {

constexpr int kMaxSpeckPixels = 12;  // smaller ridge fragments and holes go

// Flood fill of the 4-connected region of `value` (0 or 1) at start, given up
// once it passes kMaxSpeckPixels or meets a part of the region already found
// large. Pixels are tagged 2 + value while the fill runs, then 4 + value when
// the region is large and 7 - value when it is small (flipped). queue holds
// kMaxSpeckPixels + 2 entries.
void ClassifyRegion(uint8_t* img, int width, int height, int start, uint8_t value, int* queue) {
  int head = 0, tail = 0;
  bool small = true;
  queue[tail++] = start;
  img[start] = static_cast<uint8_t>(2 + value);
  while (small && head < tail) {
    const int i = queue[head++];
    const int x = i % width, y = i / width;
    const int next[4] = {x > 0 ? i - 1 : -1, x + 1 < width ? i + 1 : -1, y > 0 ? i - width : -1,
                         y + 1 < height ? i + width : -1};
    for (int j : next) {
      if (j < 0) continue;
      if (img[j] == 4 + value || (img[j] == value && tail > kMaxSpeckPixels)) {
        small = false;
        break;
      }
      if (img[j] != value) continue;
      img[j] = static_cast<uint8_t>(2 + value);
      queue[tail++] = j;
    }
  }
  const uint8_t tag = static_cast<uint8_t>(small ? 7 - value : 4 + value);
  for (int k = 0; k < tail; ++k) img[queue[k]] = tag;
}

}  // namespace

void BinariseAndThin(ExtractWork* work) {
  ExtractWork& w = *work;
  const int width = w.width, height = w.height;
  uint8_t* img = w.ridges;
  for (int y = 0; y < height; ++y) {
    const float* e = w.enhanced + static_cast<size_t>(y) * width;
    uint8_t* out = img + static_cast<size_t>(y) * width;
    for (int x = 0; x < width; ++x) {
      const bool inside =
          x > 0 && y > 0 && x + 1 < width && y + 1 < height && w.blocks.mask[BlockOfPixel(w, x, y)];
      out[x] = inside && e[x] > 0 ? 1 : 0;
    }
  }
  // Holes and specks (tags: see ClassifyRegion; 5 and 7 end up ridge).
  int queue[kMaxSpeckPixels + 2];
  const int n = width * height;
  for (int i = 0; i < n; ++i) {
    if (img[i] <= 1) ClassifyRegion(img, width, height, i, img[i], queue);
  }
  for (int i = 0; i < n; ++i) img[i] = (img[i] == 5 || img[i] == 7) ? 1 : 0;
  // The frame of the image stays clear, so that neighbourhoods never leave it.
  for (int x = 0; x < width; ++x) img[x] = img[static_cast<size_t>(height - 1) * width + x] = 0;
  for (int y = 0; y < height; ++y)
    img[static_cast<size_t>(y) * width] = img[static_cast<size_t>(y) * width + width - 1] = 0;

  // Zhang-Suen: pixels are marked (2) in a sub-pass and removed at its end.
  // A pixel's fate in a sub-pass depends on its 8 neighbours only, so a row
  // is looked at again only when it or a row beside it lost pixels since the
  // last sub-pass of the same kind: the later rounds touch a few rows.
  int lost_at[kExtractMaxWorkSide];  // the last sub-pass (from 1) in which the row lost pixels
  std::fill(lost_at, lost_at + height, 0);
  // Done when a sub-pass of each kind in a row finds nothing to remove.
  for (int sub = 1, quiet = 0; quiet < 2; ++sub) {
    const int pass = (sub - 1) % 2;
    for (int y = 1; y + 1 < height; ++y) {
      if (sub > 2 && std::max({lost_at[y - 1], lost_at[y], lost_at[y + 1]}) < sub - 2) continue;
      uint8_t* row = img + static_cast<size_t>(y) * width;
      for (int x = 1; x + 1 < width; ++x) {
        if (row[x] == 0) continue;
        const Neighbourhood& nb = kNeighbourhoods[NeighbourCode(row + x, width)];
        if (pass == 0 ? nb.thin_first : nb.thin_second) {
          row[x] = 2;
          lost_at[y] = sub;
        }
      }
    }
    bool removed = false;
    for (int y = 1; y + 1 < height; ++y) {
      if (lost_at[y] != sub) continue;
      uint8_t* row = img + static_cast<size_t>(y) * width;
      for (int x = 1; x + 1 < width; ++x) row[x] = row[x] == 2 ? 0 : row[x];
      removed = true;
    }
    quiet = removed ? 0 : quiet + 1;
  }
  // Staircase corners: a pixel whose two 4-neighbours on one corner touch each
  // other diagonally, with nothing on the opposite side, joins nothing.
  for (int y = 1; y + 1 < height; ++y) {
    uint8_t* row = img + static_cast<size_t>(y) * width;
    for (int x = 1; x + 1 < width; ++x) {
      if (row[x] == 0) continue;
      const int c = NeighbourCode(row + x, width);
      const bool n = c & 1, e = c & 4, s = c & 16, wv = c & 64;
      const bool ne = c & 2, se = c & 8, sw = c & 32, nw = c & 128;
      if ((n && e && !s && !wv && !sw) || (e && s && !n && !wv && !nw) ||
          (s && wv && !n && !e && !ne) || (wv && n && !e && !s && !se)) {
        row[x] = 0;
      }
    }
  }
}

}  // namespace extract
