// Windows sockets 2 forms of the socket calls of socket.h. The rest of
// windows.h comes through winsock2.h, which must be included first.
#include <stdio.h>
#include <string.h>

#include "platform/socket.h"

namespace {

constexpr size_t kErrorTextBytes = 256;

SOCKET Sock(sock_t s) {
  return static_cast<SOCKET>(s);
}

sock_t FromSocket(SOCKET s) {
  return s == INVALID_SOCKET ? kInvalidSocket : static_cast<sock_t>(s);
}

int AddrLen() {
  return static_cast<int>(sizeof(sockaddr_in));
}

// Windows sockets must be started before the first call; a socket made before
// PlatformSocketStartup (a test's client, say) starts them here, once.
bool EnsureStarted() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
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

sockaddr_in6 Loopback6(uint16_t port) {
  sockaddr_in6 sa;
  memset(&sa, 0, sizeof sa);
  sa.sin6_family = AF_INET6;
  sa.sin6_port = htons(port);
  sa.sin6_addr = in6addr_loopback;
  return sa;
}

int ClearInherit(SOCKET s) {
  return SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0) ? 0 : -1;
}

}  // namespace

int PlatformSocketStartup() {
  return EnsureStarted() ? 0 : -1;
}

sock_t PlatformSocketOpen(int family, int type, int protocol) {
  if (!EnsureStarted()) return kInvalidSocket;
  // Not inheritable from the start, so that no process started meanwhile by
  // another thread gets a copy.
  SOCKET s = WSASocketW(family, type, protocol, nullptr, 0,
                        WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET && WSAGetLastError() == WSAEINVAL) {
    // Systems before Windows 7 SP1 do not know the flag.
    s = socket(family, type, protocol);
    if (s != INVALID_SOCKET) ClearInherit(s);
  }
  return FromSocket(s);
}

void PlatformSocketClose(sock_t s) {
  if (s != kInvalidSocket) closesocket(Sock(s));
}

int PlatformSocketSetNonBlocking(sock_t s) {
  u_long on = 1;
  return ioctlsocket(Sock(s), FIONBIO, &on) == 0 ? 0 : -1;
}

int PlatformSocketSetNonInheritable(sock_t s) {
  return ClearInherit(Sock(s));
}

int PlatformSocketSetReuseAddress(sock_t) {
  return 0;
}

int PlatformSocketSetIntOption(sock_t s, int level, int name, int value) {
  return setsockopt(Sock(s), level, name, reinterpret_cast<const char*>(&value), sizeof value) == 0
             ? 0
             : -1;
}

int PlatformSocketSetReceiveTimeout(sock_t s, unsigned ms) {
  DWORD timeout = ms;  // Windows takes milliseconds, not a timeval
  return setsockopt(Sock(s), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
                    sizeof timeout) == 0
             ? 0
             : -1;
}

int PlatformSocketBind(sock_t s, const sockaddr_in* sa) {
  return bind(Sock(s), reinterpret_cast<const sockaddr*>(sa), AddrLen()) == 0 ? 0 : -1;
}

int PlatformSocketBindLoopback6(sock_t s, uint16_t port) {
  DWORD on = 1;
  if (setsockopt(Sock(s), IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&on),
                 sizeof on) != 0) {
    return -1;
  }
  const sockaddr_in6 sa = Loopback6(port);
  return bind(Sock(s), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0 ? 0 : -1;
}

