// POSIX forms of the socket calls of socket.h.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/select.h>
#include <unistd.h>

#include "platform/socket.h"

namespace {

int Fd(sock_t s) {
  return static_cast<int>(s);
}

socklen_t AddrLen() {
  return static_cast<socklen_t>(sizeof(sockaddr_in));
}

// The IPv4 record the network layer keeps of an address of either family.
void ToIpv4Record(const sockaddr_storage& ss, sockaddr_in* out) {
  memset(out, 0, sizeof *out);
  if (ss.ss_family == AF_INET) {
    memcpy(out, &ss, sizeof *out);
  } else if (ss.ss_family == AF_INET6) {
    out->sin_family = AF_INET6;
    out->sin_port = reinterpret_cast<const sockaddr_in6*>(&ss)->sin6_port;
  }
}

}  // namespace

int PlatformSocketStartup() {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = SIG_IGN;
  return sigaction(SIGPIPE, &sa, nullptr) == 0 ? 0 : -1;
}

sock_t PlatformSocketOpen(int family, int type, int protocol) {
  int fd = socket(family, type | SOCK_CLOEXEC, protocol);
  return fd < 0 ? kInvalidSocket : fd;
}

void PlatformSocketClose(sock_t s) {
  if (s != kInvalidSocket) close(Fd(s));
}

int PlatformSocketSetNonBlocking(sock_t s) {
  int fl = fcntl(Fd(s), F_GETFL, 0);
  if (fl < 0) return -1;
  return fcntl(Fd(s), F_SETFL, fl | O_NONBLOCK) < 0 ? -1 : 0;
}

int PlatformSocketSetNonInheritable(sock_t s) {
  int fl = fcntl(Fd(s), F_GETFD, 0);
  if (fl < 0) return -1;
  return fcntl(Fd(s), F_SETFD, fl | FD_CLOEXEC) < 0 ? -1 : 0;
}

