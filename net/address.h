// Address strings of the network layer ("8000", ":8000", "udp://1.2.3.4:53",
// "name:8000") turned into IPv4 socket addresses, with host names looked up in
// the hosts file only (no DNS). Pure functions over caller-owned buffers; the
// hosts-file path is process-wide and set before the poll loop starts.
#pragma once

#include <cstddef>

#include "platform/socket.h"

// Host-name buffer that ns_bind_opt hands to ns_parse_address.
inline constexpr size_t kHostNameBytes = 200;
// Longest hosts-file line read at once, and longest name compared there.
inline constexpr size_t kHostsLineBytes = 1024;
inline constexpr size_t kHostsWordBytes = 256;

// Parses [udp:// | tcp://] then a.b.c.d:port, name:port, :port or port.
// Fills *sa (AF_INET, network byte order) and *sock_type (SOCK_STREAM or
// SOCK_DGRAM); a name is copied into host (host_len bytes) and looked up with
// ns_resolve_from_hosts. Returns the characters consumed after the scheme
// (> 0), 0 when the name is not in the hosts file, -1 when the string does
// not parse: trailing characters, a port of 65535 or more, a number beyond 32
// bits, or a dotted address with a part above 255.
int ns_parse_address(const char* str, sockaddr_in* sa, int* sock_type, char* host, size_t host_len);

// True when the string (after an optional scheme) names a host before its
// port (a.b.c.d:port, name:port), false for a port alone (port, :port). The
// string need not parse.
bool ns_address_names_host(const char* str);

// Looks the name up in the hosts file (exact, case-sensitive match against
// the names after an IPv4 address; '#' starts a comment). Fills sa's address
// and returns 0 when found, -1 otherwise or when the file cannot be read.
int ns_resolve_from_hosts(const char* name, sockaddr_in* sa);

// The hosts file read by ns_resolve_from_hosts; null restores the platform's
// file (kHostsFilePath). The string must outlive its use.
void ns_set_hosts_path(const char* path);