int PlatformSocketConnectLoopback6(sock_t s, uint16_t port) {
  const sockaddr_in6 sa = Loopback6(port);
  return connect(Sock(s), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0 ? 0 : -1;
}

int PlatformSocketListen(sock_t s, int backlog) {
  return listen(Sock(s), backlog) == 0 ? 0 : -1;
}

int PlatformSocketConnect(sock_t s, const sockaddr_in* sa) {
  return connect(Sock(s), reinterpret_cast<const sockaddr*>(sa), AddrLen()) == 0 ? 0 : -1;
}

int PlatformSocketLocalAddress(sock_t s, sockaddr_in* sa) {
  sockaddr_storage ss;
  memset(&ss, 0, sizeof ss);
  int len = static_cast<int>(sizeof ss);
  const int rc = getsockname(Sock(s), reinterpret_cast<sockaddr*>(&ss), &len) == 0 ? 0 : -1;
  ToIpv4Record(ss, sa);
  return rc;
}

int PlatformSocketPeerAddress(sock_t s, sockaddr_in* sa) {
  sockaddr_storage ss;
  memset(&ss, 0, sizeof ss);
  int len = static_cast<int>(sizeof ss);
  const int rc = getpeername(Sock(s), reinterpret_cast<sockaddr*>(&ss), &len) == 0 ? 0 : -1;
  ToIpv4Record(ss, sa);
  return rc;
}

int PlatformSocketShutdownWrite(sock_t s) {
  return shutdown(Sock(s), SD_SEND) == 0 ? 0 : -1;
}

sock_t PlatformSocketAccept(sock_t s, sockaddr_in* peer) {
  sockaddr_storage ss;
  memset(&ss, 0, sizeof ss);
  int len = static_cast<int>(sizeof ss);
  SOCKET a = accept(Sock(s), reinterpret_cast<sockaddr*>(&ss), &len);
  if (a == INVALID_SOCKET) return kInvalidSocket;
  // accept() has no flag for it: the new socket is made non-inheritable at
  // once, before it is handed out.
  if (ClearInherit(a) != 0) {
    const int err = WSAGetLastError();
    closesocket(a);
    WSASetLastError(err);
    return kInvalidSocket;
  }
  if (peer != nullptr) ToIpv4Record(ss, peer);
  return FromSocket(a);
}

bool PlatformSocketInheritable(sock_t s) {
  DWORD flags = 0;
  return GetHandleInformation(reinterpret_cast<HANDLE>(Sock(s)), &flags) &&
         (flags & HANDLE_FLAG_INHERIT) != 0;
}

int PlatformSocketRecv(sock_t s, void* buf, int len) {
  if (len < 0) len = 0;
  return recv(Sock(s), static_cast<char*>(buf), len, 0);
}

int PlatformSocketSend(sock_t s, const void* buf, int len) {
  if (len < 0) len = 0;
  return send(Sock(s), static_cast<const char*>(buf), len, 0);
}

int PlatformSocketRecvFrom(sock_t s, void* buf, int len, sockaddr_in* from) {
  if (len < 0) len = 0;
  sockaddr_in tmp;
  memset(&tmp, 0, sizeof tmp);
  int alen = AddrLen();
  int n =
      recvfrom(Sock(s), static_cast<char*>(buf), len, 0, reinterpret_cast<sockaddr*>(&tmp), &alen);
  // Windows fills the buffer with the front of a longer datagram and then
  // fails with WSAEMSGSIZE; POSIX returns the front. Both give the front.
  if (n < 0 && WSAGetLastError() == WSAEMSGSIZE) n = len;
  if (from != nullptr) *from = tmp;
  return n;
}

int PlatformSocketSendTo(sock_t s, const void* buf, int len, const sockaddr_in* to) {
  if (len < 0) len = 0;
  return sendto(Sock(s), static_cast<const char*>(buf), len, 0,
                reinterpret_cast<const sockaddr*>(to), AddrLen());
}

int PlatformSocketLastError() {
  return WSAGetLastError();
}

void PlatformSocketSetLastError(int err) {
  WSASetLastError(err);
}

const char* PlatformSocketErrorText(int err) {
  thread_local char text[kErrorTextBytes];
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           static_cast<DWORD>(err), 0, text, sizeof text, nullptr);
  // The system's texts end in a line break; diagnostics add their own.
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' ')) n--;
  if (n == 0) {
    snprintf(text, sizeof text, "socket error %d", err);
  } else {
    text[n] = '\0';
  }
  return text;
}

bool PlatformSocketErrorIsTransient(int err) {
  return err == WSAEINTR || err == WSAEINPROGRESS || err == WSAEWOULDBLOCK;
}

bool PlatformSocketErrorIsExhaustion(int err) {
  return err == WSAEMFILE || err == WSAENOBUFS;
}

void PlatformSocketSetZero(PlatformSocketSet* set) {
  FD_ZERO(&set->fds);
}

bool PlatformSocketSelectable(sock_t s) {
  return s != kInvalidSocket;
}

bool PlatformSocketSetAdd(PlatformSocketSet* set, sock_t s) {
  if (!PlatformSocketSelectable(s)) return false;
  if (PlatformSocketSetHas(set, s)) return true;
  // FD_SET would drop the socket silently on a full set; say so instead.
  if (set->fds.fd_count >= FD_SETSIZE) return false;
  set->fds.fd_array[set->fds.fd_count++] = Sock(s);
  return true;
}

bool PlatformSocketSetHas(const PlatformSocketSet* set, sock_t s) {
  if (!PlatformSocketSelectable(s)) return false;
  for (u_int i = 0; i < set->fds.fd_count; i++) {
    if (set->fds.fd_array[i] == Sock(s)) return true;
  }
  return false;
}

int PlatformSelect(sock_t, PlatformSocketSet* read_set, PlatformSocketSet* write_set,
                   PlatformSocketSet* except_set, const timeval* timeout) {
  auto empty = [](const PlatformSocketSet* set) {
    return set == nullptr || set->fds.fd_count == 0;
  };
  if (empty(read_set) && empty(write_set) && empty(except_set)) {
    // select() fails at once with WSAEINVAL on three empty sets; a pass
    // without sockets must still take its time, as it does on POSIX.
    if (timeout == nullptr) {
      Sleep(INFINITE);
    } else {
      Sleep(static_cast<DWORD>(timeout->tv_sec) * 1000 +
            static_cast<DWORD>(timeout->tv_usec) / 1000);
    }
    return 0;
  }
  timeval tv = timeout != nullptr ? *timeout : timeval{0, 0};
  return select(0, empty(read_set) ? nullptr : &read_set->fds,
                empty(write_set) ? nullptr : &write_set->fds,
                empty(except_set) ? nullptr : &except_set->fds, timeout != nullptr ? &tv : nullptr);
}
