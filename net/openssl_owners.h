// Owners for the OpenSSL objects the service creates outside a connection
// (keys, BIOs, certificates, times, encoder contexts): each frees its object
// with the matching OpenSSL call on every path out. A connection's SSL and
// SSL_CTX stay plain pointers, owned by the connection record.
#pragma once

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/encoder.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>

struct BioFree {
  void operator()(BIO* p) const { BIO_free(p); }
};
struct PkeyFree {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};
struct BnFree {
  void operator()(BIGNUM* p) const { BN_free(p); }
};
struct X509Free {
  void operator()(X509* p) const { X509_free(p); }
};
struct Asn1TimeFree {
  void operator()(ASN1_TIME* p) const { ASN1_TIME_free(p); }
};
struct EncoderCtxFree {
  void operator()(OSSL_ENCODER_CTX* p) const { OSSL_ENCODER_CTX_free(p); }
};

using BioPtr = std::unique_ptr<BIO, BioFree>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;
using BnPtr = std::unique_ptr<BIGNUM, BnFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;
using Asn1TimePtr = std::unique_ptr<ASN1_TIME, Asn1TimeFree>;
using EncoderCtxPtr = std::unique_ptr<OSSL_ENCODER_CTX, EncoderCtxFree>;
