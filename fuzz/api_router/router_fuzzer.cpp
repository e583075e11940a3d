// Fuzzes what the router reads from a request a page controls: the Host
// check, the User-Agent and Origin readers, the pre-flight route, the Base64
// decoding of a parameter value and the JSON escaping of a text. Replies go to a connection that is
// never polled; its send buffer is dropped after each input.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <string_view>

#include "api/json_reply.h"
#include "api/request_access.h"
#include "api/router.h"
#include "codec/base64.h"
#include "net/http_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  (void)HostValueAccepted(std::string_view(text));

  ns_conn nc = {};
  nc.sock = -1;
  http_message hm;
  // The HTTP layer delivers a request only once its whole body is in.
  if (http_parse_message(text.data(), static_cast<int>(text.size()), &hm) > 0 &&
      hm.whole_message.len <= text.size()) {
    (void)CheckHostHeader(&nc, &hm);
    TraceRequestOrigin(&hm);
    char origin[kOriginBytes];
    (void)OriginDomain(&hm, origin);
    // Only the pre-flight route: the others drive the reader.
    bool capture_path = ns_str_compare(&hm.uri, kCapturePath) == 0 ||
                        ns_str_compare(&hm.uri, kCaptureSynonymPath) == 0;
    if (capture_path && ns_str_compare(&hm.method, "OPTIONS") == 0) {
      ApiRequestHandler(&nc, NS_EV_HTTP_REQUEST, &hm);
    }
  }
  mbuf_free(&nc.send_mbuf);

  int count = 0;
  unsigned char* bytes = Base64DecodeAlloc(text.c_str(), &count);
  if (bytes != nullptr) {
    char* again = Base64EncodeAlloc(bytes, count);
    free(again);
    free(bytes);
  }
  JsonReply reply;
  JsonBegin(&reply, 0, JsonCodeComma::kTight);
  JsonString(&reply, "Value", text);
  JsonEnd(&reply);
  return 0;
}
