// The event manager: one ns_mgr owns every socket of the service as an ns_conn
// in a doubly linked list and drives them all from one thread with select().
// Handlers never touch sockets or free connections: they read recv_mbuf,
// answer with ns_send/ns_printf and set flags; the poll pass does the I/O and
// closes connections at the end of the pass. Everything here runs on the
// thread that calls ns_mgr_poll, except ns_mgr_post, with which other threads
// hand work to that thread.
//
// Results in this folder: parsers return the bytes they consumed (> 0), 0
// for "not complete yet" and -1 for malformed input (http_parser.h); senders
// return the bytes they took (0: none); operations that can fail return 0 or
// -1, or a negative code that names the failure; a function that makes a
// connection returns it, or null. Two keep older forms: ns_socketpair and
// the WebSocket frame reader answer 1 for done and 0 for not, and ns_set_ssl
// returns a constant failure text, or null on success.
#pragma once

#include <openssl/types.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "net/mbuf.h"
#include "platform/socket.h"

struct ns_conn;
struct ns_mgr;

// Handler of connection events: the connection, the event code and the
// event's data (see the event codes below).
typedef void (*ns_event_handler)(ns_conn* nc, int ev, void* ev_data);

// Event codes. NS_EV_HTTP_REQUEST (100) and the other codes of the HTTP and
// WebSocket layers are defined by those layers.
inline constexpr int NS_EV_POLL = 0;    // not ready in this pass; data: int64_t* pass time
inline constexpr int NS_EV_ACCEPT = 1;  // accepted (TLS: handshake done); data: sockaddr_in* peer
// 2 is kept unused: it was the code of outbound connects, which nothing makes.
inline constexpr int NS_EV_RECV = 3;   // bytes appended to recv_mbuf; data: int32_t* count
inline constexpr int NS_EV_SEND = 4;   // the write path ran; data: int32_t* send result
inline constexpr int NS_EV_CLOSE = 5;  // about to be destroyed; data: null

// Connection flags (ns_conn::flags, logged as "nc_flags").
inline constexpr uint32_t NCF_LISTENING = 0x1;             // listening TCP socket
inline constexpr uint32_t NCF_UDP = 0x2;                   // datagram socket
inline constexpr uint32_t NCF_SSL_HANDSHAKE_DONE = 0x10;   // TLS data may flow
inline constexpr uint32_t NCF_SSL_WANT_READ = 0x20;        // TLS waits for readability
inline constexpr uint32_t NCF_SSL_WANT_WRITE = 0x40;       // TLS waits for writability
inline constexpr uint32_t NCF_WEBSOCKET = 0x80;            // carries WebSocket frames
inline constexpr uint32_t NCF_SEND_AND_CLOSE = 0x400;      // close once send_mbuf is empty
inline constexpr uint32_t NCF_HOLD_SEND = 0x800;           // keep queued data, do not write
inline constexpr uint32_t NCF_CLOSE_IMMEDIATELY = 0x1000;  // close at the end of this pass
inline constexpr uint32_t NCF_WS_NO_REASSEMBLY = 0x2000;   // WebSocket frames not reassembled
inline constexpr uint32_t NCF_DELETE_CHUNK = 0x4000;       // drop the decoded HTTP chunk
// The handler took a request whose reply comes later (from another thread's
// work): no further request is delivered, little more is read, and a close
// waits, until the next byte is queued (ns_send clears it).
inline constexpr uint32_t NCF_REPLY_DEFERRED = 0x8000;
// The peer has shut its sending side (or the last reply went out): nothing
// more is taken from it; set by the read path and the poll pass.
inline constexpr uint32_t NCF_PEER_DONE = 0x10000;
inline constexpr uint32_t NCF_USER_1 = 0x100000;  // NCF_USER_*: free for handlers
inline constexpr uint32_t NCF_USER_2 = 0x200000;
inline constexpr uint32_t NCF_USER_3 = 0x400000;
inline constexpr uint32_t NCF_USER_4 = 0x800000;
inline constexpr uint32_t NCF_USER_5 = 0x1000000;
inline constexpr uint32_t NCF_USER_6 = 0x2000000;

// The only bits a new connection takes from its ns_bind_opts.
inline constexpr uint32_t kNcfCreationMask = 0x03F02000;
// The only bits a handler may change during an event; ns_dispatch_event puts
// every other bit back as it was before the handler ran, except that
// NCF_WEBSOCKET, once set by the HTTP layer's upgrade, is kept.
inline constexpr uint32_t kNcfHandlerMask = 0x03F0BC00;

