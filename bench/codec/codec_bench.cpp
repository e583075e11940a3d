// Throughput of the codecs on a capture-sized payload (120,000 bytes, about a
// raw fingerprint image), with OpenSSL's routines on the same input beside
// them as a yardstick.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <stdlib.h>

#include <memory>
#include <random>
#include <string_view>
#include <vector>

#include "codec/aes256.h"
#include "codec/base64.h"
#include "codec/sha1.h"

namespace {

constexpr size_t kPayloadBytes = 120000;

const std::vector<unsigned char>& Payload() {
  static const std::vector<unsigned char> payload = [] {
    std::vector<unsigned char> p(kPayloadBytes);
    std::mt19937 rng(42);
    for (auto& b : p) b = static_cast<unsigned char>(rng());
    return p;
  }();
  return payload;
}

const unsigned char kKey[kAesKeyBytes] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11,
                                          12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22,
                                          23, 24, 25, 26, 27, 28, 29, 30, 31, 32};

std::vector<char> EncodedPayload() {
  const auto& in = Payload();
  std::vector<char> text(b64_encoded_size(in.size()));
  b64_encode(text.data(), in.data(), in.size());
  return text;
}

void BM_Base64Encode(benchmark::State& state) {
  const auto& in = Payload();
  std::vector<char> out(b64_encoded_size(in.size()));
  for (auto _ : state) {
    benchmark::DoNotOptimize(b64_encode(out.data(), in.data(), in.size()));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}
BENCHMARK(BM_Base64Encode);

void BM_OpenSslEncodeBlock(benchmark::State& state) {
  const auto& in = Payload();
  std::vector<unsigned char> out(b64_encoded_size(in.size()));
  for (auto _ : state) {
    benchmark::DoNotOptimize(EVP_EncodeBlock(out.data(), in.data(), static_cast<int>(in.size())));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}
BENCHMARK(BM_OpenSslEncodeBlock);

// Bytes counted are the decoded bytes, so the figure compares with encoding.
void BM_Base64Decode(benchmark::State& state) {
  const std::vector<char> text = EncodedPayload();
  std::vector<unsigned char> out(b64_decoded_size(text.data()));
  for (auto _ : state) {
    benchmark::DoNotOptimize(b64_decode(out.data(), text.data()));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kPayloadBytes));
}
BENCHMARK(BM_Base64Decode);

void BM_OpenSslDecodeBlock(benchmark::State& state) {
  const std::vector<char> text = EncodedPayload();
  std::vector<unsigned char> out(text.size());
  const int text_len = static_cast<int>(text.size() - 1);
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()), text_len));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kPayloadBytes));
}
BENCHMARK(BM_OpenSslDecodeBlock);

void BM_EncryptAES256(benchmark::State& state) {
  const auto& in = Payload();
  for (auto _ : state) {
    int out_len = 0;
    unsigned char* out = EncryptAES256(in.data(), static_cast<int32_t>(in.size()), kKey, &out_len);
    benchmark::DoNotOptimize(out);
    free(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}
BENCHMARK(BM_EncryptAES256)->Unit(benchmark::kMillisecond);

// A template-sized payload, the size the service actually encrypts.
void BM_EncryptAES256Template(benchmark::State& state) {
  const auto& in = Payload();
  for (auto _ : state) {
    int out_len = 0;
    unsigned char* out = EncryptAES256(in.data(), 400, kKey, &out_len);
    benchmark::DoNotOptimize(out);
    free(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * 400));
}
BENCHMARK(BM_EncryptAES256Template)->Unit(benchmark::kMicrosecond);

struct CipherCtxDeleter {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};

void BM_OpenSslAes256Ecb(benchmark::State& state) {
  const auto& in = Payload();
  std::vector<unsigned char> out(in.size() + kAesBlockBytes);
  std::unique_ptr<EVP_CIPHER_CTX, CipherCtxDeleter> ctx(EVP_CIPHER_CTX_new());
  for (auto _ : state) {
    int n1 = 0, n2 = 0;
    if (EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_ecb(), nullptr, kKey, nullptr) != 1 ||
        EVP_EncryptUpdate(ctx.get(), out.data(), &n1, in.data(), static_cast<int>(in.size())) !=
            1 ||
        EVP_EncryptFinal_ex(ctx.get(), out.data() + n1, &n2) != 1) {
      state.SkipWithError("OpenSSL aes-256-ecb failed");
      break;
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}
BENCHMARK(BM_OpenSslAes256Ecb);

void BM_Sha1(benchmark::State& state) {
  const auto& in = Payload();
  unsigned char digest[kSha1DigestBytes];
  for (auto _ : state) {
    if (Sha1Digest(std::string_view(reinterpret_cast<const char*>(in.data()), in.size()), digest) !=
        0) {
      state.SkipWithError("SHA-1 failed");
    }
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}
BENCHMARK(BM_Sha1);

}  // namespace

BENCHMARK_MAIN();
