#include "api/session_keys.h"

#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/encoder.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "api/request_params.h"
#include "base/trace_log.h"
#include "base/trace_tags.h"
#include "codec/base64.h"
#include "net/openssl_owners.h"
#include "platform/heap_owner.h"

ServiceKeyPair g_service_key_pair = {nullptr, nullptr, nullptr, 0};

namespace {

// Room for the plaintext of the largest key this module makes.
constexpr int kPlainBlockBytes = kServiceKeyBits / 8;

// A private PEM must not linger in freed heap memory.
struct SecretTextFree {
  void operator()(char* p) const {
    if (p) OPENSSL_cleanse(p, strlen(p));
    free(p);
  }
};
using SecretText = std::unique_ptr<char, SecretTextFree>;

// Writes the PKCS #1 ("type-specific") PEM form of the selected key parts into
// a new NUL-terminated heap text, or returns null.
char* WritePkcs1Pem(EVP_PKEY* key, int selection) {
  EncoderCtxPtr enc(OSSL_ENCODER_CTX_new_for_pkey(key, selection, "PEM", "type-specific", nullptr));
  if (!enc || OSSL_ENCODER_CTX_get_num_encoders(enc.get()) == 0) return nullptr;
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || OSSL_ENCODER_to_bio(enc.get(), bio.get()) != 1) return nullptr;
  long pending = BIO_ctrl(bio.get(), BIO_CTRL_PENDING, 0, nullptr);
  if (pending <= 0 || pending > 64 * 1024) return nullptr;
  char* text = static_cast<char*>(malloc(static_cast<size_t>(pending) + 1));
  if (!text) return nullptr;
  int got = BIO_read(bio.get(), text, static_cast<int>(pending));
  if (got != pending) {
    OPENSSL_cleanse(text, static_cast<size_t>(pending));
    free(text);
    return nullptr;
  }
  text[pending] = '\0';
  return text;
}

PkeyPtr MakeRsaKey() {
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  if (!ctx || EVP_PKEY_keygen_init(ctx.get()) <= 0) return nullptr;
  if (EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), kServiceKeyBits) <= 0) return nullptr;
  BnPtr e(BN_new());
  if (!e || BN_set_word(e.get(), kServiceKeyExponent) != 1) return nullptr;
  if (EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.get(), e.get()) <= 0) return nullptr;
  EVP_PKEY* key = nullptr;
  if (EVP_PKEY_generate(ctx.get(), &key) <= 0) return nullptr;
  return PkeyPtr(key);
}

// A pair made but not yet installed.
struct MadePair {
  PkeyPtr key;
  HeapText public_pem;
  SecretText private_pem;
};

// Makes a pair; false (and a trace line) when a step failed.
bool MakePair(MadePair* out) {
  out->key = MakeRsaKey();
  if (!out->key) {
    trace_log(kTraceProgress, "[%s]: RSA key generation failed; the previous key pair stays",
              kTagKeyGenerationFailed);
    return false;
  }
  out->public_pem.reset(WritePkcs1Pem(out->key.get(), OSSL_KEYMGMT_SELECT_PUBLIC_KEY));
  out->private_pem.reset(WritePkcs1Pem(out->key.get(), OSSL_KEYMGMT_SELECT_KEYPAIR));
  if (!out->public_pem || !out->private_pem) {
    trace_log(kTraceProgress, "[%s]: RSA key PEM writing failed; the previous key pair stays",
              kTagKeyPemFailed);
    return false;
  }
  return true;
}

void Install(MadePair* made) {
  const unsigned long serial = g_service_key_pair.serial;
  ReleaseServiceKeyPair();
  g_service_key_pair.rsa = made->key.release();
  g_service_key_pair.public_pem = made->public_pem.release();
  g_service_key_pair.private_pem = made->private_pem.release();
  g_service_key_pair.serial = serial + 1;
}

// The worker's hand-over. Made once and never freed: a worker may still run
// while the process ends.
struct Generation {
  std::mutex mutex;
  bool pending = false;  // started, result not yet taken
  bool done = false;     // the worker has finished; `made` and `ok` are set
  bool ok = false;
  MadePair made;
};

Generation& TheGeneration() {
  static Generation* g = new Generation;
  return *g;
}

}  // namespace

int GenerateRSAKeyPair() {
  MadePair made;
  if (!MakePair(&made)) return -1;
  Install(&made);
  return 0;
}

void ReleaseServiceKeyPair() {
  EVP_PKEY_free(g_service_key_pair.rsa);
  free(g_service_key_pair.public_pem);
  SecretTextFree()(g_service_key_pair.private_pem);
  g_service_key_pair = {nullptr, nullptr, nullptr, g_service_key_pair.serial};
}

int StartKeyGeneration(void (*ready)(void* arg), void* ready_arg) {
  Generation& g = TheGeneration();
  {
    std::lock_guard<std::mutex> lock(g.mutex);
    if (g.pending) return 0;
    g.pending = true;
    g.done = false;
  }
  auto work = [ready, ready_arg] {
    Generation& gen = TheGeneration();
    MadePair made;
    const bool ok = MakePair(&made);
    {
      std::lock_guard<std::mutex> lock(gen.mutex);
      gen.made = std::move(made);
      gen.ok = ok;
      gen.done = true;
    }
    if (ready != nullptr) ready(ready_arg);
  };
  // As for the device thread: a thread that cannot be started ends the
  // process (std::thread's failure is not caught anywhere).
  std::thread(work).detach();
  return 0;
}

