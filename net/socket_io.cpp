// Read, write and datagram paths, and TLS set-up.
#include "net/socket_io.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <climits>
#include <cstring>
#include <memory>

#include "net/dh_params.h"
#include "net/openssl_owners.h"

namespace {

// The first Diffie-Hellman parameter block of the PEM stream, skipping
// certificates, keys and parameters of other kinds.
PkeyPtr ReadDhParams(BIO* bio) {
  if (bio == nullptr) return nullptr;
  for (;;) {
    PkeyPtr params(PEM_read_bio_Parameters(bio, nullptr));
    if (params == nullptr) return nullptr;
    if (EVP_PKEY_is_a(params.get(), "DH") || EVP_PKEY_is_a(params.get(), "DHX")) return params;
  }
}

bool IsWant(int code) {
  return code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE;
}

void RaiseRecv(ns_conn* nc, const char* buf, int n) {
  // A failed append is not reported: the handler sees the buffer as it is.
  (void)mbuf_append(&nc->recv_mbuf, buf, static_cast<size_t>(n));
  int32_t count = n;
  ns_dispatch_event(nc, NS_EV_RECV, &count);
}

}  // namespace

bool ns_is_error(int n) {
  if (n > 0) return false;
  if (n == 0) return true;
  return !PlatformSocketErrorIsTransient(PlatformSocketLastError());
}

int ns_ssl_err(ns_conn* nc, int res) {
  int code = SSL_get_error(nc->ssl, res);
  if (code == SSL_ERROR_WANT_READ) nc->flags |= NCF_SSL_WANT_READ;
  if (code == SSL_ERROR_WANT_WRITE) nc->flags |= NCF_SSL_WANT_WRITE;
  return code;
}

size_t ns_recv_avail(const ns_conn* nc, size_t max) {
  if (nc->recv_limit < nc->recv_mbuf.len) return 0;
  size_t room = nc->recv_limit - nc->recv_mbuf.len;
  return room < max ? room : max;
}

void ns_ssl_handshake(ns_conn* nc) {
  // Errors left in the thread's queue by unrelated calls would make
  // SSL_get_error report a failure for a plain "try again".
  ERR_clear_error();
  int res = nc->listener != nullptr ? SSL_accept(nc->ssl) : SSL_connect(nc->ssl);
  if (res == 1) {
    nc->flags |= NCF_SSL_HANDSHAKE_DONE;
    nc->flags &= ~(NCF_SSL_WANT_READ | NCF_SSL_WANT_WRITE);
    // The peer's address, as a plain accept gives it: handlers see the same
    // kind of address whether the connection is TLS or not.
    sockaddr_in peer;
    PlatformSocketPeerAddress(nc->sock, &peer);
    ns_dispatch_event(nc, NS_EV_ACCEPT, &peer);
    return;
  }
  if (!IsWant(ns_ssl_err(nc, res))) nc->flags |= NCF_CLOSE_IMMEDIATELY;
}

namespace {

// The peer has shut its sending side: what it sent is answered, then the
// connection closes (an error closes at once instead). A peer whose reply
// is still being worked on (a capture waiting for a finger) is taken as
// gone: its request is cancelled and the reader freed for other pages.
void PeerDone(ns_conn* nc) {
  nc->flags |=
      (nc->flags & NCF_REPLY_DEFERRED) ? NCF_CLOSE_IMMEDIATELY : NCF_PEER_DONE | NCF_SEND_AND_CLOSE;
}

// After the last reply: read and drop what the peer still sends; its end of
// stream, an error or too much closes.
void DropWhileLingering(ns_conn* nc) {
  char buf[kReadChunkBytes];
  for (int chunk = 0; chunk < kReadChunksPerPass; chunk++) {
    const int n = PlatformSocketRecv(nc->sock, buf, static_cast<int>(sizeof buf));
    if (n <= 0) {
      if (ns_is_error(n)) nc->flags |= NCF_CLOSE_IMMEDIATELY;
      return;
    }
    nc->linger_dropped += static_cast<size_t>(n);
    if (nc->linger_dropped > kLingerBytes) {
      nc->flags |= NCF_CLOSE_IMMEDIATELY;
      return;
    }
  }
}

}  // namespace

