// WSQ decoder: walks the segments with bounds-checked reads, decodes the entropy blocks into
// quantized coefficients, then dequantizes, inverts the transform and rescales.

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "wsq/wsq.h"

using namespace wsq;

namespace {

// Bounds-checked big-endian reads over [data, data + size).
struct Reader {
  const unsigned char* data;
  size_t size;
  size_t pos = 0;
  size_t Left() const { return size - pos; }
  bool U8(unsigned* v) {
    if (pos >= size) return false;
    *v = data[pos++];
    return true;
  }
  bool U16(unsigned* v) {
    if (Left() < 2) return false;
    *v = (static_cast<unsigned>(data[pos]) << 8) | data[pos + 1];
    pos += 2;
    return true;
  }
  bool U32(uint32_t* v) {
    if (Left() < 4) return false;
    *v = (static_cast<uint32_t>(data[pos]) << 24) | (static_cast<uint32_t>(data[pos + 1]) << 16) |
         (static_cast<uint32_t>(data[pos + 2]) << 8) | data[pos + 3];
    pos += 4;
    return true;
  }
  bool Scaled16(double* v) {
    unsigned e, x;
    if (!U8(&e) || !U16(&x)) return false;
    *v = FromScaled({static_cast<uint8_t>(e), x});
    return true;
  }
};

// Reads entropy-coded bits from [pos, end), where every 0xFF is followed by a stuffed 0x00.
struct BitReader {
  const unsigned char* data;
  size_t pos;
  size_t end;
  uint32_t byte = 0;
  int left = 0;  // bits of `byte` not yet read
  bool Bit(int* bit) {
    if (left == 0) {
      if (pos >= end) return false;
      byte = data[pos];
      pos += byte == 0xFF ? 2 : 1;
      left = 8;
    }
    --left;
    *bit = (byte >> left) & 1;
    return true;
  }
  bool Bits(int n, uint32_t* v) {
    uint32_t r = 0;
    for (int i = 0; i < n; ++i) {
      int b;
      if (!Bit(&b)) return false;
      r = (r << 1) | static_cast<uint32_t>(b);
    }
    *v = r;
    return true;
  }
};

struct DecodeState {
  size_t max_pixels;
  bool have_dtt = false, have_dqt = false, have_sof = false, seen_nistcom = false;
  FilterBank bank{};
  QuantTable qt{};
  HuffmanDecoder tables[kMaxHuffmanTables];
  bool table_defined[kMaxHuffmanTables] = {false};
  int width = 0, height = 0, ppi = -1;
  double mean = 0, range = 0;
  Layout layout;
  int32_t* coef = nullptr;  // quantized coefficients of the coded subbands, in band order
  size_t coef_total = 0;
  size_t coef_pos = 0;
  ~DecodeState() { std::free(coef); }
};

int ParseFilters(Reader* r, DecodeState* st) {
  unsigned lo, hi;
  if (!r->U8(&lo) || !r->U8(&hi)) return kWsqErrFormat;
  if (lo == 0 || hi == 0) return kWsqErrFormat;
  // Even-length banks need a different extension rule; no encoder we know writes them.
  if (lo % 2 == 0 || hi % 2 == 0 || lo > kMaxFilterTaps || hi > kMaxFilterTaps)
    return kWsqErrUnsupported;
  const size_t n_lo = lo / 2 + 1, n_hi = hi / 2 + 1;
  if (r->Left() != 6 * (n_lo + n_hi)) return kWsqErrFormat;
  FilterBank bank{};
  bank.lo_taps = static_cast<int>(lo);
  bank.hi_taps = static_cast<int>(hi);
  for (size_t i = 0; i < n_lo + n_hi; ++i) {
    unsigned sign, e;
    uint32_t v;
    if (!r->U8(&sign) || !r->U8(&e) || !r->U32(&v) || sign > 1) return kWsqErrFormat;
    double c = FromScaled({static_cast<uint8_t>(e), v});
    if (sign) c = -c;
    if (i < n_lo)
      bank.lo[i] = c;
    else
      bank.hi[i - n_lo] = c;
  }
  st->bank = bank;
  st->have_dtt = true;
  return kWsqOk;
}

int ParseQuantTable(Reader* r, DecodeState* st) {
  if (r->Left() != 3 + 6 * kSubbands) return kWsqErrFormat;
  QuantTable qt{};
  if (!r->Scaled16(&qt.bin_center)) return kWsqErrFormat;
  for (int k = 0; k < kSubbands; ++k) {
    if (!r->Scaled16(&qt.q[k]) || !r->Scaled16(&qt.z[k])) return kWsqErrFormat;
  }
  st->qt = qt;
  st->have_dqt = true;
  return kWsqOk;
}

int ParseFrame(Reader* r, DecodeState* st) {
  unsigned black, white, h, w, encoder, software;
  if (r->Left() != 15) return kWsqErrFormat;
  if (!r->U8(&black) || !r->U8(&white) || !r->U16(&h) || !r->U16(&w) || !r->Scaled16(&st->mean) ||
      !r->Scaled16(&st->range) || !r->U8(&encoder) || !r->U16(&software))
    return kWsqErrFormat;
  if (w == 0 || h == 0) return kWsqErrFormat;
  if (static_cast<size_t>(w) * h > st->max_pixels) return kWsqErrTooLarge;
  st->width = static_cast<int>(w);
  st->height = static_cast<int>(h);
  st->have_sof = true;
  ComputeLayout(st->width, st->height, &st->layout);
  return kWsqOk;
}

int ParseHuffmanTables(Reader* r, DecodeState* st) {
  if (r->Left() == 0) return kWsqErrFormat;
  while (r->Left() > 0) {
    unsigned id;
    HuffmanTable t{};
    if (!r->U8(&id) || r->Left() < 16) return kWsqErrFormat;
    if (id >= kMaxHuffmanTables) return kWsqErrFormat;
    int total = 0;
    for (int i = 0; i < 16; ++i) {
      t.counts[i] = r->data[r->pos++];
      total += t.counts[i];
    }
    if (total > 256 || r->Left() < static_cast<size_t>(total)) return kWsqErrFormat;
    std::memcpy(t.symbols, r->data + r->pos, static_cast<size_t>(total));
    r->pos += static_cast<size_t>(total);
    t.symbol_count = total;
    if (!MakeHuffmanDecoder(t, &st->tables[id])) return kWsqErrFormat;
    st->table_defined[id] = true;
  }
  return kWsqOk;
}

// Takes the resolution from the first NISTCOM comment ("NIST_COM n" then "KEY value" lines).
void ParseComment(Reader* r, DecodeState* st) {
  static constexpr char kNistCom[] = "NIST_COM";
  const char* text = reinterpret_cast<const char*>(r->data + r->pos);
  const size_t n = r->Left();
  r->pos = r->size;
  if (st->seen_nistcom || n < sizeof(kNistCom) - 1 ||
      std::memcmp(text, kNistCom, sizeof(kNistCom) - 1) != 0)
    return;
  st->seen_nistcom = true;
  size_t i = 0;
  while (i < n) {
    size_t eol = i;
    while (eol < n && text[eol] != '\n') ++eol;
    if (eol - i > 4 && std::memcmp(text + i, "PPI ", 4) == 0) {
      size_t j = i + 4;
      bool negative = false;
      if (j < eol && (text[j] == '-' || text[j] == '+')) negative = text[j++] == '-';
      long v = 0;
      int digits = 0;
      while (j < eol && text[j] >= '0' && text[j] <= '9' && digits < 9) {
        v = v * 10 + (text[j++] - '0');
        ++digits;
      }
      if (digits > 0 && (j == eol || text[j] == '\r' || text[j] == ' '))
        st->ppi = negative ? -1 : static_cast<int>(v);
      return;
    }
    i = eol + 1;
  }
}

int StartData(DecodeState* st) {
  if (st->coef != nullptr) return kWsqOk;
  size_t total = 0;
  for (int k = 0; k < kCodedSubbands; ++k) {
    if (st->qt.q[k] > 0) total += static_cast<size_t>(st->layout.band[k].w) * st->layout.band[k].h;
  }
  st->coef = static_cast<int32_t*>(std::calloc(total ? total : 1, sizeof(int32_t)));
  if (st->coef == nullptr) return kWsqErrMemory;
  st->coef_total = total;
  return kWsqOk;
}

// Decodes one Huffman code. 1: *sym set; 0: only padding (fewer than 8 one bits) was left;
// negative: a result code.
int DecodeSymbol(BitReader* br, const HuffmanDecoder& t, int* sym) {
  int32_t code = 0;
  bool all_ones = true;
  for (int len = 1; len <= 16; ++len) {
    int bit;
    if (!br->Bit(&bit)) return (all_ones && len - 1 < 8) ? 0 : kWsqErrFormat;
    code = (code << 1) | bit;
    all_ones = all_ones && bit == 1;
    if (t.max_code[len] >= 0 && code <= t.max_code[len]) {
      *sym = t.symbols[t.first_index[len] + code - t.min_code[len]];
      return 1;
    }
  }
  return kWsqErrFormat;
}

int DecodeBlock(const unsigned char* data, size_t begin, size_t end, const HuffmanDecoder& t,
                DecodeState* st) {
  BitReader br{data, begin, end};
  for (;;) {
    int sym = 0;
    const int got = DecodeSymbol(&br, t, &sym);
    if (got < 0) return got;
    if (got == 0) return kWsqOk;
    uint32_t zeros = 0;
    int32_t value = 0;
    uint32_t extra = 0;
    if (sym >= 1 && sym <= kMaxDirectRun) {
      zeros = static_cast<uint32_t>(sym);
    } else if (sym == kSymRun8 || sym == kSymRun16) {
      if (!br.Bits(sym == kSymRun8 ? 8 : 16, &extra)) return kWsqErrFormat;
      zeros = extra;
    } else if (sym >= kSymPos8 && sym <= kSymNeg16) {
      if (!br.Bits(sym <= kSymNeg8 ? 8 : 16, &extra)) return kWsqErrFormat;
      value = (sym == kSymNeg8 || sym == kSymNeg16) ? -static_cast<int32_t>(extra)
                                                    : static_cast<int32_t>(extra);
    } else if (sym > kSymRun16 && sym < 255) {
      value = sym - kSymValueBias;
    } else {
      return kWsqErrFormat;  // 0 and 255 are not in the alphabet
    }
    if (zeros > 0) {
      if (zeros > st->coef_total - st->coef_pos) return kWsqErrFormat;
      st->coef_pos += zeros;  // the array starts zeroed
    } else {
      if (st->coef_pos >= st->coef_total) return kWsqErrFormat;
      st->coef[st->coef_pos++] = value;
    }
  }
}

int Reconstruct(DecodeState* st, unsigned char** image) {
  const size_t pixels = static_cast<size_t>(st->width) * st->height;
  float* plane = static_cast<float*>(std::calloc(pixels, sizeof(float)));
  if (plane == nullptr) return kWsqErrMemory;
  size_t idx = 0;
  for (int k = 0; k < kCodedSubbands && st->coef != nullptr; ++k) {
    const double q = st->qt.q[k];
    if (!(q > 0)) continue;
    const Rect& r = st->layout.band[k];
    for (int y = 0; y < r.h; ++y) {
      float* row = plane + static_cast<size_t>(r.y + y) * st->width + r.x;
      for (int x = 0; x < r.w; ++x)
        row[x] = Dequantize(st->coef[idx++], q, st->qt.z[k], st->qt.bin_center);
    }
  }
  if (!InverseTransform(plane, st->width, st->height, st->layout, st->bank)) {
    std::free(plane);
    return kWsqErrMemory;
  }
  unsigned char* out = static_cast<unsigned char*>(std::malloc(pixels));
  if (out == nullptr) {
    std::free(plane);
    return kWsqErrMemory;
  }
  for (size_t i = 0; i < pixels; ++i) {
    const double v = std::floor(plane[i] * st->range + st->mean + 0.5);
    out[i] = !(v > 0) ? 0 : v > 255 ? 255 : static_cast<unsigned char>(v);
  }
  std::free(plane);
  *image = out;
  return kWsqOk;
}

int Decode(const unsigned char* data, size_t size, DecodeState* st, unsigned char** image) {
  if (size >= 1 && data[0] != 0xFF) return kWsqErrFormat;
  if (size >= 2 && data[1] != kSOI) return kWsqErrFormat;
  if (size < 2) return kWsqErrTruncated;
  size_t pos = 2;
  for (;;) {
    if (size - pos < 2) return kWsqErrTruncated;
    if (data[pos] != 0xFF) return kWsqErrFormat;
    const uint8_t marker = data[pos + 1];
    pos += 2;
    if (marker == kEOI) {
      if (!st->have_sof || !st->have_dqt || !st->have_dtt) return kWsqErrFormat;
      // Every coded coefficient is transmitted (trailing zeros as a run), so a short count
      // means lost or damaged data.
      int rc = StartData(st);
      if (rc != kWsqOk) return rc;
      if (st->coef_pos != st->coef_total) return kWsqErrFormat;
      return Reconstruct(st, image);
    }
    if (marker < kSOF || marker > kCOM) return kWsqErrFormat;
    if (size - pos < 2) return kWsqErrTruncated;
    const size_t length = (static_cast<size_t>(data[pos]) << 8) | data[pos + 1];
    if (length < 2) return kWsqErrFormat;
    if (size - pos < length) return kWsqErrTruncated;
    Reader seg{data + pos + 2, length - 2};
    pos += length;
    int rc = kWsqOk;
    switch (marker) {
      case kCOM:
        ParseComment(&seg, st);
        break;
      case kDTT:
        rc = ParseFilters(&seg, st);
        break;
      case kDQT:
        // Changing the bins after coefficients arrived would reshuffle the subbands.
        rc = st->coef != nullptr ? kWsqErrUnsupported : ParseQuantTable(&seg, st);
        break;
      case kDHT:
        rc = ParseHuffmanTables(&seg, st);
        break;
      case kSOF:
        rc = st->have_sof ? kWsqErrFormat : ParseFrame(&seg, st);
        break;
      case kDRT:
        rc = kWsqErrUnsupported;  // restart intervals
        break;
      case kSOB: {
        unsigned id;
        if (!st->have_sof || !st->have_dqt || seg.Left() != 1 || !seg.U8(&id) ||
            id >= kMaxHuffmanTables || !st->table_defined[id])
          return kWsqErrFormat;
        rc = StartData(st);
        if (rc != kWsqOk) return rc;
        // The block runs to the next marker: an 0xFF not followed by a stuffed 0x00.
        size_t end = pos;
        for (;;) {
          if (end >= size) return kWsqErrTruncated;
          if (data[end] == 0xFF) {
            if (end + 1 >= size) return kWsqErrTruncated;
            if (data[end + 1] != 0) break;
            end += 2;
          } else {
            ++end;
          }
        }
        rc = DecodeBlock(data, pos, end, st->tables[id], st);
        pos = end;
        break;
      }
      default:
        rc = kWsqErrFormat;
    }
    if (rc != kWsqOk) return rc;
    if (seg.Left() != 0 && marker != kSOB) return kWsqErrFormat;
  }
}

}  // namespace

int WsqDecodeBounded(const unsigned char* data, size_t size, size_t max_pixels,
                     unsigned char** image, int* width, int* height, int* ppi) {
  if (image != nullptr) *image = nullptr;
  if (width != nullptr) *width = 0;
  if (height != nullptr) *height = 0;
  if (ppi != nullptr) *ppi = -1;
  if (data == nullptr || image == nullptr || width == nullptr || height == nullptr ||
      ppi == nullptr)
    return kWsqErrArgument;
  DecodeState st;
  st.max_pixels = max_pixels;
  const int rc = Decode(data, size, &st, image);
  if (rc != kWsqOk) return rc;
  *width = st.width;
  *height = st.height;
  *ppi = st.ppi;
  return kWsqOk;
}

int WsqDecode(const unsigned char* data, size_t size, unsigned char** image, int* width,
              int* height, int* ppi) {
  return WsqDecodeBounded(data, size, kWsqMaxPixels, image, width, height, ppi);
}
