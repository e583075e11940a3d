// Sockets of the operating system: the handle type, the BSD calls the network
// layer makes, socket sets for select() and the last-error codes. Every
// difference between POSIX sockets and Windows sockets stays behind these
// calls; net/ includes this header for sockaddr_in, SOCK_STREAM and friends.
// No state of its own; any thread may call it.
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef _WIN32
// Without these, windows.h (which winsock2.h includes) brings wincrypt.h,
// whose X509_NAME and friends collide with OpenSSL's names, and min/max
// macros that break std::min and std::max.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#endif

// A socket handle, 64 bits wide on every platform so that a Windows SOCKET
// fits; the invalid socket is -1 everywhere.
using sock_t = int64_t;
inline constexpr sock_t kInvalidSocket = -1;

// The hosts file that names local addresses. On Windows the path is taken
// relative to the root of the current drive.
#ifdef _WIN32
inline constexpr const char* kHostsFilePath = "\\Windows\\System32\\drivers\\etc\\hosts";
#else
inline constexpr const char* kHostsFilePath = "/etc/hosts";
#endif

// Once per process before any other call: starts Windows sockets (version
// 2.2; the Windows calls below also start them on first use, so a socket made
// before this call works too). On POSIX it makes writes to a closed peer fail
// with EPIPE instead of killing the process with SIGPIPE (TLS writes go
// through write(2), where no per-call flag can prevent the signal). Returns 0
// on success.
int PlatformSocketStartup();

// A new socket that child processes do not inherit, or kInvalidSocket.
sock_t PlatformSocketOpen(int family, int type, int protocol);
void PlatformSocketClose(sock_t s);

// 0 on success, -1 on failure (the reason in PlatformSocketLastError()).
int PlatformSocketSetNonBlocking(sock_t s);
int PlatformSocketSetNonInheritable(sock_t s);
// Lets a listener bind its port again while connections of an earlier one
// linger after closing (TIME_WAIT). Windows allows that without an option,
// and its SO_REUSEADDR would instead let a second socket take a port that is
// in use, so there the call changes nothing: a held port still fails to bind.
int PlatformSocketSetReuseAddress(sock_t s);
// Sets an integer socket option (SO_SNDBUF, SO_RCVBUF and the like).
int PlatformSocketSetIntOption(sock_t s, int level, int name, int value);
// Makes a blocking receive give up after ms milliseconds (0: never).
int PlatformSocketSetReceiveTimeout(sock_t s, unsigned ms);
int PlatformSocketBind(sock_t s, const sockaddr_in* sa);
// Binds an AF_INET6 socket to the IPv6 loopback address [::1] and port (host
// order; 0 lets the system choose), for IPv6 only (IPV6_V6ONLY), so that it
// never competes with an IPv4 listener on the same port.
int PlatformSocketBindLoopback6(sock_t s, uint16_t port);
// Connects an AF_INET6 socket to [::1] and port (host order).
int PlatformSocketConnectLoopback6(sock_t s, uint16_t port);
int PlatformSocketListen(sock_t s, int backlog);
int PlatformSocketConnect(sock_t s, const sockaddr_in* sa);
// The socket's own and its peer's address. The records of the network layer
// hold IPv4 addresses only: an IPv6 address is given as the family AF_INET6,
// its port and a zero IPv4 address.
int PlatformSocketLocalAddress(sock_t s, sockaddr_in* sa);
int PlatformSocketPeerAddress(sock_t s, sockaddr_in* sa);
// Ends the sending direction (the peer reads end of stream); receiving goes on.
int PlatformSocketShutdownWrite(sock_t s);

// A new, non-inheritable socket for a pending connection, or kInvalidSocket;
// peer (may be null) receives the peer's address (IPv6 as above).
sock_t PlatformSocketAccept(sock_t s, sockaddr_in* peer);

// True when child processes would inherit the socket.
bool PlatformSocketInheritable(sock_t s);

// The byte counts of recv/send/recvfrom/sendto, or -1. The length is a signed
// 32-bit count as the Windows calls take it. Sending never raises a signal. A
// datagram longer than len gives its first len bytes and the count len on
// every platform (Windows reports that case as an error of its own).
int PlatformSocketRecv(sock_t s, void* buf, int len);
int PlatformSocketSend(sock_t s, const void* buf, int len);
int PlatformSocketRecvFrom(sock_t s, void* buf, int len, sockaddr_in* from);
int PlatformSocketSendTo(sock_t s, const void* buf, int len, const sockaddr_in* to);

// The error code of the calling thread's last failed socket call (errno, or
// WSAGetLastError on Windows), its text, and whether it means "try again
// later" (interrupted, in progress, would block) rather than a broken socket.
// The text stays valid until the calling thread asks for another one.
// PlatformSocketSetLastError puts a saved code back (after a call, such as a
// diagnostic write, that may have replaced it).
int PlatformSocketLastError();
void PlatformSocketSetLastError(int err);
const char* PlatformSocketErrorText(int err);
bool PlatformSocketErrorIsTransient(int err);
// Whether the error means the process or the system ran out of descriptors
// or socket memory (EMFILE, ENFILE, ENOBUFS, ENOMEM; WSAEMFILE, WSAENOBUFS on
// Windows): the call may succeed once other sockets have closed.
bool PlatformSocketErrorIsExhaustion(int err);

// A socket set for select(). How many sockets one set can watch differs:
// - POSIX: an fd_set is a bitmap indexed by the descriptor's number, so the
//   limit is a bound on that number (FD_SETSIZE, 1024 on Linux): every
//   descriptor below it fits, one at or above it cannot be watched at all and
//   PlatformSocketSetAdd refuses it instead of writing past the set. The
//   service closes such a connection as soon as it is accepted.
// - Windows: an fd_set is a counted array of FD_SETSIZE sockets whatever their
//   handle values (64 unless the build defines FD_SETSIZE before including
//   winsock2.h); a full set refuses the next socket, and the poll pass
//   rotates which connections take the places (net/event_manager.h).
struct PlatformSocketSet {
  fd_set fds;
};
// Most sockets one set can hold.
inline constexpr size_t kPlatformSocketSetCapacity = FD_SETSIZE;

void PlatformSocketSetZero(PlatformSocketSet* set);
// True when select() can watch the socket at all.
bool PlatformSocketSelectable(sock_t s);
// Adds the socket; false (set unchanged) for an invalid or unwatchable one
// and, on Windows, when the set is full. A socket already in the set stays
// there once (true).
bool PlatformSocketSetAdd(PlatformSocketSet* set, sock_t s);
bool PlatformSocketSetHas(const PlatformSocketSet* set, sock_t s);

// select() over the three sets (any may be null) with the given highest
// socket (-1 when all sets are empty; Windows ignores it) and time-out.
// Returns the number of ready sockets, 0 on time-out, -1 on failure. With all
// sets empty it still waits out the time-out, on every platform (Windows'
// select() refuses empty sets at once).
int PlatformSelect(sock_t max_sock, PlatformSocketSet* read_set, PlatformSocketSet* write_set,
                   PlatformSocketSet* except_set, const timeval* timeout);
