// The cost of the nimo_init call itself on the game's thread, as a game makes it
// at start-up (Steam, as the stand-in, is running). Each sample is a fresh
// process, so every call is a first Init; p50 and p99 over the samples are
// reported as counters (microseconds).
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "nimosdk64_c.h"

namespace {

// Child: one nimo_init, timed; the result goes to the parent through the pipe.
[[noreturn]] void Sample(int out) {
  const auto start = std::chrono::steady_clock::now();
  nimo_init("bench-app", "bench-key", nullptr, nullptr);
  const long long ns =
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count();
  std::_Exit(::write(out, &ns, sizeof ns) == sizeof ns ? 0 : 1);
}

long long OneSample() {
  int pipefd[2];
  if (::pipe(pipefd) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(pipefd[0]);
    Sample(pipefd[1]);
  }
  ::close(pipefd[1]);
  long long ns = -1;
  if (pid < 0 || ::read(pipefd[0], &ns, sizeof ns) != sizeof ns) ns = -1;
  ::close(pipefd[0]);
  int status = 0;
  if (pid > 0) ::waitpid(pid, &status, 0);
  return ns;
}

void BM_InitCall(benchmark::State& state) {
  std::vector<double> us;
  for (auto _ : state) {
    const long long ns = OneSample();
    if (ns < 0) {
      state.SkipWithError("a sample failed");
      return;
    }
    state.SetIterationTime(static_cast<double>(ns) / 1e9);
    us.push_back(static_cast<double>(ns) / 1e3);
  }
  std::sort(us.begin(), us.end());
  auto at = [&](double q) { return us[std::min(us.size() - 1, static_cast<std::size_t>(q * static_cast<double>(us.size())))]; };
  state.counters["p50_us"] = at(0.50);
  state.counters["p99_us"] = at(0.99);
  state.counters["max_us"] = us.back();
}

}  // namespace

BENCHMARK(BM_InitCall)->UseManualTime()->Iterations(300)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
  // No request may leave the machine, and the SDK's files stay in a scratch folder.
  char folder[] = "/tmp/nimo-bench-init-XXXXXX";
  if (::mkdtemp(folder) != nullptr) ::setenv("XDG_DATA_HOME", folder, 1);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
