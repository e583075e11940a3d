// Certificate check over real certificate files made with OpenSSL in a
// temporary directory.
#include "host/certificate_check.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <ctime>
#include <string>

#include "tests/temp_dir.h"

namespace {

constexpr long kDay = 86400;

// A self-signed certificate whose notAfter lies expires_in seconds from now.
std::string MakeCertificatePem(long expires_in) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), -400 * kDay);
  X509_gmtime_adj(X509_getm_notAfter(cert), expires_in);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
  X509_set_issuer_name(cert, name);
  X509_set_pubkey(cert, key);
  X509_sign(cert, key, EVP_sha256());
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(bio, cert);
  char* data = nullptr;
  long len = BIO_get_mem_data(bio, &data);
  std::string pem(data, static_cast<size_t>(len));
  BIO_free(bio);
  X509_free(cert);
  EVP_PKEY_free(key);
  return pem;
}

std::string MakeKeyPem() {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
  char* data = nullptr;
  long len = BIO_get_mem_data(bio, &data);
  std::string pem(data, static_cast<size_t>(len));
  BIO_free(bio);
  EVP_PKEY_free(key);
  return pem;
}

class CertificateCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CertStateReset();
    ASSERT_FALSE(temp_.path().empty());
    dir_ = temp_.path();
    path_ = temp_.File("server.pem");
  }
  void TearDown() override { CertStateReset(); }
  void WriteFile(const std::string& content) {
    FILE* f = fopen(path_.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fwrite(content.data(), 1, content.size(), f);
    fclose(f);
  }
  CertState State() {
    CertState s;
    CertStateSnapshot(&s);
    return s;
  }
  testutil::TempDir temp_{"kv-cert-"};
  std::string dir_;
  std::string path_;
};

TEST(FindCertificateMarker, FindsFirstWholeMarker) {
  struct Case {
    std::string data;
    bool found;
    size_t offset;
    const char* why;
  } cases[] = {
      {"-----BEGIN CERTIFICATE-----\nMII", true, 0, "at the start"},
      {"key\n-----BEGIN CERTIFICATE-----", true, 4, "after other text, ending the data"},
      {"-----BEGIN CERTIFICATE----", false, 0, "one dash short at the end of the data"},
      {"-----begin certificate-----", false, 0, "case matters"},
      {"-----BEGIN CERTIFICATE-----x-----BEGIN CERTIFICATE-----", true, 0, "first of two"},
      {std::string("ab\0-----BEGIN CERTIFICATE-----", 30), true, 3, "after a NUL byte"},
      {"", false, 0, "empty data"},
  };
  for (const Case& c : cases) {
    size_t offset = 99;
    EXPECT_EQ(FindCertificateMarker(c.data.data(), c.data.size(), &offset), c.found) << c.why;
    if (c.found) {
      EXPECT_EQ(offset, c.offset) << c.why;
    }
  }
  // The search never looks past the length it was given.
  const char text[] = "-----BEGIN CERTIFICATE-----";
  EXPECT_FALSE(FindCertificateMarker(text, sizeof text - 2, nullptr));
}

TEST_F(CertificateCheckTest, ExpiryGivesStateAndMessage) {
  struct Case {
    long expires_in;
    int state;
    const char* message;
  } cases[] = {
      {100 * kDay, kCertStateOk, ""},
      {91 * kDay, kCertStateOk, ""},
      {89 * kDay, kCertStateExpires90, "SSL Certificate expires in less than 90 days"},
      {60 * kDay, kCertStateExpires90, "SSL Certificate expires in less than 90 days"},
      {31 * kDay, kCertStateExpires90, "SSL Certificate expires in less than 90 days"},
      {29 * kDay, kCertStateExpires30, "SSL Certificate expires in less than 30 days"},
      {10 * kDay, kCertStateExpires30, "SSL Certificate expires in less than 30 days"},
      {-kDay, kCertStateExpires30, "SSL Certificate expires in less than 30 days"},
  };
  for (const Case& c : cases) {
    CertStateReset();
    WriteFile(MakeCertificatePem(c.expires_in));
    EXPECT_EQ(CheckCertificateFile(path_.c_str(), time(nullptr)), 0) << c.expires_in;
    EXPECT_EQ(State().state, c.state) << c.expires_in;
    EXPECT_STREQ(State().message, c.message) << c.expires_in;
  }
}

