// The capture reply built from a capture record: the template in the clear or
// under a session key at every padding edge, and records beyond their buffers.
// Member order and the images are checked end to end (tests/e2e_api).
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "api/api_error_codes.h"
#include "api/capture_endpoint.h"
#include "base/trace_log.h"
#include "codec/base64.h"
#include "device/fingerprint_device.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes FromBase64(const std::string& text) {
  Bytes out(b64_decoded_size(text.c_str()));
  out.resize(b64_decode(out.data(), text.c_str()));
  return out;
}

// The text of a string member, "null" for a null one, the digits of a number.
std::string Member(const std::string& json, const std::string& name) {
  size_t at = json.find(" \"" + name + "\": ");
  if (at == std::string::npos) return "<absent>";
  at += name.size() + 5;
  if (json[at] == '"') return json.substr(at + 1, json.find('"', at + 1) - at - 1);
  return json.substr(at, json.find_first_of(", }", at) - at);
}

struct RecordFree {
  void operator()(CaptureResult* r) const {
    ReleaseCaptureResult(r);
    free(r);
  }
};

std::unique_ptr<CaptureResult, RecordFree> MakeRecord(unsigned w, unsigned h,
                                                      unsigned template_size) {
  auto* r = static_cast<CaptureResult*>(calloc(1, sizeof(CaptureResult)));
  r->manufacturer = "Kestrav";
  strcpy(r->serial_number, "SN0123456789ABCD");
  r->image_width = w;
  r->image_height = h;
  r->image_dpi = 500;
  r->image_quality = 77;
  r->nfiq = 2;
  for (unsigned i = 0; i < w * h; ++i)
    r->image_data[i] = static_cast<unsigned char>(i * 31 + i / w);
  for (unsigned i = 0; i < template_size; ++i)
    r->template_data[i] = static_cast<unsigned char>(i ^ 0x5A);
  r->template_size = template_size;
  return std::unique_ptr<CaptureResult, RecordFree>(r);
}

std::string Build(const CaptureResult* r, const CaptureReplyOptions& o, int* code) {
  JsonReply reply;
  *code = BuildCaptureJson(r, &o, &reply);
  return *code == 0 ? std::string(JsonText(&reply)) : "";
}

Bytes DecryptAes256Ecb(const Bytes& cipher, const unsigned char* key) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  Bytes out(cipher.size() + 16);
  int n1 = 0, n2 = 0;
  bool ok = EVP_DecryptInit_ex(ctx, EVP_aes_256_ecb(), nullptr, key, nullptr) == 1 &&
            EVP_DecryptUpdate(ctx, out.data(), &n1, cipher.data(),
                              static_cast<int>(cipher.size())) == 1 &&
            EVP_DecryptFinal_ex(ctx, out.data() + n1, &n2) == 1;
  EVP_CIPHER_CTX_free(ctx);
  if (!ok) return {};
  out.resize(static_cast<size_t>(n1 + n2));
  return out;
}

TEST(CaptureReply, SessionKeyEncryptsOnlyTheTemplate) {
  unsigned char key[32];
  for (int i = 0; i < 32; ++i) key[i] = static_cast<unsigned char>(200 - i);
  for (unsigned size : {0u, 1u, 15u, 16u, 17u, 400u, 1600u}) {
    auto r = MakeRecord(258, 336, size);
    int code = -1;
    std::string plain = Build(r.get(), {"KLM06X", 1, 0.0f, 1, nullptr}, &code);
    std::string sealed = Build(r.get(), {"KLM06X", 1, 0.0f, 1, key}, &code);
    ASSERT_EQ(code, 0);
    Bytes cipher = FromBase64(Member(sealed, "TemplateBase64"));
    EXPECT_EQ(cipher.size() % 16, 0u) << size;
    EXPECT_GE(cipher.size(), size + 1) << size;
    EXPECT_LE(cipher.size(), size + 16) << size;
    EXPECT_EQ(DecryptAes256Ecb(cipher, key), Bytes(r->template_data, r->template_data + size))
        << size;
    EXPECT_EQ(FromBase64(Member(plain, "TemplateBase64")),
              Bytes(r->template_data, r->template_data + size));
    EXPECT_EQ(Member(sealed, "ISOTemplateBase64"), Member(sealed, "TemplateBase64"));
    EXPECT_EQ(Member(sealed, "BMPBase64"), Member(plain, "BMPBase64"));
    EXPECT_EQ(Member(sealed, "ImageDataBase64"), Member(plain, "ImageDataBase64"));
  }
}

