// Address strings, the hosts-file lookup and binding listeners.
#include "net/address.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "net_test_util.h"
#include "tests/temp_dir.h"

using namespace nettest;

namespace {

void UserHandlerForBind(ns_conn*, int, void*) {}

// A hosts file of the test's own; removed and unset at the end.
class HostsFile {
 public:
  explicit HostsFile(const std::string& content) {
    path_ = dir_.File("hosts");
    FILE* f = fopen(path_.c_str(), "wb");
    EXPECT_NE(f, nullptr);
    if (f != nullptr) {
      EXPECT_EQ(fwrite(content.data(), 1, content.size(), f), content.size());
      fclose(f);
    }
    ns_set_hosts_path(path_.c_str());
  }
  ~HostsFile() { ns_set_hosts_path(nullptr); }

 private:
  testutil::TempDir dir_{"kv-net-hosts-"};
  std::string path_;
};

std::string LongLineWith(const std::string& tail) {
  // An address line whose names run past the 1023 characters read at once.
  return "10.9.9.9 " + std::string(1010, 'p') + " " + tail + "\n";
}

const char* const kHosts =
    "# comment line 10.0.0.1 commented\n"
    "127.0.0.1\tlocalhost\n"
    "10.1.2.3   myhost  alias   # trailing-comment\n"
    "  10.4.5.6 indented\n"
    "::1 v6host\n"
    "300.1.1.1 bigpart\n"
    "10.7.7.7glued\n"
    "not-an-address name\n";

struct ParseCase {
  const char* input;
  int result;
  int type;
  const char* addr;  // dotted, for a successful parse
  int port;
  const char* why;
};

TEST(ParseAddress, FormsResultsAndRefusals) {
  HostsFile hosts(std::string(kHosts) + LongLineWith("cutname") + "10.8.8.8 afterlong\n");
  const ParseCase cases[] = {
      {"8000", 4, SOCK_STREAM, "0.0.0.0", 8000, "port alone"},
      {":8000", 5, SOCK_STREAM, "0.0.0.0", 8000, "colon and port"},
      {"tcp://8000", 4, SOCK_STREAM, "0.0.0.0", 8000, "stream scheme"},
      {"127.0.0.1:8000", 14, SOCK_STREAM, "127.0.0.1", 8000, "dotted address"},
      {"udp://1234", 4, SOCK_DGRAM, "0.0.0.0", 1234, "datagram scheme"},
      {"udp://10.0.0.5:53", 11, SOCK_DGRAM, "10.0.0.5", 53, "datagram with address"},
      {"65534", 5, SOCK_STREAM, "0.0.0.0", 65534, "highest port taken"},
      {"0", 1, SOCK_STREAM, "0.0.0.0", 0, "ephemeral port"},
      {"myhost:8000", 11, SOCK_STREAM, "10.1.2.3", 8000, "name in the hosts file"},
      {"alias:1", 7, SOCK_STREAM, "10.1.2.3", 1, "second name on a line"},
      {"indented:2", 10, SOCK_STREAM, "10.4.5.6", 2, "line starting with blanks"},
      {"localhost:80", 12, SOCK_STREAM, "127.0.0.1", 80, "tab separated"},
      {"afterlong:3", 11, SOCK_STREAM, "10.8.8.8", 3, "line after an overlong line"},
      {"8000x", -1, 0, nullptr, 0, "trailing characters"},
      {"1.2.3.4", -1, 0, nullptr, 0, "address without port"},
      {"65535", -1, 0, nullptr, 0, "port 65535 refused"},
      {"1.2.3.4:70000", -1, 0, nullptr, 0, "port beyond 16 bits"},
      {"4294975296", -1, 0, nullptr, 0, "port that wraps 32 bits to 8000"},
      {"-1", -1, 0, nullptr, 0, "negative port"},
      {"", -1, 0, nullptr, 0, "empty"},
      {":", -1, 0, nullptr, 0, "colon alone"},
      {"tcp://", -1, 0, nullptr, 0, "scheme alone"},
      {"http://8000", -1, 0, nullptr, 0, "unknown scheme"},
      {"MyHost:8000", 0, 0, nullptr, 0, "names are case-sensitive"},
      {"nohost:8000", 0, 0, nullptr, 0, "name not in the file"},
      {"commented:1", 0, 0, nullptr, 0, "commented-out line"},
      {"trailing-comment:1", 0, 0, nullptr, 0, "comment after the names"},
      {"v6host:1", 0, 0, nullptr, 0, "IPv6 line skipped"},
      {"bigpart:1", 0, 0, nullptr, 0, "address part above 255 in the file"},
      {"glued:1", 0, 0, nullptr, 0, "address glued to a name"},
      {"cutname:1", 0, 0, nullptr, 0, "name beyond the line limit"},
      {"300.1.1.1:80", 0, 0, nullptr, 0, "part above 255 is not an address"},
  };
  for (const ParseCase& c : cases) {
    sockaddr_in sa;
    int type = -1;
    char host[kHostNameBytes];
    int r = ns_parse_address(c.input, &sa, &type, host, sizeof host);
    EXPECT_EQ(r, c.result) << c.input << ": " << c.why;
    EXPECT_EQ(sa.sin_family, AF_INET) << c.input;
    if (c.result > 0 && r > 0) {
      char text[INET_ADDRSTRLEN];
      inet_ntop(AF_INET, &sa.sin_addr, text, sizeof text);
      EXPECT_STREQ(text, c.addr) << c.input;
      EXPECT_EQ(ntohs(sa.sin_port), c.port) << c.input;
      EXPECT_EQ(type, c.type) << c.input;
    }
  }
}

// A port alone binds the loopback interface only (the service decides so);
// an address or name before the port is bound as given.
TEST(ParseAddress, NamesHostTellsAddressesFromBarePorts) {
  struct Row {
    const char* address;
    bool names_host;
  };
  const Row rows[] = {
      {"8000", false},
      {":8000", false},
      {"tcp://8000", false},
      {"udp://:53", false},
      {"0", false},
      {"", false},
      {"127.0.0.1:8000", true},
      {"0.0.0.0:8000", true},
      {"localhost:8000", true},
      {"tcp://10.0.0.1:1", true},
      {"8000x", false},
      {"nohost.x:80", true},
  };
  for (const Row& r : rows) EXPECT_EQ(ns_address_names_host(r.address), r.names_host) << r.address;
  EXPECT_FALSE(ns_address_names_host(nullptr));
}

TEST(ParseAddress, NameTooLongForTheHostBufferIsNotLookedUp) {
  HostsFile hosts("10.1.1.1 " + std::string(250, 'n') + "\n");
  std::string input = std::string(250, 'n') + ":80";
  sockaddr_in sa;
  int type;
  char host[kHostNameBytes];
  EXPECT_EQ(ns_parse_address(input.c_str(), &sa, &type, host, sizeof host), -1);
}

TEST(ResolveFromHosts, MissingFileAndNullName) {
  ns_set_hosts_path("/nonexistent/kv-hosts");
  sockaddr_in sa{};
  EXPECT_EQ(ns_resolve_from_hosts("localhost", &sa), -1);
  ns_set_hosts_path(nullptr);
  EXPECT_EQ(ns_resolve_from_hosts(nullptr, &sa), -1);
}

struct BindCase {
  const char* address;
  const char* error;  // null: bound
  const char* why;
};

TEST(Bind, RefusedAddressesReportCannotParse) {
  HostsFile hosts("10.1.2.3 present\n");
  Manager m;
  const BindCase cases[] = {
      {"8000x", "cannot parse address", "trailing characters"},
      {"1.2.3.4", "cannot parse address", "no port"},
      {"65535", "cannot parse address", "port too high"},
      {"absent:0", "cannot parse address", "name not in hosts"},
  };
  for (const BindCase& c : cases) {
    const char* err = nullptr;
    ns_bind_opts opts{};
    opts.error_string = &err;
    EXPECT_EQ(ns_bind_opt(&m.mgr, c.address, nullptr, opts), nullptr) << c.why;
    EXPECT_STREQ(err, c.error) << c.why;
  }
  EXPECT_EQ(m.mgr.connections, nullptr);
  EXPECT_EQ(ns_bind(&m.mgr, "nonsense", nullptr), nullptr);  // no error_string: no crash
}

TEST(Bind, StreamDatagramAndChosenPort) {
  HostsFile hosts("127.0.0.1 loopname\n");
  Manager m;
  struct Case {
    const char* address;
    uint32_t flag;
    uint32_t addr;
  };
  const Case cases[] = {
      {"0", NCF_LISTENING, INADDR_ANY},
      {":0", NCF_LISTENING, INADDR_ANY},
      {"tcp://127.0.0.1:0", NCF_LISTENING, INADDR_LOOPBACK},
      {"loopname:0", NCF_LISTENING, INADDR_LOOPBACK},
      {"udp://127.0.0.1:0", NCF_UDP, INADDR_LOOPBACK},
  };
  for (const Case& c : cases) {
    ns_bind_opts opts{nullptr, NCF_USER_2 | NCF_LISTENING, nullptr};
    ns_conn* nc = ns_bind_opt(&m.mgr, c.address, UserHandlerForBind, opts);
    ASSERT_NE(nc, nullptr) << c.address;
    EXPECT_EQ(nc->flags, c.flag | NCF_USER_2) << c.address;
    EXPECT_NE(PortOf(nc), 0) << "chosen port is reported: " << c.address;
    EXPECT_EQ(ntohl(nc->sa.sin_addr.s_addr), c.addr) << c.address;
    EXPECT_EQ(nc->handler, UserHandlerForBind);
    EXPECT_EQ(m.mgr.connections, nc);
    // Non-blocking: with nothing pending the socket says "try again" at once.
    if (c.flag == NCF_LISTENING) {
      EXPECT_EQ(PlatformSocketAccept(nc->sock, nullptr), kInvalidSocket) << c.address;
    } else {
      char byte;
      EXPECT_LT(PlatformSocketRecvFrom(nc->sock, &byte, 1, nullptr), 0) << c.address;
    }
    EXPECT_TRUE(PlatformSocketErrorIsTransient(PlatformSocketLastError())) << c.address;
    EXPECT_FALSE(PlatformSocketInheritable(nc->sock)) << c.address;
  }
}

// A port in use stays with its holder, whether that is another program's
// plain socket or another listener of ours (which asks for address reuse).
// Windows' SO_REUSEADDR would let the second listener share the port.
TEST(Bind, PortInUseFailsToOpen) {
  Manager holder_mgr;
  sock_t plain = PlatformSocketOpen(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(PlatformSocketBind(plain, &sa), 0);
  ASSERT_EQ(PlatformSocketListen(plain, 1), 0);
  ASSERT_EQ(PlatformSocketLocalAddress(plain, &sa), 0);
  ns_conn* ours = ns_bind(&holder_mgr.mgr, "127.0.0.1:0", nullptr);
  ASSERT_NE(ours, nullptr);

  struct Case {
    uint16_t port;
    const char* why;
  } cases[] = {
      {ntohs(sa.sin_port), "held by a plain socket without address reuse"},
      {PortOf(ours), "held by another listener of the service"},
  };
  for (const Case& c : cases) {
    Manager m;
    const char* err = nullptr;
    ns_bind_opts opts{};
    opts.error_string = &err;
    std::string address = "127.0.0.1:" + std::to_string(c.port);
    EXPECT_EQ(ns_bind_opt(&m.mgr, address.c_str(), nullptr, opts), nullptr) << c.why;
    EXPECT_STREQ(err, "failed to open listener") << c.why;
    EXPECT_EQ(m.mgr.connections, nullptr) << c.why;
  }
  PlatformSocketClose(plain);
}

}  // namespace