TEST_F(CertificateCheckTest, CertificateAfterPrivateKeyIsStillChecked) {
  WriteFile(MakeKeyPem() + "some words\n" + MakeCertificatePem(20 * kDay));
  EXPECT_EQ(CheckCertificateFile(path_.c_str(), time(nullptr)), 0);
  EXPECT_EQ(State().state, kCertStateExpires30);
}

TEST_F(CertificateCheckTest, FilesWithoutUsableCertificateRecordNothing) {
  std::string pem = MakeCertificatePem(5 * kDay);
  const std::string contents[] = {
      MakeKeyPem(),                                        // no marker
      "-----BEGIN CERTIFICATE-----\nnot base64 at all\n",  // marker, no certificate
      pem.substr(0, pem.size() / 2),                       // cut in the middle
      std::string("\0\0\0", 3),                            // bytes, but no text
  };
  for (const std::string& content : contents) {
    CertStateReset();
    WriteFile(content);
    EXPECT_EQ(CheckCertificateFile(path_.c_str(), time(nullptr)), 0);
    EXPECT_EQ(State().state, kCertStateOk);
    EXPECT_STREQ(State().message, "");
  }
}

TEST_F(CertificateCheckTest, MissingAndEmptyFilesAreUnreadable) {
  EXPECT_EQ(CheckCertificateFile(path_.c_str(), time(nullptr)), -1);
  EXPECT_EQ(State().state, kCertStateUnreadable);
  EXPECT_STREQ(State().message, "Failure to open SERVER.PEM");

  CertStateReset();
  WriteFile("");
  EXPECT_EQ(CheckCertificateFile(path_.c_str(), time(nullptr)), -1);
  EXPECT_EQ(State().state, kCertStateUnreadable);
  EXPECT_STREQ(State().message, "FRead failure to read file");

  // A directory opens on POSIX, reports a nonsense size and reads nothing.
  CertStateReset();
  EXPECT_EQ(CheckCertificateFile(dir_.c_str(), time(nullptr)), -1);
  EXPECT_EQ(State().state, kCertStateUnreadable);
}

TEST_F(CertificateCheckTest, StateNeverFallsUntilReset) {
  WriteFile(MakeCertificatePem(10 * kDay));
  (void)CheckCertificateFile(path_.c_str(), time(nullptr));
  ASSERT_EQ(State().state, kCertStateExpires30);

  // A renewed certificate is read but changes nothing.
  WriteFile(MakeCertificatePem(365 * kDay));
  EXPECT_EQ(CheckCertificateFile(path_.c_str(), time(nullptr)), 0);
  EXPECT_EQ(State().state, kCertStateExpires30);
  EXPECT_STREQ(State().message, "SSL Certificate expires in less than 30 days");

  // Neither does a lesser finding, nor a file that went missing.
  WriteFile(MakeCertificatePem(60 * kDay));
  (void)CheckCertificateFile(path_.c_str(), time(nullptr));
  remove(path_.c_str());
  (void)CheckCertificateFile(path_.c_str(), time(nullptr));
  EXPECT_EQ(State().state, kCertStateExpires30);
  EXPECT_STREQ(State().message, "SSL Certificate expires in less than 30 days");
}

TEST_F(CertificateCheckTest, UnreadableRisesToExpiryFinding) {
  (void)CheckCertificateFile(path_.c_str(), time(nullptr));
  ASSERT_EQ(State().state, kCertStateUnreadable);
  WriteFile(MakeCertificatePem(60 * kDay));
  (void)CheckCertificateFile(path_.c_str(), time(nullptr));
  EXPECT_EQ(State().state, kCertStateExpires90);
  EXPECT_STREQ(State().message, "SSL Certificate expires in less than 90 days");
}

TEST(CertFinding, LongMessageIsCutToTheField) {
  CertStateReset();
  std::string longer(300, 'm');
  RecordCertFinding(kCertStateUnreadable, longer.c_str());
  CertState s;
  CertStateSnapshot(&s);
  EXPECT_EQ(std::string(s.message), std::string(kCertMessageBytes - 1, 'm'));
  CertStateReset();
}

TEST(CheckServerCertificate, LooksBesideTheExecutable) {
  // The test program's directory holds no server.pem.
  CertStateReset();
  EXPECT_EQ(CheckServerCertificate(), -1);
  CertState s;
  CertStateSnapshot(&s);
  EXPECT_EQ(s.state, kCertStateUnreadable);
  EXPECT_STREQ(s.message, "Failure to open SERVER.PEM");
  CertStateReset();
}

}  // namespace
