// Length-limited canonical Huffman codes for the entropy blocks (same construction and
// decoding tables as baseline JPEG).

#include <cstring>

#include "wsq/wsq.h"

namespace wsq {

namespace {
constexpr int kReserved = 256;  // pseudo-symbol that takes the all-ones code
constexpr int kMaxLength = 16;
}  // namespace

bool BuildHuffmanTable(const uint32_t freq_in[256], HuffmanTable* out) {
  std::memset(out, 0, sizeof(*out));
  uint64_t freq[257];
  int code_size[257];
  int others[257];
  bool any = false;
  for (int i = 0; i < 256; ++i) {
    freq[i] = freq_in[i];
    any = any || freq_in[i] != 0;
  }
  if (!any) return false;
  freq[kReserved] = 1;
  for (int i = 0; i < 257; ++i) {
    code_size[i] = 0;
    others[i] = -1;
  }
  // Repeatedly merge the two least frequent trees; every symbol of a merged tree gets one
  // bit longer. Ties go to the higher symbol so the reserved one ends up deepest.
  for (;;) {
    int v1 = -1, v2 = -1;
    for (int i = 0; i < 257; ++i) {
      if (freq[i] == 0) continue;
      if (v1 < 0 || freq[i] <= freq[v1]) v1 = i;
    }
    for (int i = 0; i < 257; ++i) {
      if (freq[i] == 0 || i == v1) continue;
      if (v2 < 0 || freq[i] <= freq[v2]) v2 = i;
    }
    if (v2 < 0) break;
    freq[v1] += freq[v2];
    freq[v2] = 0;
    ++code_size[v1];
    while (others[v1] >= 0) {
      v1 = others[v1];
      ++code_size[v1];
    }
    others[v1] = v2;
    ++code_size[v2];
    while (others[v2] >= 0) {
      v2 = others[v2];
      ++code_size[v2];
    }
  }
  int bits[64] = {0};
  for (int i = 0; i < 257; ++i) {
    if (code_size[i] > 0) ++bits[code_size[i] < 63 ? code_size[i] : 63];
  }
  // Shorten codes longer than 16 bits: move a pair of leaves up and push a shorter leaf down,
  // which keeps the code complete.
  for (int i = 63; i > kMaxLength; --i) {
    while (bits[i] > 0) {
      int j = i - 2;
      while (bits[j] == 0) --j;
      bits[i] -= 2;
      bits[i - 1] += 1;
      bits[j + 1] += 2;
      bits[j] -= 1;
    }
  }
  // Drop the reserved symbol: it holds the longest (all-ones) code.
  int longest = kMaxLength;
  while (bits[longest] == 0) --longest;
  bits[longest] -= 1;
  int n = 0;
  for (int len = 1; len <= 63 && n < 256; ++len) {
    for (int s = 0; s < 256; ++s) {
      if (code_size[s] == len) out->symbols[n++] = static_cast<uint8_t>(s);
    }
  }
  for (int len = 1; len <= kMaxLength; ++len)
    out->counts[len - 1] = static_cast<uint8_t>(bits[len]);
  out->symbol_count = n;
  return true;
}

void MakeHuffmanCodes(const HuffmanTable& table, HuffmanCodes* out) {
  std::memset(out, 0, sizeof(*out));
  uint32_t code = 0;
  int k = 0;
  for (int len = 1; len <= kMaxLength; ++len) {
    for (int i = 0; i < table.counts[len - 1] && k < table.symbol_count; ++i, ++k) {
      out->code[table.symbols[k]] = static_cast<uint16_t>(code++);
      out->length[table.symbols[k]] = static_cast<uint8_t>(len);
    }
    code <<= 1;
  }
}

bool MakeHuffmanDecoder(const HuffmanTable& table, HuffmanDecoder* out) {
  std::memset(out, 0, sizeof(*out));
  int total = 0;
  for (int len = 1; len <= kMaxLength; ++len) total += table.counts[len - 1];
  if (total > 256 || total != table.symbol_count) return false;
  int32_t code = 0;
  int k = 0;
  for (int len = 1; len <= kMaxLength; ++len) {
    const int count = table.counts[len - 1];
    if (count == 0) {
      out->max_code[len] = -1;
    } else {
      out->first_index[len] = k;
      out->min_code[len] = code;
      code += count;
      // Every code of this length must fit in len bits, or the counts name more codes than
      // a prefix code can hold.
      if (code > (1 << len)) return false;
      out->max_code[len] = code - 1;
      k += count;
    }
    code <<= 1;
  }
  out->max_code[kMaxLength + 1] = 0x7FFFFFFF;  // sentinel: no code is longer than 16 bits
  std::memcpy(out->symbols, table.symbols, sizeof(out->symbols));
  return true;
}

}  // namespace wsq
