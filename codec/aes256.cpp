#include "codec/aes256.h"

#include <openssl/evp.h>
#include <stdlib.h>
#include <string.h>

#include <memory>

namespace {

struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

struct HeapFree {
  void operator()(unsigned char* p) const { free(p); }
};
using HeapBlock = std::unique_ptr<unsigned char, HeapFree>;

}  // namespace

unsigned char* EncryptAES256(const unsigned char* in, int32_t len, const unsigned char* key,
                             int* out_len) {
  if (out_len != nullptr) *out_len = 0;
  if (len < 0 || (in == nullptr && len > 0) || key == nullptr || out_len == nullptr) {
    return nullptr;
  }
  const int64_t pad = static_cast<int64_t>(kAesBlockBytes) - len % 16;
  const int64_t total = len + pad;
  if (total > INT32_MAX) return nullptr;  // *out_len could not hold it
  *out_len = static_cast<int>(total);

  HeapBlock out(static_cast<unsigned char*>(malloc(static_cast<size_t>(total))));
  CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  if (!out || !ctx) return nullptr;
  // EVP pads with PKCS #7 by default; ECB takes no IV.
  int body = 0;
  int tail = 0;
  const unsigned char empty = 0;
  if (EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_ecb(), nullptr, key, nullptr) != 1 ||
      EVP_EncryptUpdate(ctx.get(), out.get(), &body, len > 0 ? in : &empty, len) != 1 ||
      EVP_EncryptFinal_ex(ctx.get(), out.get() + body, &tail) != 1 ||
      static_cast<int64_t>(body) + tail != total) {
    return nullptr;
  }
  return out.release();
}