int PlatformSocketSetReuseAddress(sock_t s) {
  int on = 1;
  return setsockopt(Fd(s), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 ? 0 : -1;
}

int PlatformSocketSetIntOption(sock_t s, int level, int name, int value) {
  return setsockopt(Fd(s), level, name, &value, sizeof value) == 0 ? 0 : -1;
}

int PlatformSocketSetReceiveTimeout(sock_t s, unsigned ms) {
  timeval tv;
  tv.tv_sec = static_cast<time_t>(ms / 1000);
  tv.tv_usec = static_cast<suseconds_t>(ms % 1000) * 1000;
  return setsockopt(Fd(s), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0 ? 0 : -1;
}

int PlatformSocketBind(sock_t s, const sockaddr_in* sa) {
  return bind(Fd(s), reinterpret_cast<const sockaddr*>(sa), AddrLen()) == 0 ? 0 : -1;
}

namespace {

// [::1] and port (host order).
sockaddr_in6 Loopback6(uint16_t port) {
  sockaddr_in6 sa;
  memset(&sa, 0, sizeof sa);
  sa.sin6_family = AF_INET6;
  sa.sin6_port = htons(port);
  sa.sin6_addr = in6addr_loopback;
  return sa;
}

}  // namespace

int PlatformSocketBindLoopback6(sock_t s, uint16_t port) {
  int on = 1;
  if (setsockopt(Fd(s), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) != 0) return -1;
  const sockaddr_in6 sa = Loopback6(port);
  return bind(Fd(s), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0 ? 0 : -1;
}

int PlatformSocketConnectLoopback6(sock_t s, uint16_t port) {
  const sockaddr_in6 sa = Loopback6(port);
  return connect(Fd(s), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0 ? 0 : -1;
}

int PlatformSocketListen(sock_t s, int backlog) {
  return listen(Fd(s), backlog) == 0 ? 0 : -1;
}

int PlatformSocketConnect(sock_t s, const sockaddr_in* sa) {
  return connect(Fd(s), reinterpret_cast<const sockaddr*>(sa), AddrLen()) == 0 ? 0 : -1;
}

int PlatformSocketLocalAddress(sock_t s, sockaddr_in* sa) {
  sockaddr_storage ss;
  memset(&ss, 0, sizeof ss);
  socklen_t len = sizeof ss;
  int rc = getsockname(Fd(s), reinterpret_cast<sockaddr*>(&ss), &len) == 0 ? 0 : -1;
  ToIpv4Record(ss, sa);
  return rc;
}

int PlatformSocketPeerAddress(sock_t s, sockaddr_in* sa) {
  sockaddr_storage ss;
  memset(&ss, 0, sizeof ss);
  socklen_t len = sizeof ss;
  int rc = getpeername(Fd(s), reinterpret_cast<sockaddr*>(&ss), &len) == 0 ? 0 : -1;
  ToIpv4Record(ss, sa);
  return rc;
}

int PlatformSocketShutdownWrite(sock_t s) {
  return shutdown(Fd(s), SHUT_WR) == 0 ? 0 : -1;
}

sock_t PlatformSocketAccept(sock_t s, sockaddr_in* peer) {
  sockaddr_storage ss;
  memset(&ss, 0, sizeof ss);
  socklen_t len = sizeof ss;
  int fd = accept4(Fd(s), reinterpret_cast<sockaddr*>(&ss), &len, SOCK_CLOEXEC);
  if (fd < 0) return kInvalidSocket;
  if (peer != nullptr) ToIpv4Record(ss, peer);
  return fd;
}

bool PlatformSocketInheritable(sock_t s) {
  int fl = fcntl(Fd(s), F_GETFD, 0);
  return fl >= 0 && (fl & FD_CLOEXEC) == 0;
}

int PlatformSocketRecv(sock_t s, void* buf, int len) {
  if (len < 0) len = 0;
  return static_cast<int>(recv(Fd(s), buf, static_cast<size_t>(len), 0));
}

int PlatformSocketSend(sock_t s, const void* buf, int len) {
  if (len < 0) len = 0;
  return static_cast<int>(send(Fd(s), buf, static_cast<size_t>(len), MSG_NOSIGNAL));
}

int PlatformSocketRecvFrom(sock_t s, void* buf, int len, sockaddr_in* from) {
  if (len < 0) len = 0;
  sockaddr_in tmp;
  memset(&tmp, 0, sizeof tmp);
  socklen_t alen = AddrLen();
  int n = static_cast<int>(
      recvfrom(Fd(s), buf, static_cast<size_t>(len), 0, reinterpret_cast<sockaddr*>(&tmp), &alen));
  if (from != nullptr) *from = tmp;
  return n;
}

int PlatformSocketSendTo(sock_t s, const void* buf, int len, const sockaddr_in* to) {
  if (len < 0) len = 0;
  return static_cast<int>(sendto(Fd(s), buf, static_cast<size_t>(len), MSG_NOSIGNAL,
                                 reinterpret_cast<const sockaddr*>(to), AddrLen()));
}

int PlatformSocketLastError() {
  return errno;
}

void PlatformSocketSetLastError(int err) {
  errno = err;
}

const char* PlatformSocketErrorText(int err) {
  return strerror(err);
}

bool PlatformSocketErrorIsTransient(int err) {
  return err == EINTR || err == EINPROGRESS || err == EAGAIN || err == EWOULDBLOCK;
}

bool PlatformSocketErrorIsExhaustion(int err) {
  return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

void PlatformSocketSetZero(PlatformSocketSet* set) {
  FD_ZERO(&set->fds);
}

bool PlatformSocketSelectable(sock_t s) {
  return s >= 0 && s < FD_SETSIZE;
}

bool PlatformSocketSetAdd(PlatformSocketSet* set, sock_t s) {
  if (!PlatformSocketSelectable(s)) return false;
  FD_SET(Fd(s), &set->fds);
  return true;
}

bool PlatformSocketSetHas(const PlatformSocketSet* set, sock_t s) {
  return PlatformSocketSelectable(s) && FD_ISSET(Fd(s), &set->fds);
}

int PlatformSelect(sock_t max_sock, PlatformSocketSet* read_set, PlatformSocketSet* write_set,
                   PlatformSocketSet* except_set, const timeval* timeout) {
  // select() may change its time-out argument; the caller's stays intact.
  timeval tv = timeout != nullptr ? *timeout : timeval{0, 0};
  int nfds = max_sock >= 0 && max_sock < FD_SETSIZE ? Fd(max_sock) + 1 : 0;
  if (max_sock >= FD_SETSIZE) nfds = FD_SETSIZE;
  return select(nfds, read_set != nullptr ? &read_set->fds : nullptr,
                write_set != nullptr ? &write_set->fds : nullptr,
                except_set != nullptr ? &except_set->fds : nullptr,
                timeout != nullptr ? &tv : nullptr);
}
