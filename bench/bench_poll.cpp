// nimo_run_callbacks() as a game calls it once per frame: with nothing queued (the
// usual frame), and with one result queued (a refusal queued by nimo_login before
// init, then delivered).
#include <benchmark/benchmark.h>

#include "nimosdk64_c.h"

namespace {

void Count(int, const char*, const char*, void* user) { ++*static_cast<long*>(user); }

void BM_RunCallbacksEmpty(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(nimo_run_callbacks());
}

void BM_QueueAndRunOneResult(benchmark::State& state) {
  long delivered = 0;
  for (auto _ : state) {
    nimo_login(Count, &delivered);  // -401 "Sdk Not Init.", queued
    benchmark::DoNotOptimize(nimo_run_callbacks());
  }
  if (delivered != state.iterations()) state.SkipWithError("a result was not delivered");
}

}  // namespace

BENCHMARK(BM_RunCallbacksEmpty);
BENCHMARK(BM_QueueAndRunOneResult);

int main(int argc, char** argv) {
  nimo_set_callback_mode(NIMO_CALLBACKS_ON_POLL);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  nimo_exit();
  return 0;
}