// Fixed sizes of the poll pass and the I/O paths.
inline constexpr size_t kPrintfStackBytes = 500;  // ns_vprintf text kept off the heap
inline constexpr size_t kReadChunkBytes = 2048;   // one recv/SSL_read of the read path
inline constexpr int kReadChunksPerPass = 4;      // most reads of one connection in one pass
// A buffer whose capacity grew past this for one large message is shrunk
// back once the message has been consumed (see ns_mgr_handle_conn).
inline constexpr size_t kBufferKeepBytes = 16384;
// Listeners sit out of the read set this long when the process is out of
// descriptors and no reserve descriptor is left to shed connections with.
inline constexpr unsigned kAcceptBackoffMs = 250;
// What queued output may reach before the connection is read no more: a
// client that pipelines requests (or pings) and never reads its replies
// would otherwise make the service hold them all. 1 MiB is several capture
// replies (about 160 kB each); reading resumes once the queue drains.
inline constexpr size_t kSendHighWaterBytes = size_t{1} << 20;
// Memory all connections together may hold in request bodies and partial
// WebSocket messages (reserved as they are announced) and in queued output.
// One page and one reader need well under 1 MiB; 64 MiB is sixteen requests
// at the 4 MiB bound at once, and keeps 1,000 slow peers from taking
// gigabytes. Past it a new large body is refused with 503 and Retry-After
// (those already under way go on), and connections with more than
// kSendLowWaterBytes queued are not read until output drains.
inline constexpr size_t kMemoryBudgetBytes = size_t{64} << 20;
inline constexpr size_t kSendLowWaterBytes = size_t{64} << 10;
// A TLS handshake must be done this long after the connection was accepted;
// a browser finishes in milliseconds, and the header deadline only starts
// once the handshake is over.
inline constexpr int64_t kTlsHandshakeSeconds = 10;
// After its last reply, a connection that closes stops sending (FIN) and
// reads and drops what the peer still sends, this long at most and up to
// kLingerBytes, so that the peer reads the reply instead of a reset.
inline constexpr int64_t kLingerSeconds = 2;
inline constexpr size_t kLingerBytes = size_t{256} << 10;
// Environment variable that divides every deadline of the network layer (the
// seconds above and in http_protocol.h and websocket.h; at least 1 second
// each) for tests that must see them pass; unset or invalid: 1.
inline constexpr char kDeadlineDivisorEnv[] = "KV_NET_DEADLINE_DIVISOR";
inline constexpr size_t kDatagramBytes = 2000;    // longest datagram taken; the rest is cut
inline constexpr size_t kCtlDataBytes = 8192;     // data of one control message
inline constexpr size_t kCtlMessageBytes = 8200;  // 8-byte callback pointer + data

// The event manager. The record belongs to its owner (the service thread
// keeps it on its stack); the manager owns every connection in its list.
struct ns_mgr {
  ns_conn* connections;  // head of the list, newest first
  // Control pair: [0] sending end, [1] read by the manager; -1 closed. A
  // message there runs its callback on every connection. Other threads hand
  // work to the loop this way (ns_mgr_post).
  sock_t ctl[2];
  void* user_data;  // the owner's pointer from ns_mgr_init
  // Most sockets a pass puts in one select() set: kPlatformSocketSetCapacity
  // from ns_mgr_init (0 counts as that too); tests lower it to exercise the
  // rotation below.
  size_t set_limit;
  // The connection that takes the first place in the sets of the next pass:
  // the first one that found no place in the last pass; null = the head.
  // Unlinking it moves this on to the next connection.
  ns_conn* set_rotation;
  // A descriptor kept open and unused, owned by the manager, so that one can
  // be freed when the process runs out of them (see ns_accept_pending); -1
  // when none is held.
  sock_t reserve_sock;
  // PlatformMonotonicMs() before which listeners are not watched (back-off
  // when out of descriptors without a reserve); 0 = watched.
  unsigned long long accept_resume_ms;
  // Deadlines in seconds are divided by this (kDeadlineDivisorEnv); 1 normally.
  int deadline_divisor;
  // The pass time of the last pass; a connection that is not ready gets its
  // NS_EV_POLL only in the first pass of each second.
  int64_t last_poll_time;
  // Bytes reserved by connections for bodies and messages under way
  // (ns_budget_reserve), and the output queued on all connections as the
  // last pass counted it.
  size_t budget_reserved;
  size_t output_queued;
};

