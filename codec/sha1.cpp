#include "codec/sha1.h"

#include <openssl/evp.h>
#include <string.h>

int Sha1Digest(std::string_view data, unsigned char (&digest)[kSha1DigestBytes]) {
  unsigned int len = 0;
  if (EVP_Digest(data.data(), data.size(), digest, &len, EVP_sha1(), nullptr) != 1 ||
      len != kSha1DigestBytes) {
    memset(digest, 0, kSha1DigestBytes);
    return -1;
  }
  return 0;
}