void ns_read_from_socket(ns_conn* nc) {
  char buf[kReadChunkBytes];

  if (nc->linger_since != 0) {
    DropWhileLingering(nc);
    return;
  }
  if (nc->ssl != nullptr) {
    if ((nc->flags & NCF_SSL_HANDSHAKE_DONE) == 0) {
      ns_ssl_handshake(nc);
      return;
    }
    int n = 0;
    for (int chunk = 0; chunk < kReadChunksPerPass; chunk++) {
      ERR_clear_error();
      n = SSL_read(nc->ssl, buf, static_cast<int>(sizeof buf));
      if (n <= 0) break;
      NS_DIAG("%p %d bytes <- %d (SSL)", static_cast<void*>(nc), n, static_cast<int>(nc->sock));
      RaiseRecv(nc, buf, n);
      // A connection marked for closing is read no further: whatever the
      // peer keeps sending would only be buffered and thrown away.
      if (nc->flags & NCF_CLOSE_IMMEDIATELY) return;
    }
    // The bound was reached: the rest waits for the next pass (which does
    // not wait when TLS holds it already, see ns_mgr_poll).
    if (n > 0) return;
    // Only "try again" keeps the connection; a close alert (or the end of
    // the stream, see ns_set_ssl) still gets the replies it asked for; a TLS
    // protocol failure leaves nothing further to read.
    const int code = ns_ssl_err(nc, n);
    if (code == SSL_ERROR_ZERO_RETURN) {
      PeerDone(nc);
    } else if (!IsWant(code)) {
      nc->flags |= NCF_CLOSE_IMMEDIATELY;
    }
    return;
  }

  int n = 0;
  size_t avail = 0;
  for (int chunk = 0; chunk < kReadChunksPerPass; chunk++) {
    if ((avail = ns_recv_avail(nc, sizeof buf)) == 0) break;
    if ((n = PlatformSocketRecv(nc->sock, buf, static_cast<int>(avail))) <= 0) break;
    NS_DIAG("%p %d bytes (PLAIN) <- %d", static_cast<void*>(nc), n, static_cast<int>(nc->sock));
    RaiseRecv(nc, buf, n);
    if (nc->flags & NCF_CLOSE_IMMEDIATELY) return;  // read no further, as above
    // A short read has emptied the socket's buffer: asking again would only
    // cost a failing call for every request (select() reports what comes
    // next, the end of the stream included).
    if (static_cast<size_t>(n) < avail) return;
  }
  // A full receive buffer or the per-pass bound ends the loop without a
  // failed receive; that is no error. The end of the stream is a half-close
  // until the replies are out.
  if (avail > 0 && n == 0) {
    PeerDone(nc);
  } else if (avail > 0 && n < 0 && ns_is_error(n)) {
    nc->flags |= NCF_CLOSE_IMMEDIATELY;
  }
}

void ns_write_to_socket(ns_conn* nc) {
  if (nc->ssl != nullptr && (nc->flags & NCF_SSL_HANDSHAKE_DONE) == 0) {
    ns_ssl_handshake(nc);
    return;
  }
  if (nc->send_mbuf.len == 0) {
    // Writable only because a TLS read wanted to write: retry that read.
    if (nc->ssl != nullptr && (nc->flags & NCF_SSL_WANT_WRITE)) {
      nc->flags &= ~NCF_SSL_WANT_WRITE;
      ns_read_from_socket(nc);
    }
    return;
  }

  // One call takes at most a signed 32-bit count; the rest goes next time.
  int len = nc->send_mbuf.len > INT_MAX ? INT_MAX : static_cast<int>(nc->send_mbuf.len);
  int n;
  if (nc->ssl != nullptr) {
    ERR_clear_error();
    n = SSL_write(nc->ssl, nc->send_mbuf.buf, len);
    if (n > 0) {
      nc->flags &= ~(NCF_SSL_WANT_READ | NCF_SSL_WANT_WRITE);
    } else {
      // On "try again" the same (possibly moved and longer) buffer is
      // offered again in a later pass.
      if (IsWant(ns_ssl_err(nc, n))) return;
      nc->flags |= NCF_CLOSE_IMMEDIATELY;
    }
  } else {
    n = PlatformSocketSend(nc->sock, nc->send_mbuf.buf, len);
  }
  NS_DIAG("%p %d bytes -> %d", static_cast<void*>(nc), n, static_cast<int>(nc->sock));

  if (ns_is_error(n)) {
    nc->flags |= NCF_CLOSE_IMMEDIATELY;
  } else if (n > 0) {
    mbuf_remove(&nc->send_mbuf, static_cast<size_t>(n));
  }
  int32_t result = n;
  ns_dispatch_event(nc, NS_EV_SEND, &result);
}

