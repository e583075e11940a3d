// TLS on a listener: set-up errors, the server-side handshake with real
// OpenSSL clients (in-process and openssl s_client), the DH group in use and
// writes that must be retried over a moved buffer.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "net/dh_params.h"
#include "net/socket_io.h"
#include "net_test_util.h"
#include "tests/temp_dir.h"

using namespace nettest;

namespace {

std::string Pattern(size_t n, char base) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++) s[i] = static_cast<char>(base + (i * 13 + i / 4093) % 26);
  return s;
}

std::string PrimeHex(EVP_PKEY* pkey) {
  BIGNUM* p = nullptr;
  if (pkey == nullptr || EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_FFC_P, &p) != 1) return "";
  char* hex = BN_bn2hex(p);
  std::string out = hex;
  OPENSSL_free(hex);
  BN_free(p);
  return out;
}

std::string PrimeOfPem(const char* pem) {
  BIO* bio = BIO_new_mem_buf(pem, -1);
  EVP_PKEY* params = PEM_read_bio_Parameters(bio, nullptr);
  std::string hex = PrimeHex(params);
  EVP_PKEY_free(params);
  BIO_free(bio);
  return hex;
}

// Test certificates, made once: a self-signed RSA certificate with its key,
// the same with a DH group of its own, a certificate without key and junk.
class TlsFiles {
 public:
  static TlsFiles& Get() {
    static TlsFiles files;
    return files;
  }
  testutil::TempDir temp{"kv-net-tls-"};
  std::string dir, plain, with_dh, cert_only, junk, own_dh_pem;

 private:
  TlsFiles() {
    dir = temp.path();
    plain = temp.File("server.pem");
    with_dh = temp.File("server-dh.pem");
    cert_only = temp.File("cert-only.pem");
    junk = temp.File("junk.pem");

    EVP_PKEY* key = EVP_RSA_gen(2048);
    X509* x = X509_new();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
    X509_gmtime_adj(X509_getm_notBefore(x), 0);
    X509_gmtime_adj(X509_getm_notAfter(x), 3600L * 24);
    X509_set_pubkey(x, key);
    X509_NAME* name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
    X509_set_issuer_name(x, name);
    X509_sign(x, key, EVP_sha256());

    EVP_PKEY_CTX* pctx = EVP_PKEY_CTX_new_from_name(nullptr, "DH", nullptr);
    EVP_PKEY* dh = nullptr;
    EVP_PKEY_paramgen_init(pctx);
    EVP_PKEY_CTX_set_group_name(pctx, "ffdhe2048");
    EVP_PKEY_paramgen(pctx, &dh);
    EVP_PKEY_CTX_free(pctx);
    BIO* mem = BIO_new(BIO_s_mem());
    PEM_write_bio_Parameters(mem, dh);
    char* data = nullptr;
    long len = BIO_get_mem_data(mem, &data);
    own_dh_pem.assign(data, static_cast<size_t>(len));
    BIO_free(mem);

    Write(plain, x, key, nullptr);
    Write(with_dh, x, key, dh);
    Write(cert_only, x, nullptr, nullptr);
    FILE* f = fopen(junk.c_str(), "w");
    fputs("-----BEGIN CERTIFICATE-----\nnot base64 at all\n-----END CERTIFICATE-----\n", f);
    fclose(f);
    EVP_PKEY_free(dh);
    X509_free(x);
    EVP_PKEY_free(key);
  }
  static void Write(const std::string& path, X509* x, EVP_PKEY* key, EVP_PKEY* dh) {
    FILE* f = fopen(path.c_str(), "w");
    PEM_write_X509(f, x);
    if (key != nullptr) PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr);
    if (dh != nullptr) {
      BIO* b = BIO_new_fp(f, BIO_NOCLOSE);
      PEM_write_bio_Parameters(b, dh);
      BIO_free(b);
    }
    fclose(f);
  }
};

