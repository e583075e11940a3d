// Cost of one idle poll pass over many connections (diagnostics off and on),
// and of ns_printf for replies that fit the stack buffer and ones that do not.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "net/event_manager.h"
#include "net/listener.h"

namespace {

void Ignore(ns_conn*, int, void*) {}

struct IdleManager {
  ns_mgr mgr;
  std::vector<int> peers;
  explicit IdleManager(int conns) {
    ns_mgr_init(&mgr, nullptr);
    for (int i = 0; i < conns; i++) {
      int sv[2];
      if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) break;
      ns_add_sock(&mgr, sv[0], Ignore);
      peers.push_back(sv[1]);
    }
  }
  ~IdleManager() {
    ns_mgr_free(&mgr);
    for (int fd : peers) close(fd);
  }
};

void BM_IdlePollPass(benchmark::State& state) {
  IdleManager m(static_cast<int>(state.range(0)));
  FILE* sink = state.range(1) != 0 ? fopen("/dev/null", "w") : nullptr;
  ns_set_diag_stream(sink);
  for (auto _ : state) benchmark::DoNotOptimize(ns_mgr_poll(&m.mgr, 0));
  ns_set_diag_stream(nullptr);
  if (sink != nullptr) fclose(sink);
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_IdlePollPass)->ArgsProduct({{1, 60, 200}, {0, 1}})->ArgNames({"conns", "diag"});

void BM_Printf(benchmark::State& state) {
  const std::string text(static_cast<size_t>(state.range(0)), 'x');
  ns_conn* nc = ns_create_conn(nullptr, nullptr, ns_bind_opts{});
  for (auto _ : state) {
    ns_printf(nc, "%s", text.c_str());
    nc->send_mbuf.len = 0;
  }
  ns_destroy_conn(nc);
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Printf)->Arg(100)->Arg(500)->Arg(501)->Arg(4000);

}  // namespace

BENCHMARK_MAIN();
