// Sockets of the operating system: the handle type, the BSD calls the network
// layer makes, socket sets for select() and the last-error codes. Every
// difference between POSIX sockets and Windows sockets stays behind these
// calls; net/ includes this header for sockaddr_in, SOCK_STREAM and friends.
// No state of its own; any thread may call it.
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef _WIN32
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
// 2.2). On POSIX it makes writes to a closed peer fail with EPIPE instead of
// killing the process with SIGPIPE (TLS writes go through write(2), where no
// per-call flag can prevent the signal). Returns 0 on success.
int PlatformSocketStartup();

// A new socket that child processes do not inherit, or kInvalidSocket.
sock_t PlatformSocketOpen(int family, int type, int protocol);
void PlatformSocketClose(sock_t s);

// 0 on success, -1 on failure (the reason in PlatformSocketLastError()).
int PlatformSocketSetNonBlocking(sock_t s);
int PlatformSocketSetNonInheritable(sock_t s);
int PlatformSocketSetReuseAddress(sock_t s);
int PlatformSocketBind(sock_t s, const sockaddr_in* sa);
int PlatformSocketListen(sock_t s, int backlog);
int PlatformSocketConnect(sock_t s, const sockaddr_in* sa);
int PlatformSocketLocalAddress(sock_t s, sockaddr_in* sa);
int PlatformSocketPeerAddress(sock_t s, sockaddr_in* sa);

// A new, non-inheritable socket for a pending connection, or kInvalidSocket;
// peer (may be null) receives the peer's address.
sock_t PlatformSocketAccept(sock_t s, sockaddr_in* peer);

// The byte counts of recv/send/recvfrom/sendto, or -1. The length is a signed
// 32-bit count as the Windows calls take it. Sending never raises a signal.
int PlatformSocketRecv(sock_t s, void* buf, int len);
int PlatformSocketSend(sock_t s, const void* buf, int len);
int PlatformSocketRecvFrom(sock_t s, void* buf, int len, sockaddr_in* from);
int PlatformSocketSendTo(sock_t s, const void* buf, int len, const sockaddr_in* to);

// The error code of the calling thread's last failed socket call (errno, or
// WSAGetLastError on Windows), its text, and whether it means "try again
// later" (interrupted, in progress, would block) rather than a broken socket.
int PlatformSocketLastError();
const char* PlatformSocketErrorText(int err);
bool PlatformSocketErrorIsTransient(int err);

// A socket set for select(). On POSIX an fd_set is a bitmap indexed by the
// descriptor, so a descriptor at or above FD_SETSIZE cannot be watched at
// all: PlatformSocketSetAdd refuses it instead of writing past the set.
struct PlatformSocketSet {
  fd_set fds;
};

void PlatformSocketSetZero(PlatformSocketSet* set);
// True when select() can watch the socket at all.
bool PlatformSocketSelectable(sock_t s);
// Adds the socket; false (set unchanged) for an invalid or unwatchable one.
bool PlatformSocketSetAdd(PlatformSocketSet* set, sock_t s);
bool PlatformSocketSetHas(const PlatformSocketSet* set, sock_t s);

// select() over the three sets (any may be null) with the given highest
// socket (-1 when all sets are empty) and time-out. Returns the number of
// ready sockets, 0 on time-out, -1 on failure. With all sets empty it still
// waits out the time-out, on every platform.
int PlatformSelect(sock_t max_sock, PlatformSocketSet* read_set, PlatformSocketSet* write_set,
                   PlatformSocketSet* except_set, const timeval* timeout);