// One socket: listener, accepted stream connection or datagram socket.
// Owned by its manager; owns its socket, both buffers, its TLS object and
// its TLS context. Created zero-filled with sock -1 and recv_limit all ones.
struct ns_conn {
  ns_conn* next;  // list links; prev is null for the head
  ns_conn* prev;
  ns_conn* listener;      // accepted: the listener it came from; else null
  ns_mgr* mgr;            // the owning manager
  sock_t sock;            // -1 when none
  sockaddr_in sa;         // listener: bound address; datagram event: sender; accepted: zero
  size_t recv_limit;      // most bytes recv_mbuf may hold; SIZE_MAX = no limit
  mbuf recv_mbuf;         // received bytes not yet consumed
  mbuf send_mbuf;         // bytes queued for sending
  SSL* ssl;               // TLS connection object; null for plain connections
  SSL_CTX* ssl_ctx;       // TLS context set by ns_set_ssl; null on accepted connections
  int64_t last_io_time;   // seconds since 1970: creation, then each pass it was ready
  int64_t created_time;   // seconds since 1970 when the record was made
  int64_t linger_since;   // NCF_PEER_DONE after the last reply: when the linger began; else 0
  size_t linger_dropped;  // bytes read and dropped while lingering
  size_t budget_held;     // this connection's share of mgr->budget_reserved
  ns_event_handler proto_handler;  // protocol handler, sees events first; may be null
  void* proto_data;                // the protocol handler's pointer
  ns_event_handler handler;        // the user handler
  void* user_data;                 // the user handler's pointer
  uint32_t flags;                  // NCF_* bits
};

// Options for creating a connection (bind, add socket). All zero = none.
struct ns_bind_opts {
  void* user_data;            // becomes the connection's user_data
  uint32_t flags;             // only the bits of kNcfCreationMask are taken
  const char** error_string;  // where bind stores a constant failure text; may be null
};

// Zeroes the manager, stores user_data, starts the platform's sockets,
// creates the control pair, opens the reserve descriptor and initialises
// OpenSSL once per process.
void ns_mgr_init(ns_mgr* mgr, void* user_data);

// Runs one pass with time-out 0, closes the control pair and the reserve and
// then closes every connection (each gets NS_EV_CLOSE). A null manager is
// ignored.
void ns_mgr_free(ns_mgr* mgr);

// One poll pass: waits up to timeout_ms for any socket, runs accept, read,
// write or poll on each connection, then closes the connections flagged for
// closing: NCF_CLOSE_IMMEDIATELY at once; NCF_SEND_AND_CLOSE once its
// output is written and no reply is deferred, after a linger (kLingerSeconds:
// FIN sent, what the peer still sends read and dropped) unless the peer has
// already finished. A TLS handshake not done kTlsHandshakeSeconds after the
// accept is closed. Returns the pass's time (seconds since 1970).
//
// Every connection gets its turn: the control socket and the listeners take
// their places in the sets first, then the connections, starting at
// set_rotation. Where the platform's sets hold every socket (POSIX, up to
// FD_SETSIZE descriptors) that changes nothing; where they are counted
// (Windows), the connections left out of one pass come first in the next. A
// readable connection is read at most kReadChunksPerPass chunks per pass, so
// a fast sender cannot hold the others back; a TLS connection whose library
// already holds bytes it read counts as readable and makes the pass not wait.
int64_t ns_mgr_poll(ns_mgr* mgr, int timeout_ms);

// The per-connection step of a pass, with its readiness mask (1 readable,
// 2 writable, 4 exception) and the pass's time. A readable listener accepts
// what is pending (ns_accept_pending). Afterwards a receive or send buffer
// that grew past kBufferKeepBytes for one large message gives its storage
// back once at most a quarter of it is in use (mbuf_trim).
void ns_mgr_handle_conn(ns_conn* nc, int fd_flags, int64_t now);

// The select() time-out of a pass of timeout_ms milliseconds.
timeval ns_poll_timeout(int timeout_ms);

// The one operation of this layer that any thread may call: sends a control
// message (callback, then len bytes of data, at most kCtlDataBytes) to the
// manager's loop, whose next pass calls callback on every connection with
// NS_EV_POLL and a pointer to its own copy of the data. It never blocks. The
// caller must stop posting before ns_mgr_free closes the pair. Returns 0, or
// -1 when the data is too long, the pair is closed or the send failed.
[[nodiscard]] int ns_mgr_post(ns_mgr* mgr, ns_event_handler callback, const void* data, size_t len);

// The first connection (conn null) or the one after conn; null at the end.
ns_conn* ns_next(ns_mgr* mgr, ns_conn* conn);

