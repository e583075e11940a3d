// WebSocket frame delivery and reassembly over a receive buffer filled in
// reads, on a connection already upgraded. Byte 0 picks the read size and
// whether reassembly is off.
#include "fuzz_conn.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 1 << 20) return 0;
  const uint8_t ctl = data[0];
  fuzz_net_http::FuzzConn conn(false);
  conn.nc.proto_handler = ws_protocol_handler;
  conn.nc.flags |= NCF_WEBSOCKET;
  if (ctl & 0x80) conn.nc.flags |= NCF_WS_NO_REASSEMBLY;
  const size_t stride = (ctl & 0x7f) + 1;
  conn.FeedInReads(data + 1, size - 1, stride);
  return 0;
}