int InstallGeneratedKeyPair() {
  Generation& g = TheGeneration();
  MadePair made;
  bool ok = false;
  {
    std::lock_guard<std::mutex> lock(g.mutex);
    if (!g.pending || !g.done) return 0;
    made = std::move(g.made);
    ok = g.ok;
    g.pending = g.done = false;
  }
  if (ok) Install(&made);
  return 1;
}

bool KeyGenerationPending() {
  Generation& g = TheGeneration();
  std::lock_guard<std::mutex> lock(g.mutex);
  return g.pending;
}

int RSADecrypt(const unsigned char* cipher, unsigned int len, unsigned char** plain,
               int* plain_len) {
  *plain = nullptr;
  *plain_len = -1;
  EVP_PKEY* key = g_service_key_pair.rsa;
  if (!key || !cipher || EVP_PKEY_get_size(key) > kPlainBlockBytes) return -1;
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
  if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) <= 0) return -1;
  if (EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_OAEP_PADDING) <= 0 ||
      EVP_PKEY_CTX_set_rsa_oaep_md(ctx.get(), EVP_sha1()) <= 0 ||
      EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), EVP_sha1()) <= 0) {
    return -1;
  }
  unsigned char* block = static_cast<unsigned char*>(malloc(kPlainBlockBytes));
  if (!block) return -1;
  size_t out_len = kPlainBlockBytes;
  if (EVP_PKEY_decrypt(ctx.get(), block, &out_len, cipher, len) <= 0) {
    FreeSessionKey(block);
    return -1;
  }
  *plain = block;
  *plain_len = static_cast<int>(out_len);
  return 0;
}

const char* SessionKeyFailureText(int reason) {
  switch (reason) {
    case kUnwrapOk:
      return "unwrapped";
    case kUnwrapNoKeyPair:
      return "the service has no key pair";
    case kUnwrapBadBase64:
      return "not Base64 or empty after decoding";
    case kUnwrapDecryptFailed:
      return "does not decrypt under the current private key (RSA-OAEP, SHA-1)";
    case kUnwrapTooShort:
      return "plaintext shorter than 32 bytes";
    case kUnwrapUnreadable:
      return "value too long or badly percent-encoded";
    case kUnwrapOutOfMemory:
      return "out of memory";
  }
  return "unknown";
}

unsigned char* UnwrapSessionKey(char* text, int* plain_len, int* reason) {
  *plain_len = -1;
  if (!g_service_key_pair.rsa) {
    *reason = kUnwrapNoKeyPair;
    return nullptr;
  }
  // As for templates, an unknown escape stays and ends the Base64 text.
  (void)FixPercentEscapes(text);
  int wrapped_len = 0;
  HeapBytes wrapped(Base64DecodeAlloc(text, &wrapped_len));
  if (!wrapped) {
    *reason = kUnwrapOutOfMemory;
    return nullptr;
  }
  if (wrapped_len == 0) {
    *reason = kUnwrapBadBase64;
    return nullptr;
  }
  unsigned char* plain = nullptr;
  if (RSADecrypt(wrapped.get(), static_cast<unsigned int>(wrapped_len), &plain, plain_len) != 0) {
    *reason = kUnwrapDecryptFailed;
    return nullptr;
  }
  if (*plain_len < kSessionKeyBytes) {
    FreeSessionKey(plain);
    *plain_len = -1;
    *reason = kUnwrapTooShort;
    return nullptr;
  }
  *reason = kUnwrapOk;
  return plain;
}

unsigned char* GetSessionKey(const http_message* hm, int* plain_len) {
  trace_log(kTraceEverything, "[%s]: Entered", kTagSessionKeyEntered);
  *plain_len = 0;
  char text[kSessionKeyParamBytes];
  int got = ReadFormParam(hm, "sessionkey", text, sizeof text);
  if (got == -1 || got == 0) return nullptr;  // no encryption asked for
  if (got < 0) {
    *plain_len = -1;
    trace_log(kTraceProgress, "[%s]: Session key refused: %s", kTagSessionKeyUnreadable,
              SessionKeyFailureText(kUnwrapUnreadable));
    return nullptr;
  }
  trace_log(kTraceEverything, "[%s]: SESSIONKEY PARAM SPECIFIED [%s]", kTagSessionKeyValue, text);
  int reason = kUnwrapOk;
  unsigned char* key = UnwrapSessionKey(text, plain_len, &reason);
  if (!key)
    trace_log(kTraceProgress, "[%s]: Session key refused: %s", kTagSessionKeyRefused,
              SessionKeyFailureText(reason));
  return key;
}

void FreeSessionKey(unsigned char* key) {
  if (!key) return;
  OPENSSL_cleanse(key, kPlainBlockBytes);
  free(key);
}