// Queues len bytes on send_mbuf (the next pass writes them); on a NCF_UDP
// connection sends them at once as one datagram to sa. Returns the bytes
// accepted, 0 on failure (heap exhausted, datagram not sent).
size_t ns_send(ns_conn* nc, const void* buf, size_t len);
// ns_send with a signed 32-bit length; a negative length sends nothing.
int ns_send_int(ns_conn* nc, const void* buf, int len);

// Formats and ns_sends the text; texts of up to kPrintfStackBytes characters
// need no heap. Returns the text's length (not the count sent), or -1 when
// formatting failed.
int ns_printf(ns_conn* nc, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
int ns_vprintf(ns_conn* nc, const char* fmt, va_list ap) __attribute__((format(printf, 2, 0)));

// Formats into *buf (size bytes of text room, plus one for the terminator,
// owned by the caller). When the text is longer, *buf is replaced by a fresh
// heap block (malloc) whose text room is size doubled until it fits; the
// caller frees it when *buf changed. Returns the text's length, or -1 (with
// *buf null when a heap block could not be had).
int ns_format_alloc(char** buf, size_t size, const char* fmt, va_list ap)
    __attribute__((format(printf, 3, 0)));

// Text room ns_format_alloc ends with for a text of text_len characters when
// it starts with size: size doubled until the text fits. 0 on overflow.
constexpr size_t ns_format_capacity(size_t size, size_t text_len) {
  while (size < text_len) {
    if (size == 0 || size > SIZE_MAX / 2) return 0;
    size *= 2;
  }
  return size;
}

// The deadline of the connection's manager for a bound of seconds: divided
// by its deadline_divisor, at least 1 (no manager: unchanged).
int64_t ns_deadline(const ns_conn* nc, int64_t seconds);

// Reserves total bytes of the memory budget for the connection (replacing
// what it held): true when that fits beside every other connection's share
// and the queued output, or when the connection has no manager. On false
// the connection keeps what it held. ns_budget_release gives its share back
// (also done when the connection is destroyed).
[[nodiscard]] bool ns_budget_reserve(ns_conn* nc, size_t total);
void ns_budget_release(ns_conn* nc);

// Whether the connection may be read in this pass: not while TLS waits to
// write, the receive buffer is at recv_limit (or, while a reply is deferred,
// at kSendLowWaterBytes), the peer is done, or its queued output is over
// kSendHighWaterBytes (over kSendLowWaterBytes while the budget is spent).
bool ns_wants_read(const ns_conn* nc);

// Raises an event: calls proto_handler if set, else handler; afterwards only
// the bits of kNcfHandlerMask keep the handler's changes (and a newly set
// NCF_WEBSOCKET).
void ns_dispatch_event(ns_conn* nc, int ev, void* ev_data);

// A new zero-filled, unlinked connection (sock -1), or null when the heap is
// exhausted.
ns_conn* ns_create_conn(ns_mgr* mgr, ns_event_handler handler, ns_bind_opts opts);
// Puts the connection at the head of the manager's list.
void ns_link_conn(ns_mgr* mgr, ns_conn* nc);
void ns_unlink_conn(ns_conn* nc);
// Raises NS_EV_CLOSE, unlinks and destroys. Only the poll pass and
// ns_mgr_free call it; handlers set NCF_CLOSE_IMMEDIATELY instead.
void ns_close_conn(ns_conn* nc);
// Closes the socket, frees both buffers, the TLS object and context, and the
// record itself.
void ns_destroy_conn(ns_conn* nc);

// Two connected loopback sockets of the type (SOCK_STREAM or SOCK_DGRAM),
// both non-inheritable: sp[0] the sending end, sp[1] the other. Returns 1,
// or 0 with both ends -1.
int ns_socketpair(sock_t sp[2], int sock_type);

// The diagnostic sink of the network layer: each line is a "%-20s " location
// tag, the message and a newline, then the stream is flushed. Null (the
// default) turns diagnostics off; NS_DIAG then costs one pointer test and
// formats nothing. Set it before the poll loop starts.
void ns_set_diag_stream(FILE* stream);
extern FILE* g_ns_diag_stream;
void ns_diag_write(const char* location, const char* fmt, ...)
    __attribute__((format(printf, 2, 3)));

#define NS_DIAG_STR2(x) #x
#define NS_DIAG_STR(x) NS_DIAG_STR2(x)
// Writes one diagnostic line tagged "netloop:<line>" when the sink is on.
#define NS_DIAG(...)                                                                               \
  do {                                                                                             \
    if (g_ns_diag_stream != nullptr) ns_diag_write("netloop:" NS_DIAG_STR(__LINE__), __VA_ARGS__); \
  } while (0)