TEST(CaptureReply, RecordBeyondItsBuffersIsRefused) {
  auto r = MakeRecord(10, 10, 10);
  int code = 0;
  r->template_size = kTemplateDataBytes + 1;
  EXPECT_EQ(Build(r.get(), {"NX51", 0, 0.0f, 1, nullptr}, &code), "");
  EXPECT_EQ(code, VRFPM_ERR_TEMPLATE_TOO_LARGE);
  r->template_size = 10;
  r->image_width = 1000;
  r->image_height = 351;
  Build(r.get(), {"NX51", 0, 0.0f, 1, nullptr}, &code);
  EXPECT_EQ(code, VRFPM_ERR_IMAGE_TOO_LARGE);
}

// The escaping itself is the builder's (tests/api/reply_format_test.cpp).
TEST(CaptureReply, TextFieldsAreJsonEscaped) {
  auto r = MakeRecord(4, 4, 4);
  strcpy(r->serial_number, "S\"1");
  int code = -1;
  std::string json = Build(r.get(), {"N\"X", 0, 0.0f, 2, nullptr}, &code);
  EXPECT_NE(json.find("\"Model\": \"N\\\"X\","), std::string::npos);
  EXPECT_NE(json.find("\"SerialNumber\": \"S\\\"1\","), std::string::npos);
}

// Builds a reply with the trace on at level and returns what was traced.
std::string BuildTraced(int level, const CaptureResult* r, const CaptureReplyOptions& o,
                        int* code) {
  char path[] = "/tmp/kv_capture_trace_XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) return "<no trace file>";
  close(fd);
  TraceLogConfigure(level, path);
  Build(r, o, code);
  TraceLogConfigure(0, "");
  std::string text;
  if (FILE* f = fopen(path, "r")) {
    char chunk[256];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, n);
    fclose(f);
  }
  unlink(path);
  return text;
}

// The cipher traces nothing; the reply builder writes the encryption's
// length line under the cipher's name, right after "Session Key passed".
TEST(CaptureReply, EncryptionWritesLengthsLine) {
  unsigned char key[32] = {5};
  auto r = MakeRecord(8, 8, 400);
  int code = -1;
  std::string text = BuildTraced(99, r.get(), {"NX51", 0, 0.0f, 1, key}, &code);
  ASSERT_EQ(code, 0);
  EXPECT_NE(text.find("[ravavade:408]: Session Key passed\n"
                      "[EncryptAES256]: In Len[400]; Output Length [416]\n"),
            std::string::npos)
      << text;
}

// Each entry follows the step it names: "BMP DATA" once the BMP member is
// in, before the WSQ members.
TEST(CaptureReply, EntriesFollowTheirSteps) {
  auto r = MakeRecord(8, 8, 20);
  int code = -1;
  std::string text = BuildTraced(1, r.get(), {"NX51", 0, 0.75f, 1, nullptr}, &code);
  ASSERT_EQ(code, 0);
  std::string tags;
  for (size_t at = 0; (at = text.find("[ravavade:", at)) != std::string::npos; at += 14) {
    tags += text.substr(at + 10, 3) + " ";
  }
  EXPECT_EQ(tags, "413 418 433 460 478 468 488 ") << text;
}

}  // namespace
