// Decodes arbitrary text into a heap block of exactly the advertised size, so
// that ASan reports any write past it, then checks that encoding the input
// and decoding the result gives the input back.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "codec/base64.h"

namespace {

struct HeapBlock {
  explicit HeapBlock(size_t n) : p(static_cast<unsigned char*>(malloc(n ? n : 1))) {}
  ~HeapBlock() { free(p); }
  HeapBlock(const HeapBlock&) = delete;
  HeapBlock& operator=(const HeapBlock&) = delete;
  unsigned char* p;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  HeapBlock text(size + 1);
  if (text.p == nullptr) return 0;
  memcpy(text.p, data, size);
  text.p[size] = 0;
  const char* t = reinterpret_cast<const char*>(text.p);

  const size_t bound = b64_decoded_size(t);
  HeapBlock out(bound);
  if (out.p == nullptr) return 0;
  const size_t n = b64_decode(out.p, t);
  if (n >= bound || out.p[n] != 0) abort();

  // Round trip of the raw input bytes.
  const size_t enc_size = b64_encoded_size(size);
  HeapBlock enc(enc_size);
  if (enc.p == nullptr) return 0;
  char* e = reinterpret_cast<char*>(enc.p);
  if (b64_encode(e, data, size) != enc_size || strlen(e) + 1 != enc_size) abort();

  const size_t back_bound = b64_decoded_size(e);
  HeapBlock back(back_bound);
  if (back.p == nullptr) return 0;
  if (b64_decode(back.p, e) != size || memcmp(back.p, data, size) != 0) abort();
  return 0;
}