void ns_handle_udp(ns_conn* nc) {
  char buf[kDatagramBytes];
  sockaddr_in from;
  int n = PlatformSocketRecvFrom(nc->sock, buf, static_cast<int>(sizeof buf), &from);
  if (n <= 0) {
    NS_DIAG("%p recvfrom: %s", static_cast<void*>(nc),
            PlatformSocketErrorText(PlatformSocketLastError()));
    return;
  }

  // The handler answers through a copy whose sa is the sender, so that
  // ns_send replies to it; the copy's receive buffer is the stack buffer.
  ns_conn tmp = *nc;
  tmp.sa = from;
  tmp.recv_mbuf.buf = buf;
  tmp.recv_mbuf.len = tmp.recv_mbuf.size = static_cast<size_t>(n);
  // The real send buffer stays out of the copy's reach: an append there
  // could move the block under the real connection.
  memset(&tmp.send_mbuf, 0, sizeof tmp.send_mbuf);
  tmp.listener = nc;
  tmp.flags = NCF_UDP;

  NS_DIAG("%p %d bytes received", static_cast<void*>(nc), n);
  int32_t count = n;
  ns_dispatch_event(&tmp, NS_EV_RECV, &count);
  mbuf_free(&tmp.send_mbuf);  // a datagram is never queued
  nc->flags = tmp.flags;
}

int ns_use_ca_cert(SSL_CTX* ctx, const char* cert) {
  if (ctx == nullptr) return -1;
  if (cert == nullptr || cert[0] == '\0') return 0;
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
  int ok = SSL_CTX_load_verify_locations(ctx, cert, nullptr);
  ERR_clear_error();
  return ok == 1 ? 0 : -2;
}

int ns_use_cert(SSL_CTX* ctx, const char* pem_file) {
  if (ctx == nullptr) return -1;
  if (pem_file == nullptr || pem_file[0] == '\0') return 0;
  if (SSL_CTX_use_certificate_file(ctx, pem_file, SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_use_PrivateKey_file(ctx, pem_file, SSL_FILETYPE_PEM) != 1) {
    ERR_clear_error();
    return -2;
  }

  PkeyPtr dh = ReadDhParams(BioPtr(BIO_new_file(pem_file, "r")).get());
  if (dh == nullptr) dh = ReadDhParams(BioPtr(BIO_new_mem_buf(NS_DEFAULT_DH_PARAMS, -1)).get());
  if (dh != nullptr) {
    // The context takes the parameters over only on success.
    if (SSL_CTX_set0_tmp_dh_pkey(ctx, dh.get()) == 1) dh.release();
    SSL_CTX_set_options(ctx, 0);
  }
  SSL_CTX_set_mode(ctx, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  SSL_CTX_use_certificate_chain_file(ctx, pem_file);
  // Reading to the end of the file for parameters leaves "no start line"
  // errors behind.
  ERR_clear_error();
  return 0;
}

const char* ns_set_ssl(ns_conn* nc, const char* cert, const char* ca_cert) {
  const bool listening = (nc->flags & NCF_LISTENING) != 0;
  if (nc->ssl_ctx != nullptr) SSL_CTX_free(nc->ssl_ctx);  // a second set-up replaces the first
  nc->ssl_ctx = SSL_CTX_new(listening ? TLS_server_method() : TLS_client_method());

  const char* result = nullptr;
  if (nc->ssl_ctx == nullptr) {
    result = "SSL_CTX_new() failed";
  } else if (ns_use_cert(nc->ssl_ctx, cert) != 0) {
    result = "Invalid ssl cert";
  } else if (ns_use_ca_cert(nc->ssl_ctx, ca_cert) != 0) {
    result = "Invalid CA cert";
  } else if (!listening) {
    if (nc->ssl != nullptr) SSL_free(nc->ssl);
    nc->ssl = SSL_new(nc->ssl_ctx);
    if (nc->ssl == nullptr) {
      result = "SSL_new() failed";
    } else {
      SSL_set_fd(nc->ssl, static_cast<int>(nc->sock));
    }
  }
  if (nc->ssl_ctx != nullptr) {
    SSL_CTX_set_cipher_list(nc->ssl_ctx, NS_CIPHER_LIST);
    // Not left to the system's configuration, which may allow TLS 1.0.
    SSL_CTX_set_min_proto_version(nc->ssl_ctx, kTlsMinVersion);
    // A client that shuts its sending side without a close alert has still
    // asked for its replies (the same half-close as on a plain connection).
    SSL_CTX_set_options(nc->ssl_ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
  }
  ERR_clear_error();
  return result;
}
