// WSQ (FBI Wavelet Scalar Quantization) codec for 8-bit grey 500 ppi fingerprint images.
// Pure functions of their inputs, no global state: callable from any thread. Every buffer the
// codec returns is malloc'd and owned by the caller, who releases it with free().
// Codes, limits and the file layout we write are described in docs/wsq.md.
#pragma once

#include <cstddef>
#include <cstdint>

// Result codes of WsqEncode and WsqDecode.
inline constexpr int kWsqOk = 0;
inline constexpr int kWsqErrArgument = -1;     // null pointer, depth not 8, bad bit rate or size
inline constexpr int kWsqErrTooSmall = -2;     // encoder: width or height below kWsqMinDimension
inline constexpr int kWsqErrMemory = -3;       // an allocation failed; nothing was returned
inline constexpr int kWsqErrFormat = -4;       // decoder: the bytes are not a well-formed WSQ file
inline constexpr int kWsqErrTruncated = -5;    // decoder: the file ends before its EOI marker
inline constexpr int kWsqErrUnsupported = -6;  // decoder: valid WSQ using a feature we lack
inline constexpr int kWsqErrTooLarge = -7;     // more than kWsqMaxPixels pixels

inline constexpr int kWsqMinDimension = 256;       // smallest width and height the encoder takes
inline constexpr int kWsqMaxDimension = 65535;     // the frame header holds 16-bit sizes
inline constexpr size_t kWsqMaxPixels = 1u << 24;  // 16 Mi pixels: far above any finger image
inline constexpr float kWsqMaxBitRate = 8.0f;      // bits per pixel; 8 would be no compression
inline constexpr int kWsqMaxCommentBytes = 65533;  // one COM segment's payload

// Encodes an 8-bit grey image (row by row) as a WSQ file at the given bit rate (bits per pixel).
// On success returns 0 and a malloc'd buffer in *out (caller frees with free()) of *out_size bytes.
// Returns kWsqErrTooSmall for images below 256x256, kWsqErrArgument for bad arguments
// (depth other than 8, bit rate not in (0, 8], comment longer than kWsqMaxCommentBytes),
// kWsqErrTooLarge above kWsqMaxPixels and kWsqErrMemory when memory runs out.
// ppi <= 0 is written as "unknown" (-1). A null or empty comment writes no free-text comment.
[[nodiscard]] int WsqEncode(const unsigned char* image, int width, int height, int depth, int ppi,
                            float bitrate, const char* comment, unsigned char** out, int* out_size);

// Decodes a WSQ file; on success 0, a malloc'd image (width*height bytes, row by row), its width,
// height and ppi (-1 if the file does not name it). Errors: kWsqErrFormat, kWsqErrTruncated,
// kWsqErrUnsupported, kWsqErrTooLarge, kWsqErrMemory, kWsqErrArgument; never a crash or an
// over-read. On error *image is null.
[[nodiscard]] int WsqDecode(const unsigned char* data, size_t size, unsigned char** image,
                            int* width, int* height, int* ppi);

// WsqDecode with a caller-chosen pixel limit (the fuzzer keeps allocations small with it).
[[nodiscard]] int WsqDecodeBounded(const unsigned char* data, size_t size, size_t max_pixels,
                                   unsigned char** image, int* width, int* height, int* ppi);

// A short English text for a result code ("truncated file"); never null.
const char* WsqResultText(int code);

