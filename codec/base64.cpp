#include "codec/base64.h"

#include <array>
#include <climits>
#include <cstdlib>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr unsigned char kNotBase64 = 64;  // decode-table mark of a byte outside the alphabet

constexpr std::array<unsigned char, 256> MakeDecodeTable() {
  std::array<unsigned char, 256> table{};
  for (auto& entry : table) entry = kNotBase64;
  for (unsigned char i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = i;
  return table;
}

constexpr std::array<unsigned char, 256> kDecode = MakeDecodeTable();
static_assert(kDecode['A'] == 0 && kDecode['/'] == 63 && kDecode['='] == kNotBase64 &&
              kDecode['-'] == kNotBase64 && kDecode[0] == kNotBase64);

unsigned char DecodeChar(const char* p) {
  return kDecode[static_cast<unsigned char>(*p)];
}

size_t CountBase64Prefix(const char* text) {
  size_t c = 0;
  while (DecodeChar(text + c) < kNotBase64) ++c;
  return c;
}

// Shared by both encoders; returns the characters written without the NUL.
size_t EncodeText(char* out, const unsigned char* in, size_t n) {
  char* p = out;
  size_t i = 0;
  for (; i + 3 <= n; i += 3) {
    unsigned v = (unsigned{in[i]} << 16) | (unsigned{in[i + 1]} << 8) | in[i + 2];
    *p++ = kAlphabet[(v >> 18) & 63];
    *p++ = kAlphabet[(v >> 12) & 63];
    *p++ = kAlphabet[(v >> 6) & 63];
    *p++ = kAlphabet[v & 63];
  }
  if (n - i == 1) {
    unsigned v = unsigned{in[i]} << 16;
    *p++ = kAlphabet[(v >> 18) & 63];
    *p++ = kAlphabet[(v >> 12) & 63];
    *p++ = '=';
    *p++ = '=';
  } else if (n - i == 2) {
    unsigned v = (unsigned{in[i]} << 16) | (unsigned{in[i + 1]} << 8);
    *p++ = kAlphabet[(v >> 18) & 63];
    *p++ = kAlphabet[(v >> 12) & 63];
    *p++ = kAlphabet[(v >> 6) & 63];
    *p++ = '=';
  }
  *p = '\0';
  return static_cast<size_t>(p - out);
}

}  // namespace

size_t b64_encoded_size(size_t n) {
  return ((n + 2) / 3) * 4 + 1;
}

size_t b64_encode(char* out, const unsigned char* in, size_t n) {
  return EncodeText(out, in, n) + 1;
}

void ws_base64_encode(const unsigned char* src, size_t n, char* dst) {
  EncodeText(dst, src, n);
}

size_t b64_decoded_size(const char* text) {
  size_t c = CountBase64Prefix(text);
  return ((c + 3) / 4) * 3 + 1;
}

size_t b64_decode(unsigned char* out, const char* text) {
  size_t c = CountBase64Prefix(text);
  const char* s = text;
  unsigned char* p = out;
  size_t left = c;
  while (left > 4) {
    unsigned v = (unsigned{DecodeChar(s)} << 18) | (unsigned{DecodeChar(s + 1)} << 12) |
                 (unsigned{DecodeChar(s + 2)} << 6) | DecodeChar(s + 3);
    *p++ = static_cast<unsigned char>(v >> 16);
    *p++ = static_cast<unsigned char>(v >> 8);
    *p++ = static_cast<unsigned char>(v);
    s += 4;
    left -= 4;
  }
  // The last 1 to 4 characters: any bits past the final whole byte are
  // ignored, and a lone character carries no whole byte at all.
  if (left >= 2) {
    unsigned v = (unsigned{DecodeChar(s)} << 18) | (unsigned{DecodeChar(s + 1)} << 12);
    if (left >= 3) v |= unsigned{DecodeChar(s + 2)} << 6;
    if (left == 4) v |= DecodeChar(s + 3);
    *p++ = static_cast<unsigned char>(v >> 16);
    if (left >= 3) *p++ = static_cast<unsigned char>(v >> 8);
    if (left == 4) *p++ = static_cast<unsigned char>(v);
  }
  *p = '\0';
  return static_cast<size_t>(p - out);  // ((c + 3) / 4) * 3 - ((4 - left) % 4)
}

char* Base64EncodeAlloc(const unsigned char* data, int count) {
  if (count < 0 || (data == nullptr && count > 0)) return nullptr;
  auto* text = static_cast<char*>(malloc(b64_encoded_size(static_cast<size_t>(count))));
  if (text == nullptr) return nullptr;
  b64_encode(text, data, static_cast<size_t>(count));
  return text;
}

unsigned char* Base64DecodeAlloc(const char* text, int* count) {
  if (count != nullptr) *count = 0;
  if (text == nullptr) return nullptr;
  size_t size = b64_decoded_size(text);
  if (size > static_cast<size_t>(INT_MAX)) return nullptr;
  auto* bytes = static_cast<unsigned char*>(malloc(size));
  if (bytes == nullptr) return nullptr;
  size_t n = b64_decode(bytes, text);
  if (count != nullptr) *count = static_cast<int>(n);
  return bytes;
}
