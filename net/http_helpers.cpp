#include "net/http_helpers.h"

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "net/event_manager.h"

namespace {

int HexValue(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Appends formatted text at *pos while room is left, keeping dst terminated.
void AppendText(char* dst, size_t dst_len, size_t* pos, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

void AppendText(char* dst, size_t dst_len, size_t* pos, const char* format, ...) {
  if (*pos + 1 >= dst_len) return;
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(dst + *pos, dst_len - *pos, format, ap);
  va_end(ap);
  if (n < 0) return;
  size_t room = dst_len - *pos - 1;
  *pos += static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room;
}

}  // namespace

int http_url_decode(const char* src, size_t src_len, char* dst, size_t dst_len, bool is_form) {
  if (dst == nullptr || dst_len == 0) return -1;
  // The result is an int: never decode more than it can count.
  const size_t cap = dst_len - 1 < static_cast<size_t>(INT_MAX) ? dst_len - 1 : INT_MAX;
  size_t i = 0;
  size_t j = 0;
  for (; i < src_len && j < cap; i++, j++) {
    const unsigned char c = static_cast<unsigned char>(src[i]);
    if (c == '%') {
      if (i + 2 >= src_len) return dst[j] = '\0', -1;
      const int hi = HexValue(static_cast<unsigned char>(src[i + 1]));
      const int lo = HexValue(static_cast<unsigned char>(src[i + 2]));
      if (hi < 0 || lo < 0) return dst[j] = '\0', -1;
      dst[j] = static_cast<char>((hi << 4) | lo);
      i += 2;
    } else if (c == '+' && is_form) {
      dst[j] = ' ';
    } else {
      dst[j] = static_cast<char>(c);
    }
  }
  dst[j] = '\0';
  return i < src_len ? -1 : static_cast<int>(j);
}

int http_form_var(const ns_str* form, const char* name, char* dst, size_t dst_len) {
  if (dst == nullptr || dst_len == 0) return -2;
  dst[0] = '\0';
  if (form == nullptr || form->data == nullptr || form->len == 0 || name == nullptr) return -1;

  const size_t k = strlen(name);
  const char* p = form->data;
  const char* end = form->data + form->len;
  for (; k < static_cast<size_t>(end - p); p++) {
    if ((p == form->data || p[-1] == '&') && p[k] == '=' &&
        ascii_ncompare_nocase(p, name, k) == 0) {
      const char* value = p + k + 1;
      const void* amp = memchr(value, '&', static_cast<size_t>(end - value));
      const char* value_end = amp != nullptr ? static_cast<const char*>(amp) : end;
      const int r =
          http_url_decode(value, static_cast<size_t>(value_end - value), dst, dst_len, true);
      return r == -1 ? -2 : r;
    }
  }
  return -1;
}

void sock_addr_to_text(sock_t sock, char* buf, size_t buf_len, int flags) {
  if (buf == nullptr || buf_len == 0) return;
  buf[0] = '\0';

  sockaddr_in sa{};
  const int r = (flags & NS_SOCK_ADDR_PEER) ? PlatformSocketPeerAddress(sock, &sa)
                                            : PlatformSocketLocalAddress(sock, &sa);
  if (r != 0 || sa.sin_family != AF_INET) sa = sockaddr_in{};

  if (flags & NS_SOCK_ADDR_IP) {
    char ip[INET_ADDRSTRLEN] = "0.0.0.0";
    inet_ntop(AF_INET, &sa.sin_addr, ip, sizeof(ip));
    snprintf(buf, buf_len, "%s", ip);
    if (flags & NS_SOCK_ADDR_PORT) {
      const size_t used = strlen(buf);
      // One byte of the room is held back, as the address text has always been cut.
      if (buf_len - used > 1) snprintf(buf + used, buf_len - used - 1, ":%d", ntohs(sa.sin_port));
    }
  } else if (flags & NS_SOCK_ADDR_PORT) {
    snprintf(buf, buf_len, "%d", ntohs(sa.sin_port));
  }
}

int hexdump_to_text(const void* data, size_t len, char* dst, size_t dst_len) {
  if (dst == nullptr || dst_len == 0) return 0;
  dst[0] = '\0';
  if (len == 0) return 0;

  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  char ascii[17] = {0};
  size_t pos = 0;
  size_t i = 0;
  for (; i < len; i++) {
    const size_t col = i % 16;
    if (col == 0) {
      if (i > 0) AppendText(dst, dst_len, &pos, "  %s\n", ascii);
      AppendText(dst, dst_len, &pos, "%04zx ", i);
    }
    AppendText(dst, dst_len, &pos, " %02x", bytes[i]);
    ascii[col] = (bytes[i] < 0x20 || bytes[i] > 0x7e) ? '.' : static_cast<char>(bytes[i]);
    ascii[col + 1] = '\0';
  }
  for (; i % 16 != 0; i++) AppendText(dst, dst_len, &pos, "   ");
  AppendText(dst, dst_len, &pos, "  %s\n\n", ascii);
  return static_cast<int>(pos);
}
