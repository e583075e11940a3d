// The HTTP protocol handler, chunked decoding in particular, over a receive
// buffer filled in reads. Byte 0 picks the read size, whether a chunked
// request head is put in front, and whether the handler deletes chunks.
#include <cstring>
#include <vector>

#include "fuzz_conn.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 1 << 20) return 0;
  const uint8_t ctl = data[0];
  static constexpr char kHead[] =
      "POST /VRNMatchScore HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
  std::vector<uint8_t> stream;
  if (ctl & 0x80) stream.assign(kHead, kHead + sizeof(kHead) - 1);
  stream.insert(stream.end(), data + 1, data + size);

  fuzz_net_http::FuzzConn conn((ctl & 0x40) != 0);
  const size_t stride = (ctl & 0x3f) + 1;
  conn.FeedInReads(stream.data(), stream.size(), stride);
  return 0;
}