TEST(TlsSetup, CertificateAndCaErrors) {
  const TlsFiles& files = TlsFiles::Get();
  struct Case {
    std::string cert;
    std::string ca;
    const char* error;
    const char* why;
  };
  const Case cases[] = {
      {files.plain, "", nullptr, "certificate with key"},
      {files.with_dh, "", nullptr, "certificate with key and DH group"},
      {"", "", nullptr, "no certificate: nothing loaded"},
      {files.temp.File("missing.pem"), "", "Invalid ssl cert", "missing file"},
      {files.junk, "", "Invalid ssl cert", "broken file"},
      {files.cert_only, "", "Invalid ssl cert", "certificate without key"},
      {files.plain, files.temp.File("missing-ca.pem"), "Invalid CA cert", "missing CA file"},
      {files.plain, files.plain, nullptr, "CA file accepted"},
  };
  for (const Case& c : cases) {
    Manager m;
    ns_conn* listener = ns_bind(&m.mgr, "127.0.0.1:0", nullptr);
    ASSERT_NE(listener, nullptr);
    const char* err = ns_set_ssl(listener, c.cert.empty() ? nullptr : c.cert.c_str(),
                                 c.ca.empty() ? nullptr : c.ca.c_str());
    if (c.error == nullptr) {
      EXPECT_EQ(err, nullptr) << c.why << ": " << err;
    } else {
      EXPECT_STREQ(err, c.error) << c.why;
    }
    EXPECT_NE(listener->ssl_ctx, nullptr) << "the context stays attached";
    EXPECT_EQ(ERR_peek_error(), 0u) << "no stale errors for later handshakes: " << c.why;
  }
  EXPECT_EQ(ns_use_cert(nullptr, files.plain.c_str()), -1);
  EXPECT_EQ(ns_use_ca_cert(nullptr, files.plain.c_str()), -1);
}

struct ClientOptions {
  const char* cipher = nullptr;  // TLS 1.2 only with this cipher
  int max_version = 0;           // with cipher: this protocol at most, no floor
  std::string send;
  size_t expect = 0;
  int rcvbuf = 0;
  std::atomic<bool>* before_handshake = nullptr;  // wait for it after connecting
  std::atomic<bool>* before_read = nullptr;       // wait for it before reading
  std::atomic<bool>* before_send = nullptr;       // wait for it after the handshake
};

struct ClientResult {
  bool handshake = false;
  std::string got;
  std::string dh_prime;
  uint16_t local_port = 0;
};