// ---------------------------------------------------------------------------------------------
// Building blocks shared by the encoder, the decoder and their tests. Not part of the SDK's
// interface; all of them are pure and allocation-free unless they say otherwise.
namespace wsq {

// Marker codes (0xFF then the code byte).
inline constexpr uint8_t kSOI = 0xA0, kEOI = 0xA1, kSOF = 0xA2, kSOB = 0xA3, kDTT = 0xA4,
                         kDQT = 0xA5, kDHT = 0xA6, kDRT = 0xA7, kCOM = 0xA8;

// 64 subbands; 60..63 (the diagonal high quadrant) are never coded. Coded subbands fall into
// three entropy blocks: 0..18 (Huffman table 0), 19..51 and 52..59 (both table 1).
inline constexpr int kSubbands = 64;
inline constexpr int kCodedSubbands = 60;
inline constexpr int kBlocks = 3;
inline constexpr int kBlockFirstBand[kBlocks + 1] = {0, 19, 52, 60};
inline constexpr int kBlockTable[kBlocks] = {0, 1, 1};
inline constexpr int kTreeNodes = 20;  // splits of the analysis tree
inline constexpr int kMaxHuffmanTables = 8;

// A rectangle of the coefficient plane (same size as the image).
struct Rect {
  int x, y, w, h;
};

// Where each subband lies for one image size, and the splits that produce them. A split turns
// its rectangle into four (low/high in x times low/high in y); flip_x puts the high half on the
// left so that every subband stays in frequency order (a high band's spectrum is mirrored).
// Nodes are listed parent before child: analysis runs them in order, synthesis backwards.
struct Layout {
  Rect band[kSubbands];
  Rect node[kTreeNodes];
  bool flip_x[kTreeNodes];
  bool flip_y[kTreeNodes];
};
void ComputeLayout(int width, int height, Layout* out);

// Size classes of the subbands: share of the image area of one subband.
double SubbandAreaShare(int band);

// The symmetric odd-length analysis filter pair, stored as its non-redundant halves, centre
// tap first: lo[0..lo_taps/2], hi[0..hi_taps/2]. The 9/7 pair is the only one we write.
inline constexpr int kMaxFilterTaps = 31;
struct FilterBank {
  int lo_taps;  // odd
  int hi_taps;  // odd
  double lo[kMaxFilterTaps / 2 + 1];
  double hi[kMaxFilterTaps / 2 + 1];
};
extern const FilterBank kFilterBank97;

// In-place 2-D analysis and synthesis of a width x height plane through every node of the
// layout, with whole-sample symmetric extension at the borders. Synthesis inverts analysis to
// float precision for any size >= 1. Both allocate their own scratch; false when that fails.
[[nodiscard]] bool ForwardTransform(float* plane, int width, int height, const Layout& layout,
                                    const FilterBank& bank);
[[nodiscard]] bool InverseTransform(float* plane, int width, int height, const Layout& layout,
                                    const FilterBank& bank);

// "Scaled integer" fields: value / 10^exponent. ToScaled picks the largest exponent (up to
// kMaxScaleExponent) that keeps the rounded value within max_value; x must be >= 0.
inline constexpr int kMaxScaleExponent = 20;
struct Scaled {
  uint8_t exponent;
  uint32_t value;
};
Scaled ToScaled(double x, uint32_t max_value);
double FromScaled(Scaled s);

// Quantizer of one image: bin width q and zero-bin width z per subband (q == 0: not coded)
// and the bin centre used by the dequantizer.
struct QuantTable {
  double bin_center;
  double q[kSubbands];
  double z[kSubbands];
};

// Chooses bin widths for the target bit rate from the subband variances (variance[k] for the
// coded subbands). Values are already rounded to what the file can carry.
void AllocateBins(const double variance[kSubbands], double bitrate, QuantTable* out);

// Quantizes one coefficient (clamped to +-65535) and reconstructs one.
int32_t Quantize(float a, double q, double z);
float Dequantize(int32_t p, double q, double z, double bin_center);

// A Huffman table as carried by a DHT segment: codes of each length 1..16 in canonical order.
struct HuffmanTable {
  uint8_t counts[16];  // counts[i]: number of codes of length i + 1
  uint8_t symbols[256];
  int symbol_count;
};

// Builds length-limited (<= 16 bits) canonical codes for the symbols with non-zero frequency,
// never using the all-ones code so that 1-bit padding cannot be read as a symbol.
// Returns false when no frequency is non-zero.
bool BuildHuffmanTable(const uint32_t freq[256], HuffmanTable* out);

// Code of each symbol (length 0: symbol absent).
struct HuffmanCodes {
  uint16_t code[256];
  uint8_t length[256];
};
void MakeHuffmanCodes(const HuffmanTable& table, HuffmanCodes* out);

// Decoding form of a table. MakeHuffmanDecoder refuses (false) counts that do not form a
// prefix code or name more than 256 symbols.
struct HuffmanDecoder {
  int32_t min_code[17];
  int32_t max_code[18];  // -1: no code of that length
  int32_t first_index[17];
  uint8_t symbols[256];
};
bool MakeHuffmanDecoder(const HuffmanTable& table, HuffmanDecoder* out);

// Entropy-coder alphabet.
inline constexpr int kMaxDirectRun = 100;               // symbols 1..100: run of that many zeros
inline constexpr int kSymPos8 = 101, kSymNeg8 = 102;    // + 8-bit magnitude
inline constexpr int kSymPos16 = 103, kSymNeg16 = 104;  // + 16-bit magnitude
inline constexpr int kSymRun8 = 105, kSymRun16 = 106;   // + 8/16-bit zero-run length
inline constexpr int kSymValueBias = 180;               // 107..254: value = symbol - 180
inline constexpr int kMinDirectValue = -73, kMaxDirectValue = 74;

}  // namespace wsq
