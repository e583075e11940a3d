// The I/O paths the poll pass runs on a ready socket: reading a stream
// connection into recv_mbuf (plain or TLS, with the server side of the TLS
// handshake), writing send_mbuf out, taking one datagram; and TLS set-up of a
// listener (context, certificate, key, DH group, cipher list). Manager's
// thread only. The connection owns its SSL object and SSL_CTX.
#pragma once

#include <openssl/tls1.h>

#include <cstddef>
#include <cstdint>

#include "net/event_manager.h"

// Cipher list for TLS 1.2; TLS 1.3 keeps OpenSSL's own suites. Key exchange
// by static RSA (!kRSA) is left out: it has no forward secrecy, and every
// browser that can reach the service negotiates ECDHE.
inline constexpr const char* NS_CIPHER_LIST =
    "ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:DHE-RSA-AES128-GCM-SHA256:DHE-DSS-AES128-GCM-SHA256:"
    "kEDH+AESGCM:ECDHE-RSA-AES128-SHA256:ECDHE-ECDSA-AES128-SHA256:ECDHE-RSA-AES128-SHA:"
    "ECDHE-ECDSA-AES128-SHA:ECDHE-RSA-AES256-SHA384:ECDHE-ECDSA-AES256-SHA384:"
    "ECDHE-RSA-AES256-SHA:ECDHE-ECDSA-AES256-SHA:DHE-RSA-AES128-SHA256:DHE-RSA-AES128-SHA:"
    "DHE-DSS-AES128-SHA256:DHE-RSA-AES256-SHA256:DHE-DSS-AES256-SHA:DHE-RSA-AES256-SHA:"
    "AES128-GCM-SHA256:AES256-GCM-SHA384:AES128-SHA256:AES256-SHA256:AES128-SHA:AES256-SHA:"
    "AES:CAMELLIA:DES-CBC3-SHA:!aNULL:!eNULL:!EXPORT:!DES:!RC4:!MD5:!PSK:!aECDH:"
    "!EDH-DSS-DES-CBC3-SHA:!EDH-RSA-DES-CBC3-SHA:!KRB5-DES-CBC3-SHA:!kRSA";
// Oldest protocol a TLS listener accepts.
inline constexpr int kTlsMinVersion = TLS1_2_VERSION;

// Reads a readable stream connection in chunks of kReadChunkBytes until it
// would block, at most kReadChunksPerPass chunks (the rest waits for the next
// pass, so one fast sender cannot hold the others back), raising NS_EV_RECV
// after each chunk was appended; runs the handshake step instead while a TLS
// handshake is pending. The peer's end of stream (or TLS close alert) sets
// NCF_PEER_DONE and NCF_SEND_AND_CLOSE, so that what it asked for is still
// answered (NCF_CLOSE_IMMEDIATELY instead while a reply is deferred); a
// socket/TLS failure sets NCF_CLOSE_IMMEDIATELY; once that is set (by a
// handler too) nothing more is read. A lingering connection's bytes are read
// and dropped.
void ns_read_from_socket(ns_conn* nc);

// Hands the whole send buffer to one send/SSL_write, removes what was sent
// and raises NS_EV_SEND with the result.
void ns_write_to_socket(ns_conn* nc);

// Datagram connections ("udp://" listeners) are not used by any service
// path; the service listens on TCP only.
// Takes one datagram (at most kDatagramBytes) and raises NS_EV_RECV on a
// temporary copy of the connection whose sa is the sender, so that ns_send on
// it answers the sender. Nothing is allocated.
void ns_handle_udp(ns_conn* nc);

// Advances the server-side handshake; on completion sets
// NCF_SSL_HANDSHAKE_DONE and raises NS_EV_ACCEPT with the peer address.
void ns_ssl_handshake(ns_conn* nc);

// SSL_get_error for the failed call's result; sets NCF_SSL_WANT_READ or
// NCF_SSL_WANT_WRITE for those codes. Returns the code.
int ns_ssl_err(ns_conn* nc, int res);

// True when a socket/TLS call's result means the connection must close: 0
// (peer closed) or negative with an error other than interrupted/would block.
bool ns_is_error(int n);

// Bytes one receive may take given recv_limit: min(max, limit - len), or 0.
size_t ns_recv_avail(const ns_conn* nc, size_t max);

// TLS for the connection: a server context on a listener (client context on
// anything else; no service path uses one) with the certificate file and CA
// file (either may be null or empty), NS_CIPHER_LIST and nothing older than
// kTlsMinVersion. Returns null on success or "SSL_CTX_new() failed", "Invalid
// ssl cert", "Invalid CA cert", "SSL_new() failed".
const char* ns_set_ssl(ns_conn* nc, const char* cert, const char* ca_cert);

// Loads certificate, private key, DH parameters (the file's own, else
// NS_DEFAULT_DH_PARAMS) and chain from one PEM file. 0 (also for no file),
// -1 no context, -2 certificate or key rejected.
int ns_use_cert(SSL_CTX* ctx, const char* pem_file);

// Requires peer certificates signed by the CA file. 0 (also for no file), -1
// no context, -2 CA file rejected.
int ns_use_ca_cert(SSL_CTX* ctx, const char* cert);
