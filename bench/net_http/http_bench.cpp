// Throughput of the HTTP layer on the network thread: parsing a browser-sized
// request, delivering pipelined and chunked requests from a receive buffer, and
// unmasking and reassembling WebSocket messages.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "net/event_manager.h"
#include "net/http_protocol.h"
#include "net/websocket.h"

namespace {

const std::string kRequest =
    "POST /VRNFPCapture HTTP/1.1\r\n"
    "Host: localhost:8000\r\n"
    "Connection: keep-alive\r\n"
    "Content-Length: 44\r\n"
    "sec-ch-ua: \"Chromium\";v=\"120\", \"Not?A_Brand\";v=\"24\"\r\n"
    "Content-Type: application/x-www-form-urlencoded; charset=UTF-8\r\n"
    "User-Agent: Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/120.0\r\n"
    "Accept: */*\r\n"
    "Origin: https://example.org\r\n"
    "Referer: https://example.org/enrol\r\n"
    "Accept-Encoding: gzip, deflate, br\r\n"
    "Accept-Language: en-GB,en;q=0.9\r\n"
    "\r\n"
    "timeout=10000&templateFormat=ISO&imageWSQRate";

void BM_ParseRequest(benchmark::State& state) {
  http_message hm;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        http_parse_message(kRequest.data(), static_cast<int>(kRequest.size()), &hm));
    benchmark::DoNotOptimize(http_find_header(&hm, "Origin"));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kRequest.size()));
}
BENCHMARK(BM_ParseRequest);

void Ignore(ns_conn*, int, void*) {}

// Feeds the stream as one read into a fresh connection record per iteration.
void FeedConn(benchmark::State& state, const std::string& stream, bool websocket) {
  for (auto _ : state) {
    ns_conn nc{};
    nc.sock = -1;
    nc.handler = Ignore;
    http_attach_protocol(&nc);
    if (websocket) nc.proto_handler = ws_protocol_handler;
    if (mbuf_append(&nc.recv_mbuf, stream.data(), stream.size()) != stream.size())
      state.SkipWithError("heap");
    int32_t n = static_cast<int32_t>(stream.size());
    nc.proto_handler(&nc, NS_EV_RECV, &n);
    nc.proto_handler(&nc, NS_EV_CLOSE, nullptr);
    mbuf_free(&nc.recv_mbuf);
    mbuf_free(&nc.send_mbuf);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}

void BM_PipelinedRequests(benchmark::State& state) {
  std::string stream;
  for (int i = 0; i < state.range(0); i++) stream += kRequest;
  FeedConn(state, stream, false);
}
BENCHMARK(BM_PipelinedRequests)->Arg(1)->Arg(16);

void BM_ChunkedBody(benchmark::State& state) {
  std::string stream = "POST /x HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
  const std::string chunk(static_cast<size_t>(state.range(0)), 'c');
  char line[32];
  snprintf(line, sizeof(line), "%zx\r\n", chunk.size());
  for (int i = 0; i < 64; i++) stream += line + chunk + "\r\n";
  stream += "0\r\n\r\n";
  FeedConn(state, stream, false);
}
BENCHMARK(BM_ChunkedBody)->Arg(64)->Arg(4096);

std::string MaskedFrame(unsigned char b0, size_t n) {
  std::string f(1, static_cast<char>(b0));
  f += static_cast<char>(0x80 | 127);
  for (int s = 56; s >= 0; s -= 8) f += static_cast<char>((uint64_t{n} >> s) & 0xff);
  f += "\x11\x22\x33\x44";
  f += std::string(n, 'w');
  return f;
}

void BM_WebSocketMessage(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  FeedConn(state, MaskedFrame(0x82, size), true);
}
BENCHMARK(BM_WebSocketMessage)->Arg(1 << 10)->Arg(1 << 20);

void BM_WebSocketFragments(benchmark::State& state) {
  std::string stream = MaskedFrame(0x02, 4096);
  for (int i = 0; i < 254; i++) stream += MaskedFrame(0x00, 4096);
  stream += MaskedFrame(0x80, 4096);
  FeedConn(state, stream, true);
}
BENCHMARK(BM_WebSocketFragments);

}  // namespace

BENCHMARK_MAIN();
