// Address strings and the hosts-file lookup.
#include "net/address.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

const char* g_hosts_path = nullptr;

constexpr unsigned kPortLimit = 65535;  // ports at or above it are refused

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Reads an unsigned decimal number as scanf's %u does (leading white space
// and a '+' allowed) but refuses a '-' and any value beyond 32 bits, which
// %u would silently wrap into a small, valid-looking port.
bool ScanU32(std::string_view s, size_t* pos, uint32_t* out) {
  size_t i = *pos;
  while (i < s.size() && IsSpace(s[i])) i++;
  if (i < s.size() && s[i] == '+') i++;
  size_t digits = i;
  uint64_t v = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
    v = v * 10 + static_cast<uint64_t>(s[i] - '0');
    if (v > UINT32_MAX) return false;
    i++;
  }
  if (i == digits) return false;
  *out = static_cast<uint32_t>(v);
  *pos = i;
  return true;
}

bool ScanChar(std::string_view s, size_t* pos, char c) {
  if (*pos >= s.size() || s[*pos] != c) return false;
  (*pos)++;
  return true;
}

// "a.b.c.d" as a host-order address. A part above 255 is not an IPv4
// address: combining it by shifting would silently name another host.
bool ScanDotted(std::string_view s, size_t* pos, uint32_t* addr) {
  uint32_t part[4];
  size_t i = *pos;
  for (int k = 0; k < 4; k++) {
    if (k > 0 && !ScanChar(s, &i, '.')) return false;
    if (!ScanU32(s, &i, &part[k]) || part[k] > 255) return false;
  }
  *addr = (part[0] << 24) | (part[1] << 16) | (part[2] << 8) | part[3];
  *pos = i;
  return true;
}

}  // namespace

void ns_set_hosts_path(const char* path) {
  g_hosts_path = path;
}

int ns_resolve_from_hosts(const char* name, sockaddr_in* sa) {
  if (name == nullptr) return -1;
  FILE* fp = fopen(g_hosts_path != nullptr ? g_hosts_path : kHostsFilePath, "r");
  if (fp == nullptr) return -1;
  const std::string_view wanted(name);
  char line[kHostsLineBytes];
  int result = -1;
  while (result != 0 && fgets(line, sizeof line, fp) != nullptr) {
    std::string_view text(line, strlen(line));
    // A line longer than the buffer: its words up to the cut are read, the
    // word cut in two is not (its front could match a shorter name), and the
    // rest of the line is skipped rather than read as a line of its own.
    bool cut = !text.empty() && text.back() != '\n' && !feof(fp);
    if (cut) {
      int ch;
      while ((ch = fgetc(fp)) != EOF && ch != '\n') {
      }
    }
    if (text.empty() || text[0] == '#') continue;
    size_t pos = 0;
    uint32_t addr = 0;
    if (!ScanDotted(text, &pos, &addr)) continue;
    if (pos < text.size() && !IsSpace(text[pos])) continue;
    while (pos < text.size()) {
      while (pos < text.size() && IsSpace(text[pos])) pos++;
      size_t start = pos;
      while (pos < text.size() && !IsSpace(text[pos])) pos++;
      std::string_view word = text.substr(start, pos - start);
      if (word.empty() || word[0] == '#') break;  // end of line or a comment
      if (cut && pos == text.size()) break;
      if (word.size() < kHostsWordBytes && word == wanted) {
        sa->sin_addr.s_addr = htonl(addr);
        result = 0;
        break;
      }
    }
  }
  fclose(fp);
  return result;
}

bool ns_address_names_host(const char* str) {
  if (str == nullptr) return false;
  std::string_view s(str);
  for (std::string_view scheme : {"udp://", "tcp://"}) {
    if (s.substr(0, scheme.size()) == scheme) s.remove_prefix(scheme.size());
  }
  const size_t colon = s.find(':');
  return colon != std::string_view::npos && colon > 0;
}

int ns_parse_address(const char* str, sockaddr_in* sa, int* sock_type, char* host,
                     size_t host_len) {
  memset(sa, 0, sizeof *sa);
  sa->sin_family = AF_INET;
  *sock_type = SOCK_STREAM;
  if (str == nullptr) return -1;

  if (strncmp(str, "udp://", 6) == 0) {
    str += 6;
    *sock_type = SOCK_DGRAM;
  } else if (strncmp(str, "tcp://", 6) == 0) {
    str += 6;
  }
  const std::string_view s(str);

  uint32_t port = 0;
  uint32_t addr = 0;
  size_t len = 0;
  size_t pos = 0;
  if (ScanDotted(s, &pos, &addr) && ScanChar(s, &pos, ':') && ScanU32(s, &pos, &port)) {
    sa->sin_addr.s_addr = htonl(addr);
    len = pos;
  } else {
    // name:port, when the name can be held by the caller's buffer.
    size_t name_end = s.find_first_of(" :");
    pos = name_end;
    bool named = host != nullptr && s.size() < host_len && name_end != std::string_view::npos &&
                 name_end > 0 && ScanChar(s, &pos, ':') && ScanU32(s, &pos, &port);
    if (named) {
      memcpy(host, str, name_end);
      host[name_end] = '\0';
      len = pos;
      sa->sin_port = htons(static_cast<uint16_t>(port));
      if (ns_resolve_from_hosts(host, sa) != 0) return 0;
    } else {
      pos = 0;
      bool colon = ScanChar(s, &pos, ':') && ScanU32(s, &pos, &port);
      if (!colon) {
        pos = 0;
        if (!ScanU32(s, &pos, &port)) return -1;
      }
      len = pos;
    }
  }

  if (port >= kPortLimit || len != s.size()) return -1;
  sa->sin_port = htons(static_cast<uint16_t>(port));
  return static_cast<int>(len);
}