void WaitFor(std::atomic<bool>* flag) {
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (flag != nullptr && !flag->load() && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

// A blocking OpenSSL client; runs on its own thread while the test polls.
ClientResult RunClient(uint16_t port, const ClientOptions& o) {
  ClientResult r;
  sock_t fd = PlatformSocketOpen(AF_INET, SOCK_STREAM, 0);
  if (fd == kInvalidSocket) return r;
  if (o.rcvbuf > 0) (void)PlatformSocketSetIntOption(fd, SOL_SOCKET, SO_RCVBUF, o.rcvbuf);
  // A server that stalls fails the test instead of hanging it.
  (void)PlatformSocketSetReceiveTimeout(fd, 15000);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (PlatformSocketConnect(fd, &sa) != 0) {
    PlatformSocketClose(fd);
    return r;
  }
  PlatformSocketLocalAddress(fd, &sa);
  r.local_port = ntohs(sa.sin_port);
  WaitFor(o.before_handshake);

  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  if (o.cipher != nullptr) {
    SSL_CTX_set_max_proto_version(ctx, o.max_version != 0 ? o.max_version : TLS1_2_VERSION);
    SSL_CTX_set_cipher_list(ctx, o.cipher);
    if (o.max_version != 0) {
      // Offer what the system's configuration would hold back.
      SSL_CTX_set_min_proto_version(ctx, TLS1_VERSION);
      SSL_CTX_set_security_level(ctx, 0);
    }
  }
  SSL* ssl = SSL_new(ctx);
  SSL_set_fd(ssl, static_cast<int>(fd));
  if (SSL_connect(ssl) == 1) {
    r.handshake = true;
    EVP_PKEY* tmp = nullptr;
    if (SSL_get_peer_tmp_key(ssl, &tmp) == 1) {
      r.dh_prime = PrimeHex(tmp);
      EVP_PKEY_free(tmp);
    }
    WaitFor(o.before_send);
    if (!o.send.empty()) SSL_write(ssl, o.send.data(), static_cast<int>(o.send.size()));
    WaitFor(o.before_read);
    char buf[16384];
    while (r.got.size() < o.expect) {
      int n = SSL_read(ssl, buf, sizeof buf);
      if (n <= 0) break;
      r.got.append(buf, static_cast<size_t>(n));
    }
    SSL_shutdown(ssl);
  }
  SSL_free(ssl);
  SSL_CTX_free(ctx);
  PlatformSocketClose(fd);
  return r;
}

// A TLS echo listener on loopback with the given certificate file.
struct TlsServer {
  Recorder rec;  // outlives the manager, whose shutdown raises events
  Manager m;
  ns_conn* listener = nullptr;
  explicit TlsServer(const std::string& cert) {
    rec.echo = true;
    ns_bind_opts opts{&rec, 0, nullptr};
    listener = ns_bind_opt(&m.mgr, "127.0.0.1:0", AcceptRecorder, opts);
    EXPECT_EQ(ns_set_ssl(listener, cert.c_str(), nullptr), nullptr);
  }
  static inline sockaddr_in accept_peer{};
  static inline bool close_on_recv = false;
  static void AcceptRecorder(ns_conn* nc, int ev, void* ev_data) {
    if (ev == NS_EV_ACCEPT) accept_peer = *static_cast<sockaddr_in*>(ev_data);
    RecordingHandler(nc, ev, ev_data);
    if (ev == NS_EV_RECV && close_on_recv) nc->flags |= NCF_CLOSE_IMMEDIATELY;
  }
  // Runs the client on a thread and polls until it is done.
  ClientResult Run(const ClientOptions& o) {
    std::atomic<bool> done{false};
    ClientResult r;
    std::thread t([&] {
      r = RunClient(PortOf(listener), o);
      done = true;
    });
    PollUntil(
        &m.mgr, [&] { return done.load(); }, 3000);
    t.join();
    return r;
  }
};

TEST(TlsHandshake, AcceptIsRaisedOnlyOnceTheHandshakeCompletes) {
  TlsServer s(TlsFiles::Get().plain);
  std::atomic<bool> go{false};
  std::atomic<bool> done{false};
  ClientOptions o;
  o.send = "secret words";
  o.expect = o.send.size();
  o.before_handshake = &go;
  ClientResult r;
  std::thread t([&] {
    r = RunClient(PortOf(s.listener), o);
    done = true;
  });
  // The TCP connection is accepted, but no NS_EV_ACCEPT yet.
  ASSERT_TRUE(PollUntil(&s.m.mgr, [&] { return s.m.mgr.connections != s.listener; }));
  for (int i = 0; i < 10; i++) ns_mgr_poll(&s.m.mgr, 5);
  ns_conn* nc = s.m.mgr.connections;
  EXPECT_EQ(s.rec.Count(NS_EV_ACCEPT), 0);
  EXPECT_NE(nc->ssl, nullptr);
  EXPECT_EQ(nc->flags & NCF_SSL_HANDSHAKE_DONE, 0u);
  go = true;
  PollUntil(
      &s.m.mgr, [&] { return done.load(); }, 3000);
  t.join();
  ASSERT_TRUE(r.handshake);
  EXPECT_EQ(r.got, o.send);
  EXPECT_EQ(s.rec.Count(NS_EV_ACCEPT), 1);
  EXPECT_EQ(ntohs(TlsServer::accept_peer.sin_port), r.local_port) << "event data is the peer";
}

TEST(TlsHandshake, DheOnlyClientGetsTheBuiltInGroupUnlessTheFileHasItsOwn) {
  const TlsFiles& files = TlsFiles::Get();
  const std::string builtin = PrimeOfPem(NS_DEFAULT_DH_PARAMS);
  const std::string own = PrimeOfPem(files.own_dh_pem.c_str());
  ASSERT_EQ(builtin.size(), 512u) << "2048-bit prime";
  ASSERT_NE(builtin, own);
  struct Case {
    std::string cert;
    std::string prime;
  };
  for (const Case& c : {Case{files.plain, builtin}, Case{files.with_dh, own}}) {
    TlsServer s(c.cert);
    ClientOptions o;
    o.cipher = "DHE-RSA-AES128-GCM-SHA256";
    o.send = "dhe";
    o.expect = 3;
    ClientResult r = s.Run(o);
    ASSERT_TRUE(r.handshake) << c.cert;
    EXPECT_EQ(r.got, "dhe");
    EXPECT_EQ(r.dh_prime, c.prime) << c.cert;
  }
}

// Only key exchanges with forward secrecy, from TLS 1.2 on: a recorded
// session must not open up once the server's key leaks.
TEST(TlsHandshake, StaticRsaKeyExchangeAndOldProtocolsAreRefused) {
  struct Row {
    const char* cipher;
    int max_version;
    bool handshake;
    const char* why;
  };
  const Row rows[] = {
      {"AES128-GCM-SHA256", 0, false, "static RSA key exchange"},
      {"AES256-SHA256", 0, false, "static RSA key exchange"},
      {"AES128-SHA", 0, false, "static RSA key exchange"},
      {"CAMELLIA128-SHA", 0, false, "static RSA key exchange"},
      {"ECDHE-RSA-AES128-SHA@SECLEVEL=0", TLS1_1_VERSION, false, "TLS 1.1"},
      {"ECDHE-RSA-AES128-SHA@SECLEVEL=0", TLS1_VERSION, false, "TLS 1.0"},
      {"ECDHE-RSA-AES256-GCM-SHA384", 0, true, "ECDHE stays"},
      {"DHE-RSA-AES128-SHA256", 0, true, "DHE stays"},
  };
  for (const Row& r : rows) {
    TlsServer s(TlsFiles::Get().plain);
    ClientOptions o;
    o.cipher = r.cipher;
    o.max_version = r.max_version;
    o.send = "x";
    o.expect = r.handshake ? 1 : 0;
    EXPECT_EQ(s.Run(o).handshake, r.handshake) << r.cipher << ": " << r.why;
  }
}

TEST(TlsHandshake, GarbageInsteadOfAHandshakeClosesTheConnection) {
  TlsServer s(TlsFiles::Get().plain);
  sock_t fd = ConnectClient(PortOf(s.listener));
  ASSERT_TRUE(SendAll(fd, "GET / HTTP/1.1\r\nHost: x\r\n\r\n"));
  ASSERT_TRUE(PollUntil(&s.m.mgr, [&] { return s.rec.Count(NS_EV_CLOSE) == 1; }));
  EXPECT_EQ(s.rec.Count(NS_EV_ACCEPT), 0);
  EXPECT_EQ(s.m.mgr.connections, s.listener);
  PlatformSocketClose(fd);
}

// A connection marked for closing is read no further, also over TLS.
TEST(TlsRead, HandlerThatClosesOnReceiveStopsTheReadLoop) {
  TlsServer s(TlsFiles::Get().plain);
  s.rec.echo = false;
  TlsServer::close_on_recv = true;
  ClientOptions o;
  o.send = Pattern(5000, 'c');
  ClientResult r = s.Run(o);
  // The client may be done before the server has read a byte.
  const bool closed = PollUntil(&s.m.mgr, [&] { return s.rec.Count(NS_EV_CLOSE) == 1; });
  TlsServer::close_on_recv = false;
  ASSERT_TRUE(r.handshake);
  ASSERT_TRUE(closed);
  EXPECT_EQ(s.rec.Counts(NS_EV_RECV), (std::vector<int>{2048}));
}

// The read path stops after kReadChunksPerPass chunks, and one TLS record
// holds up to 16 kB: the rest of a record sits in the TLS library, where
// select() cannot see it, and must still be read without the peer sending
// anything more.
TEST(TlsRead, RecordHeldByTheLibraryIsReadWithoutFurtherBytes) {
  TlsServer s(TlsFiles::Get().plain);
  ClientOptions o;
  o.send = Pattern(16384, 'r');  // one record
  o.expect = o.send.size();
  ClientResult r = s.Run(o);
  ASSERT_TRUE(r.handshake);
  EXPECT_TRUE(r.got == o.send) << r.got.size() << " of " << o.send.size() << " bytes echoed";
}

// A TLS read that has to write (to answer a key update, for instance) into a
// full socket buffer leaves NCF_SSL_WANT_WRITE set with nothing queued. The
// flag takes the socket out of the read set, so it must be watched for
// writing, or the connection never moves again.
TEST(TlsRead, ReadThatMustWriteWithNothingQueuedIsRetriedOnceWritable) {
  TlsServer s(TlsFiles::Get().plain);
  std::atomic<bool> go{false};
  std::atomic<bool> done{false};
  ClientOptions o;
  o.send = "after the stall";
  o.expect = o.send.size();
  o.before_send = &go;
  ClientResult r;
  std::thread t([&] {
    r = RunClient(PortOf(s.listener), o);
    done = true;
  });
  ASSERT_TRUE(PollUntil(
      &s.m.mgr, [&] { return s.rec.Count(NS_EV_ACCEPT) == 1 || done; }, 3000));
  ns_conn* nc = s.rec.accepted.empty() ? nullptr : s.rec.accepted[0];
  if (nc != nullptr) {
    ASSERT_EQ(nc->send_mbuf.len, 0u);
    nc->flags |= NCF_SSL_WANT_WRITE;  // as ns_ssl_err leaves it
  }
  go = true;
  PollUntil(
      &s.m.mgr, [&] { return done.load(); }, 1500);
  t.join();
  ASSERT_NE(nc, nullptr);
  ASSERT_TRUE(r.handshake);
  EXPECT_EQ(r.got, o.send);
}

TEST(TlsWrite, WantWriteRetriesOverAMovedLongerBuffer) {
  TlsServer s(TlsFiles::Get().plain);
  s.rec.echo = false;
  const std::string first = Pattern(2 << 20, 'a');
  const std::string more = Pattern(3 << 20, 'A');
  s.rec.greeting = first;
  s.rec.sndbuf_on_accept = 4096;
  std::atomic<bool> appended{false};
  std::atomic<bool> done{false};
  ClientOptions o;
  o.expect = first.size() + more.size();
  o.rcvbuf = 4096;
  o.before_read = &appended;
  ClientResult r;
  std::thread t([&] {
    r = RunClient(PortOf(s.listener), o);
    done = true;
  });
  bool saw_want_write = false;
  for (int i = 0; i < 20000 && !done; i++) {
    ns_mgr_poll(&s.m.mgr, 1);
    if (!appended && !s.rec.accepted.empty() &&
        (s.rec.accepted[0]->flags & NCF_SSL_WANT_WRITE) != 0) {
      saw_want_write = true;
      ns_conn* nc = s.rec.accepted[0];
      const char* before = nc->send_mbuf.buf;
      ns_send(nc, more.data(), more.size());
      EXPECT_NE(nc->send_mbuf.buf, before) << "the block moved";
      appended = true;
    }
  }
  appended = true;
  t.join();
  EXPECT_TRUE(saw_want_write);
  ASSERT_TRUE(r.handshake);
  EXPECT_EQ(r.got.size(), first.size() + more.size());
  EXPECT_TRUE(r.got == first + more) << "every byte once, in order";
}

TEST(TlsRealClient, OpensslSClientCompletesTheHandshakeAndEchoes) {
  if (!nettest::CommandPrints("openssl version", "OpenSSL")) {
    GTEST_SKIP() << "no openssl command here (the Windows build under Wine has none)";
  }
  TlsServer s(TlsFiles::Get().plain);
  const std::string port = std::to_string(PortOf(s.listener));
  struct Case {
    std::string args;
    std::string expect;
  };
  const Case cases[] = {
      {"", "Protocol version: TLSv1.3"},
      {"-tls1_2 -cipher DHE-RSA-AES256-GCM-SHA384", "Server Temp Key: DH, 2048 bits"},
      {"-tls1_2 -cipher ECDHE-RSA-AES128-GCM-SHA256", "Ciphersuite: ECDHE-RSA-AES128-GCM-SHA256"},
  };
  for (const Case& c : cases) {
    std::string cmd =
        "(printf 'ping-over-tls\\n'; sleep 1) | openssl s_client -connect 127.0.0.1:" + port +
        " -brief -no_ign_eof " + c.args + " 2>&1";
    std::atomic<bool> done{false};
    std::string out;
    std::thread t = nettest::RunCommandAsync(cmd, &out, &done);
    PollUntil(
        &s.m.mgr, [&] { return done.load(); }, 3000);
    t.join();
    EXPECT_NE(out.find("ping-over-tls"), std::string::npos) << out;
    EXPECT_NE(out.find(c.expect), std::string::npos) << out;
  }
}

}  // namespace
