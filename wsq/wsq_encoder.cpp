// WSQ encoder: pre-scaling, transform, bit allocation, quantization, entropy coding and the
// file's segments.

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "wsq/wsq.h"

using namespace wsq;

namespace {

constexpr int kNistComBytes = 256;
constexpr uint8_t kEncoderNumber = 2;          // the published bit-allocation encoder
constexpr uint16_t kSoftwareNumber = 0;        // not a certified implementation number
constexpr double kVarianceSplitLimit = 20000;  // below this the whole subband is measured

// Owner of a malloc'd block.
template <typename T>
struct HeapBlock {
  T* p = nullptr;
  explicit HeapBlock(size_t count)
      : p(static_cast<T*>(std::malloc(count ? count * sizeof(T) : 1))) {}
  ~HeapBlock() { std::free(p); }
  HeapBlock(const HeapBlock&) = delete;
  HeapBlock& operator=(const HeapBlock&) = delete;
  T* release() {
    T* r = p;
    p = nullptr;
    return r;
  }
};

// Growable output; any failed growth sticks in `failed` and later writes are dropped.
struct ByteWriter {
  unsigned char* data = nullptr;
  size_t len = 0;
  size_t cap = 0;
  bool failed = false;
  ~ByteWriter() { std::free(data); }
  void Reserve(size_t extra) {
    if (failed || len + extra <= cap) return;
    size_t want = cap ? cap : 4096;
    while (want < len + extra) want *= 2;
    auto* grown = static_cast<unsigned char*>(std::realloc(data, want));
    if (grown == nullptr) {
      failed = true;
      return;
    }
    data = grown;
    cap = want;
  }
  void U8(unsigned v) {
    Reserve(1);
    if (!failed) data[len++] = static_cast<unsigned char>(v);
  }
  void U16(unsigned v) {
    U8(v >> 8);
    U8(v & 0xFF);
  }
  void U32(uint32_t v) {
    U16(v >> 16);
    U16(v & 0xFFFF);
  }
  void Bytes(const void* p, size_t n) {
    Reserve(n);
    if (!failed) {
      std::memcpy(data + len, p, n);
      len += n;
    }
  }
  void Marker(uint8_t code) {
    U8(0xFF);
    U8(code);
  }
  void Scaled16(double x) {
    const Scaled s = ToScaled(x, 0xFFFF);
    U8(s.exponent);
    U16(s.value);
  }
};

// MSB-first bit packer for entropy data: stuffs 0x00 after every 0xFF byte and pads the last
// byte with one bits.
struct BitWriter {
  ByteWriter* out;
  uint32_t acc = 0;
  int bits = 0;
  void Put(uint32_t value, int n) {
    acc = (acc << n) | (value & ((1u << n) - 1));
    bits += n;
    while (bits >= 8) {
      const unsigned byte = (acc >> (bits - 8)) & 0xFF;
      out->U8(byte);
      if (byte == 0xFF) out->U8(0);
      bits -= 8;
    }
    acc &= (1u << bits) - 1;
  }
  void Flush() {
    if (bits > 0) Put((1u << (8 - bits)) - 1, 8 - bits);
  }
};

// One entropy-coder symbol with its trailing raw bits.
struct Symbol {
  uint8_t sym;
  uint8_t extra_bits;
  uint16_t extra;
};

struct SymbolStream {
  Symbol* items;
  size_t count = 0;
  void Add(int sym, int extra_bits = 0, unsigned extra = 0) {
    items[count++] = {static_cast<uint8_t>(sym), static_cast<uint8_t>(extra_bits),
                      static_cast<uint16_t>(extra)};
  }
  void Run(uint32_t n) {
    while (n > 0xFFFF) {
      Add(kSymRun16, 16, 0xFFFF);
      n -= 0xFFFF;
    }
    if (n == 0) return;
    if (n <= kMaxDirectRun)
      Add(static_cast<int>(n));
    else if (n <= 0xFF)
      Add(kSymRun8, 8, n);
    else
      Add(kSymRun16, 16, n);
  }
  void Value(int32_t v) {
    if (v >= kMinDirectValue && v <= kMaxDirectValue) {
      Add(v + kSymValueBias);
    } else {
      const uint32_t mag = v < 0 ? static_cast<uint32_t>(-v) : static_cast<uint32_t>(v);
      if (mag <= 0xFF)
        Add(v < 0 ? kSymNeg8 : kSymPos8, 8, mag);
      else
        Add(v < 0 ? kSymNeg16 : kSymPos16, 16, mag);
    }
  }
};

double BandVariance(const float* plane, int width, const Rect& band, bool central) {
  Rect r = band;
  if (central) {
    Rect c{band.x + band.w / 8, band.y + 9 * band.h / 32, 3 * band.w / 4, 7 * band.h / 16};
    if (static_cast<long>(c.w) * c.h >= 2) r = c;
  }
  const long n = static_cast<long>(r.w) * r.h;
  if (n < 2) return 0;
  double sum = 0, sum2 = 0;
  for (int y = 0; y < r.h; ++y) {
    const float* row = plane + static_cast<size_t>(r.y + y) * width + r.x;
    for (int x = 0; x < r.w; ++x) {
      sum += row[x];
      sum2 += static_cast<double>(row[x]) * row[x];
    }
  }
  const double v = (sum2 - sum * sum / n) / (n - 1);
  return v > 0 ? v : 0;
}

void WriteSegmentHeader(ByteWriter* w, uint8_t marker, size_t payload) {
  w->Marker(marker);
  w->U16(static_cast<unsigned>(payload + 2));
}

void WriteComment(ByteWriter* w, const char* text, size_t n) {
  WriteSegmentHeader(w, kCOM, n);
  w->Bytes(text, n);
}

void WriteFilters(ByteWriter* w, const FilterBank& bank) {
  const int lo = bank.lo_taps / 2 + 1;
  const int hi = bank.hi_taps / 2 + 1;
  WriteSegmentHeader(w, kDTT, 2 + 6 * static_cast<size_t>(lo + hi));
  w->U8(bank.lo_taps);
  w->U8(bank.hi_taps);
  for (int i = 0; i < lo + hi; ++i) {
    const double c = i < lo ? bank.lo[i] : bank.hi[i - lo];
    const Scaled s = ToScaled(std::fabs(c), 0xFFFFFFFFu);
    w->U8(c < 0 ? 1 : 0);
    w->U8(s.exponent);
    w->U32(s.value);
  }
}

void WriteQuantTable(ByteWriter* w, const QuantTable& qt) {
  WriteSegmentHeader(w, kDQT, 3 + 6 * kSubbands);
  // The bin centre goes out as 44 / 10^2, the form other encoders use for 0.44.
  w->U8(2);
  w->U16(static_cast<unsigned>(std::lround(qt.bin_center * 100)));
  for (int k = 0; k < kSubbands; ++k) {
    w->Scaled16(qt.q[k]);
    w->Scaled16(qt.z[k]);
  }
}

void WriteFrame(ByteWriter* w, int width, int height, double mean, double range) {
  WriteSegmentHeader(w, kSOF, 15);
  w->U8(0);    // black
  w->U8(255);  // white
  w->U16(static_cast<unsigned>(height));
  w->U16(static_cast<unsigned>(width));
  w->Scaled16(mean);
  w->Scaled16(range);
  w->U8(kEncoderNumber);
  w->U16(kSoftwareNumber);
}

void WriteHuffmanTable(ByteWriter* w, int id, const HuffmanTable& t) {
  WriteSegmentHeader(w, kDHT, 1 + 16 + static_cast<size_t>(t.symbol_count));
  w->U8(static_cast<unsigned>(id));
  w->Bytes(t.counts, 16);
  w->Bytes(t.symbols, static_cast<size_t>(t.symbol_count));
}

void WriteBlock(ByteWriter* w, int table_id, const HuffmanCodes& codes, const Symbol* s, size_t n) {
  WriteSegmentHeader(w, kSOB, 1);
  w->U8(static_cast<unsigned>(table_id));
  BitWriter bits{w};
  for (size_t i = 0; i < n; ++i) {
    bits.Put(codes.code[s[i].sym], codes.length[s[i].sym]);
    if (s[i].extra_bits) bits.Put(s[i].extra, s[i].extra_bits);
  }
  bits.Flush();
}

}  // namespace

