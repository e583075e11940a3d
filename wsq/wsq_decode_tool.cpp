// kv-wsq-decode: decodes a WSQ file to a binary PGM and prints its size, for scripts and for
// anyone who wants to look at a capture's WSQ image.
//
//   kv-wsq-decode in.wsq [out.pgm]      ("-" reads standard input)
//
// Prints "width=W height=H ppi=P" on success (exit 0); a decoding error goes to standard error
// with exit status 1, a usage or file error with 2.

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "wsq/wsq.h"

namespace {

constexpr size_t kMaxInputBytes = 64u << 20;  // far beyond any WSQ file of a finger

struct File {
  FILE* f = nullptr;
  bool owned = false;
  ~File() {
    if (f != nullptr && owned) std::fclose(f);
  }
};

// Reads the whole stream into a malloc'd block; false on error or when it is too large.
bool ReadAll(FILE* f, unsigned char** data, size_t* size) {
  size_t cap = 1 << 16, len = 0;
  unsigned char* buf = static_cast<unsigned char*>(std::malloc(cap));
  if (buf == nullptr) return false;
  for (;;) {
    if (len == cap) {
      if (cap >= kMaxInputBytes) {
        std::free(buf);
        return false;
      }
      cap *= 2;
      auto* grown = static_cast<unsigned char*>(std::realloc(buf, cap));
      if (grown == nullptr) {
        std::free(buf);
        return false;
      }
      buf = grown;
    }
    const size_t n = std::fread(buf + len, 1, cap - len, f);
    len += n;
    if (n == 0) break;
  }
  if (std::ferror(f)) {
    std::free(buf);
    return false;
  }
  *data = buf;
  *size = len;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: %s in.wsq [out.pgm]\n", argv[0]);
    return 2;
  }
  File in;
  if (std::strcmp(argv[1], "-") == 0) {
    in.f = stdin;
    PlatformSetBinaryMode(stdin);  // a WSQ file is bytes, not lines
  } else {
    in.f = std::fopen(argv[1], "rb");
    in.owned = true;
  }
  if (in.f == nullptr) {
    std::fprintf(stderr, "%s: cannot open %s\n", argv[0], argv[1]);
    return 2;
  }
  unsigned char* data = nullptr;
  size_t size = 0;
  if (!ReadAll(in.f, &data, &size)) {
    std::fprintf(stderr, "%s: cannot read %s\n", argv[0], argv[1]);
    return 2;
  }
  unsigned char* image = nullptr;
  int width = 0, height = 0, ppi = -1;
  const int rc = WsqDecode(data, size, &image, &width, &height, &ppi);
  std::free(data);
  if (rc != kWsqOk) {
    std::fprintf(stderr, "%s: %s: %s (%d)\n", argv[0], argv[1], WsqResultText(rc), rc);
    return 1;
  }
  int status = 0;
  if (argc == 3) {
    File out;
    out.f = std::fopen(argv[2], "wb");
    out.owned = true;
    const size_t pixels = static_cast<size_t>(width) * height;
    if (out.f == nullptr || std::fprintf(out.f, "P5\n%d %d\n255\n", width, height) < 0 ||
        std::fwrite(image, 1, pixels, out.f) != pixels || std::fflush(out.f) != 0) {
      std::fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[2]);
      status = 2;
    }
  }
  std::free(image);
  if (status == 0) std::printf("width=%d height=%d ppi=%d\n", width, height, ppi);
  return status;
}
