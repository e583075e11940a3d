// Address strings of every shape, plus a hosts file of the fuzzer's making:
// the first input line is parsed as an address, the rest is the hosts file.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "net/address.h"

namespace {

const char* HostsPath() {
  static std::string path = [] {
    char tmpl[] = "/tmp/kv-fuzz-hosts-XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd >= 0) close(fd);
    return std::string(tmpl);
  }();
  return path.c_str();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* end = static_cast<const char*>(memchr(data, '\n', size));
  size_t addr_len =
      end != nullptr ? static_cast<size_t>(end - reinterpret_cast<const char*>(data)) : size;
  // The address is a C string: an exact-size heap copy lets ASan see any
  // read past its terminator.
  char* address = static_cast<char*>(malloc(addr_len + 1));
  memcpy(address, data, addr_len);
  address[addr_len] = '\0';

  FILE* f = fopen(HostsPath(), "wb");
  if (f != nullptr) {
    if (end != nullptr) fwrite(end + 1, 1, size - addr_len - 1, f);
    fclose(f);
  }
  ns_set_hosts_path(HostsPath());

  // The service's choice between loopback-only and as-given listening.
  if (ns_address_names_host(address) && strchr(address, ':') == nullptr) abort();

  sockaddr_in sa;
  int type = 0;
  for (size_t host_len : {size_t{1}, size_t{16}, kHostNameBytes}) {
    char* host = static_cast<char*>(malloc(host_len));
    int r = ns_parse_address(address, &sa, &type, host, host_len);
    if (r > 0 && (static_cast<size_t>(r) > addr_len || ntohs(sa.sin_port) >= 65535)) abort();
    if (r > 0 && type != SOCK_STREAM && type != SOCK_DGRAM) abort();
    free(host);
  }
  free(address);
  return 0;
}
