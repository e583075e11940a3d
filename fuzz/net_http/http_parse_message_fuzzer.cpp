// The request parser over arbitrary bytes: every slice it returns must lie
// inside the header block (an absolute target's authority and its path
// too), and the lengths must agree with the result.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "net/http_parser.h"

namespace {

void CheckInside(const ns_str& s, const char* lo, const char* hi) {
  if (s.data == nullptr) {
    if (s.len != 0) abort();
    return;
  }
  if (s.data < lo || s.data > hi || s.len > static_cast<uint64_t>(hi - s.data)) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 20) return 0;
  // An exact-size heap copy, so that any read past the input is caught.
  std::vector<char> buf(data, data + size);
  const char* p = buf.data();
  const int len = static_cast<int>(size);

  http_message hm;
  const int n = http_parse_message(p, len, &hm);
  if (n != http_header_block_length(p, len)) {
    if (n != -1 || http_header_block_length(p, len) <= 0)
      abort();  // only the parse may refuse more
  }
  if (n <= 0) return 0;
  if (n > len) abort();
  const char* end = p + n;
  CheckInside(hm.method, p, end);
  CheckInside(hm.uri, p, end);
  CheckInside(hm.query, p, end);
  CheckInside(hm.protocol, p, end);
  CheckInside(hm.authority, p, end);
  if (hm.authority.data != nullptr && ns_str_compare(&hm.uri, "") == 0) abort();
  bool ended = false;
  for (int i = 0; i < HTTP_MAX_HEADERS; i++) {
    CheckInside(hm.header_names[i], p, end);
    CheckInside(hm.header_values[i], p, end);
    if (hm.header_names[i].data == nullptr)
      ended = true;
    else if (ended)
      abort();  // no gaps
  }
  if (hm.body.data != end || hm.whole_message.data != p) abort();
  if (hm.body.len == HTTP_LEN_TO_CLOSE) {
    if (hm.whole_message.len != HTTP_LEN_TO_CLOSE) abort();
  } else if (hm.whole_message.len != static_cast<uint64_t>(n) + hm.body.len) {
    abort();
  }
  volatile const ns_str* host = http_find_header(&hm, "Host");
  (void)host;
  volatile int c =
      ns_str_compare(&hm.uri, "/VRNFPCapture") + ns_str_compare_nocase(&hm.method, "POST");
  (void)c;
  return 0;
}