int WsqEncode(const unsigned char* image, int width, int height, int depth, int ppi, float bitrate,
              const char* comment, unsigned char** out, int* out_size) {
  if (out != nullptr) *out = nullptr;
  if (out_size != nullptr) *out_size = 0;
  if (image == nullptr || out == nullptr || out_size == nullptr || depth != 8 || !(bitrate > 0) ||
      bitrate > kWsqMaxBitRate || width <= 0 || height <= 0 || width > kWsqMaxDimension ||
      height > kWsqMaxDimension)
    return kWsqErrArgument;
  const size_t comment_len = comment ? std::strlen(comment) : 0;
  if (comment_len > static_cast<size_t>(kWsqMaxCommentBytes)) return kWsqErrArgument;
  if (width < kWsqMinDimension || height < kWsqMinDimension) return kWsqErrTooSmall;
  const size_t pixels = static_cast<size_t>(width) * height;
  if (pixels > kWsqMaxPixels) return kWsqErrTooLarge;

  // Centre the grey levels on the mean and scale them to about +-128, with the figures
  // rounded as the frame header stores them so the decoder undoes exactly this.
  uint64_t sum = 0;
  int lo = 255, hi = 0;
  for (size_t i = 0; i < pixels; ++i) {
    sum += image[i];
    if (image[i] < lo) lo = image[i];
    if (image[i] > hi) hi = image[i];
  }
  const double mean = FromScaled(ToScaled(static_cast<double>(sum) / pixels, 0xFFFF));
  double range = std::fmax(mean - lo, hi - mean) / 128;
  range = FromScaled(ToScaled(range, 0xFFFF));
  if (!(range > 0)) range = 1;  // a flat image: every coefficient is zero anyway

  HeapBlock<float> plane(pixels);
  if (plane.p == nullptr) return kWsqErrMemory;
  for (size_t i = 0; i < pixels; ++i) plane.p[i] = static_cast<float>((image[i] - mean) / range);

  Layout layout;
  ComputeLayout(width, height, &layout);
  if (!ForwardTransform(plane.p, width, height, layout, kFilterBank97)) return kWsqErrMemory;

  double variance[kSubbands] = {0};
  double low_sum = 0;
  for (int k = 0; k < 4; ++k) {
    variance[k] = BandVariance(plane.p, width, layout.band[k], true);
    low_sum += variance[k];
  }
  const bool central = low_sum >= kVarianceSplitLimit;
  for (int k = 0; k < kCodedSubbands; ++k)
    variance[k] = BandVariance(plane.p, width, layout.band[k], central);

  QuantTable qt;
  AllocateBins(variance, bitrate, &qt);

  // Quantize and turn each block into symbols. Every symbol covers at least one coefficient.
  HeapBlock<Symbol> symbols(pixels);
  if (symbols.p == nullptr) return kWsqErrMemory;
  SymbolStream stream{symbols.p};
  size_t block_start[kBlocks + 1];
  for (int b = 0; b < kBlocks; ++b) {
    block_start[b] = stream.count;
    uint32_t run = 0;
    for (int k = kBlockFirstBand[b]; k < kBlockFirstBand[b + 1]; ++k) {
      if (qt.q[k] <= 0) continue;
      const Rect& r = layout.band[k];
      for (int y = 0; y < r.h; ++y) {
        const float* row = plane.p + static_cast<size_t>(r.y + y) * width + r.x;
        for (int x = 0; x < r.w; ++x) {
          const int32_t v = Quantize(row[x], qt.q[k], qt.z[k]);
          if (v == 0) {
            ++run;
          } else {
            stream.Run(run);
            run = 0;
            stream.Value(v);
          }
        }
      }
    }
    stream.Run(run);
  }
  block_start[kBlocks] = stream.count;

  HuffmanTable tables[2];
  HuffmanCodes codes[2];
  bool table_used[2] = {false, false};
  for (int t = 0; t < 2; ++t) {
    uint32_t freq[256] = {0};
    for (int b = 0; b < kBlocks; ++b) {
      if (kBlockTable[b] != t) continue;
      for (size_t i = block_start[b]; i < block_start[b + 1]; ++i) ++freq[symbols.p[i].sym];
    }
    table_used[t] = BuildHuffmanTable(freq, &tables[t]);
    if (table_used[t]) MakeHuffmanCodes(tables[t], &codes[t]);
  }

  ByteWriter w;
  w.Reserve(1024 + pixels / 2);
  w.Marker(kSOI);
  char nistcom[kNistComBytes];
  const int nist_len =
      std::snprintf(nistcom, sizeof(nistcom),
                    "NIST_COM 9\nPIX_WIDTH %d\nPIX_HEIGHT %d\nPIX_DEPTH 8\nPPI %d\nLOSSY 1\n"
                    "COLORSPACE GRAY\nCOMPRESSION WSQ\nWSQ_BITRATE %f",
                    width, height, ppi > 0 ? ppi : -1, static_cast<double>(bitrate));
  WriteComment(&w, nistcom, static_cast<size_t>(nist_len));
  if (comment_len > 0) WriteComment(&w, comment, comment_len);
  WriteFilters(&w, kFilterBank97);
  WriteQuantTable(&w, qt);
  WriteFrame(&w, width, height, mean, range);
  bool table_written[2] = {false, false};
  for (int b = 0; b < kBlocks; ++b) {
    const int t = kBlockTable[b];
    const size_t n = block_start[b + 1] - block_start[b];
    if (n == 0) continue;  // every subband of the block was dropped
    if (!table_written[t]) {
      WriteHuffmanTable(&w, t, tables[t]);
      table_written[t] = true;
    }
    WriteBlock(&w, t, codes[t], symbols.p + block_start[b], n);
  }
  w.Marker(kEOI);
  if (w.failed) return kWsqErrMemory;
  if (w.len > 0x7FFFFFFF) return kWsqErrTooLarge;
  *out_size = static_cast<int>(w.len);
  *out = w.data;
  w.data = nullptr;
  return kWsqOk;
}

const char* WsqResultText(int code) {
  switch (code) {
    case kWsqOk:
      return "success";
    case kWsqErrArgument:
      return "invalid argument";
    case kWsqErrTooSmall:
      return "image smaller than 256 x 256";
    case kWsqErrMemory:
      return "out of memory";
    case kWsqErrFormat:
      return "malformed WSQ data";
    case kWsqErrTruncated:
      return "truncated WSQ data";
    case kWsqErrUnsupported:
      return "unsupported WSQ feature";
    case kWsqErrTooLarge:
      return "image too large";
    default:
      return "unknown error";
  }
}
