// The protocol handler fed past the bound of one request: a framing the
// input picks, a head taken from the input, then the input's tail repeated,
// in reads of a size the input picks, until the stream is well over
// kHttpMaxRequestBytes or the connection ends. Whatever the bytes, the
// receive buffer never holds more than the bound and one read, a request is
// never delivered larger than the bound, and nothing is kept once the
// connection is closing.
//
// Byte 0: bits 0-1 framing (Content-Length near the bound, chunked, an
// upgraded WebSocket, none), bits 2-3 the read size (1 KiB << n, around the
// service's 2 KiB reads: a request or frame delivered from a read moves the
// rest of it, so larger reads only cost time), bits 5-7 where the
// Content-Length sits around the bound. Byte 1: how many of the remaining
// bytes are the head; the rest is the filler.
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz_conn.h"

namespace {

constexpr size_t kWsSlackBytes = 5 + 14;  // reassembly prefix and one frame header

std::string Prefix(uint8_t ctl) {
  switch (ctl & 3) {
    case 0: {
      const size_t length = kHttpMaxRequestBytes - 160 + (ctl >> 5) * 40;
      return "POST /VRNMatchScore HTTP/1.1\r\nContent-Length: " + std::to_string(length) + "\r\n";
    }
    case 1:
      return "POST /VRNMatchScore HTTP/1.1\r\nTransfer-Encoding: chunked\r\n";
    case 2:
      return "GET /ws HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
             "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n";
    default:
      return "";
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3 || size > 1 << 16) return 0;
  const uint8_t ctl = data[0];
  const size_t rest = size - 2;
  const size_t head_len = data[1] % (rest + 1);
  std::string head = Prefix(ctl);
  head.append(reinterpret_cast<const char*>(data + 2), head_len);
  const size_t stride = size_t{1024} << ((ctl >> 2) & 3);
  const size_t total = head.size() + kHttpMaxRequestBytes + 2 * stride;
  // The tail repeated to at least a read past any phase, so that every read
  // is one slice of it.
  const std::string_view tail(reinterpret_cast<const char*>(data + 2 + head_len), rest - head_len);
  std::string filler;
  while (!tail.empty() && filler.size() < stride + tail.size()) filler += tail;

  fuzz_net_http::FuzzConn conn(false);
  conn.opts.touch_only_chunk_ends = true;
  size_t fed = 0;
  while (fed < total && !(conn.nc.flags & NCF_CLOSE_IMMEDIATELY)) {
    std::string_view read;
    if (fed < head.size()) {
      read = std::string_view(head).substr(fed, stride);
    } else if (!tail.empty()) {
      read = std::string_view(filler).substr((fed - head.size()) % tail.size(), stride);
    }
    read = read.substr(0, total - fed);
    if (read.empty()) break;
    if (mbuf_append(&conn.nc.recv_mbuf, read.data(), read.size()) != read.size()) abort();
    fed += read.size();
    int32_t count = static_cast<int32_t>(read.size());
    conn.nc.proto_handler(&conn.nc, NS_EV_RECV, &count);
    conn.nc.send_mbuf.len = 0;  // as if written out

    if (conn.nc.recv_mbuf.len > kHttpMaxRequestBytes + stride + kWsSlackBytes) abort();
    if ((conn.nc.flags & NCF_SEND_AND_CLOSE) && conn.nc.recv_mbuf.len != 0) abort();
  }
  return 0;
}
