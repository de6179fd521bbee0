// bench_post: what PostEvent costs the game's thread when a game posts as its
// frames do, one event every 2 ms, through the exported C++ call (wide text in),
// after a real Init against the sandbox on loopback. Measured twice: while
// another process holds every lock file of the game's data folder (a second
// copy of the game, a backup tool), so the tracker thread cannot number or
// store, and with the files free. Beside it, a bare queue push (a std::deque
// push under a mutex, nothing else) at the same pace shows what any hand-off
// costs on this machine. The counters are p50/p99/max of the wall time of each
// call on the calling thread, and of its thread CPU time.
//
// The process runs twice: as the orchestrator it starts the sandbox (its
// threads at idle priority: a publisher's server is not on the player's
// machine), runs itself again as the game and takes the game's file locks when
// the game says Init has answered.
//
// Rerun: ./run bench (all benchmarks), or build-bench/bench/bench_post alone;
// NIMO_BENCH_POST_EVENTS=N changes the count per measurement (default 5,000).
//
// Figures (2 cores, idle; RelWithDebInfo; three runs): files free p50 3.7-4.1,
// p99 10.8-11.8 us; files locked p50 1.8-3.9, p99 21.7-26.1 us; bare push p50
// 0.8-0.9, p99 2.6-4.5 us. Before the event's JSON moved to the tracker thread:
// p50 23.0 / 22.2, p99 38.2 / 54.8 us.
#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "BenchStats.h"
#include "nimosdk64.h"
#include "tools/sandbox/Sandbox.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kPeriod = std::chrono::milliseconds(2);
constexpr int kDefaultEvents = 5000;
constexpr auto kInitLimit = std::chrono::seconds(10);

int EventCount() {
  const char* n = std::getenv("NIMO_BENCH_POST_EVENTS");
  const int v = n != nullptr ? std::atoi(n) : 0;
  return v > 0 && v <= 1000000 ? v : kDefaultEvents;
}

using nimo_bench::Micros;
using nimo_bench::Percentile;
using nimo_bench::ThreadCpuMicros;

void Report(const std::string& what, const std::vector<double>& us) {
  std::printf("%-46s n=%-5zu p50=%6.1f us  p99=%6.1f us  max=%8.1f us\n", what.c_str(), us.size(),
              Percentile(us, 0.50), Percentile(us, 0.99), Percentile(us, 1.0));
  std::fflush(stdout);
}

// call() count times, one every kPeriod, each timed on this thread.
template <typename Call>
void Paced(const std::string& what, int count, Call call) {
  std::vector<double> wall, cpu;
  wall.reserve(static_cast<std::size_t>(count));
  cpu.reserve(static_cast<std::size_t>(count));
  auto next = Clock::now();
  for (int i = 0; i < count; ++i) {
    // The thread CPU clock is a system call: read outside the wall time.
    const double c0 = ThreadCpuMicros();
    const auto t0 = Clock::now();
    call(i);
    const auto t1 = Clock::now();
    cpu.push_back(ThreadCpuMicros() - c0);
    wall.push_back(Micros(t1 - t0));
    next += kPeriod;
    std::this_thread::sleep_until(next);
  }
  Report(what, wall);
  Report(what + " (thread CPU)", cpu);
}

// ---------------------------------------------------------------- the game

std::atomic<int> initCode{0};

void OnInit(int code, std::wstring, std::wstring) { initCode = code; }

bool WaitLine(const char* expected) {
  std::string line;
  return std::getline(std::cin, line) && line == expected;
}

int RunGame() {
  const int count = EventCount();
  NimoProxy::Init(L"10001", L"sandbox-key-10001", &OnInit);
  const auto limit = Clock::now() + kInitLimit;
  while (initCode.load() == 0 && Clock::now() < limit) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (initCode.load() != 200) {
    std::printf("Init answered %d\n", initCode.load());
    return 1;
  }
  const std::wstring params = L"{\"stage\":3,\"score\":12345,\"mode\":\"ranked\"}";
  auto post = [&](int i) { NimoProxy::PostEvent(L"level_end", params, i * 0.5); };
  std::printf("READY\n");
  std::fflush(stdout);

  if (!WaitLine("LOCKED")) return 1;
  Paced("PostEvent every 2 ms, files locked elsewhere", count, post);
  std::printf("MEASURED\n");
  std::fflush(stdout);

  if (!WaitLine("FREE")) return 1;
  Paced("PostEvent every 2 ms, files free", count, post);

  // The floor: a hand-off with nothing but the push of a copy of the text.
  std::mutex mutex;
  std::deque<std::string> queue;
  const std::string text = "{\"stage\":3,\"score\":12345,\"mode\":\"ranked\"}";
  Paced("bare queue push every 2 ms", count, [&](int) {
    std::string copy = text;
    std::lock_guard<std::mutex> lock(mutex);
    queue.push_back(std::move(copy));
  });

  const auto e0 = Clock::now();
  NimoProxy::Exit();
  std::printf("Exit: %.1f ms\n", Micros(Clock::now() - e0) / 1000);
  return 0;
}

// ---------------------------------------------------------------- the orchestrator

// See bench_track.cpp: an idle thread never preempts the game's.
void LowerOwnThreads() {
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    const int tid = std::atoi(task.path().filename().c_str());
    if (tid == getpid()) continue;
    sched_param none{};
    (void)sched_setscheduler(tid, SCHED_IDLE, &none);
  }
}

// Every lock file the game's folders have or may take (the store files' and the
// queue files' slots), held exclusively by this process; those the game holds
// now (its own queue file's slot) are skipped.
std::vector<int> LockGameFiles(const std::string& root) {
  std::vector<std::string> paths;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (!it->is_regular_file(ec)) continue;
    const std::string path = it->path().string();
    const std::string name = it->path().filename().string();
    if (path.size() > 5 && path.compare(path.size() - 5, 5, ".lock") == 0) {
      paths.push_back(path);
    } else if (name == "AppConf" || name == "SharedConf") {
      paths.push_back(path + ".lock");
      if (name == "AppConf") {
        const std::string folder = it->path().parent_path().string();
        for (int slot = 0; slot < 8; ++slot)
          paths.push_back(folder + (slot == 0 ? "/EventQueue.lock" : "/EventQueue." + std::to_string(slot) + ".lock"));
      }
    }
  }
  std::sort(paths.begin(), paths.end());
  paths.erase(std::unique(paths.begin(), paths.end()), paths.end());
  std::vector<int> held;
  for (const std::string& p : paths) {
    const int fd = open(p.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) continue;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
      held.push_back(fd);
    } else {
      close(fd);
    }
  }
  return held;
}

pid_t RunSelf(std::vector<std::string>& env, int in, int out) {
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in, 0);
    dup2(out, 1);
    char exe[] = "bench_post";
    char* argv[] = {exe, nullptr};
    execve("/proc/self/exe", argv, envp.data());
    _exit(127);
  }
  return pid;
}

// Copies the game's lines to ours until one equals until; false at its end.
bool Relay(FILE* game, const char* until) {
  char buf[512];
  while (fgets(buf, sizeof buf, game) != nullptr) {
    if (std::string(buf) == std::string(until) + "\n") return true;
    std::fputs(buf, stdout);
    std::fflush(stdout);
  }
  return false;
}

int RunOrchestrator() {
  const std::string root =
      (std::filesystem::temp_directory_path() / ("nimo-bench-post-" + std::to_string(getpid()))).string();
  std::filesystem::create_directories(root);
  nimo_sandbox::Options options;
  options.stateDir = root + "/sandbox";
  nimo_sandbox::Sandbox sandbox(options);
  std::string error;
  if (!sandbox.Start(&error)) {
    std::fprintf(stderr, "sandbox did not start: %s\n", error.c_str());
    return 1;
  }
  LowerOwnThreads();

  std::vector<std::string> env = {"NIMO_BENCH_POST_GAME=1",
                                  "NIMOSDK_API_BASE_URL=" + sandbox.BaseUrl(),
                                  "NIMOSDK_TRACK_URL=" + sandbox.TrackUrl(),
                                  "NIMOSDK_CA_FILE=" + sandbox.CaFile(),
                                  "NIMO_STEAM_BRIDGE=" + sandbox.SteamBridge(),
                                  "XDG_DATA_HOME=" + root + "/xdg",
                                  "HOME=" + root + "/home",
                                  "TZ=UTC0"};
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string kv = *e;
    const std::string name = kv.substr(0, kv.find('='));
    bool ours = false;
    for (const std::string& x : env) ours = ours || x.compare(0, name.size() + 1, name + "=") == 0;
    if (!ours && name != "DISPLAY") env.push_back(kv);
  }

  int toGame[2], fromGame[2];
  if (pipe2(toGame, O_CLOEXEC) != 0 || pipe2(fromGame, O_CLOEXEC) != 0) return 1;
  const pid_t pid = RunSelf(env, toGame[0], fromGame[1]);
  close(toGame[0]);
  close(fromGame[1]);
  FILE* game = fdopen(fromGame[0], "r");

  bool ok = Relay(game, "READY");
  std::vector<int> locks;
  if (ok) {
    locks = LockGameFiles(root);
    std::printf("lock files held by another process: %zu\n", locks.size());
    std::fflush(stdout);
    ok = write(toGame[1], "LOCKED\n", 7) == 7 && Relay(game, "MEASURED");
  }
  for (int fd : locks) close(fd);
  if (ok) ok = write(toGame[1], "FREE\n", 5) == 5;
  close(toGame[1]);
  Relay(game, "");
  fclose(game);
  int status = 0;
  waitpid(pid, &status, 0);
  sandbox.Stop();
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
  ok = ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  if (!ok) std::printf("bench_post: the game did not finish\n");
  return ok ? 0 : 1;
}

}  // namespace

int main() {
  if (std::getenv("NIMO_BENCH_POST_GAME") != nullptr) return RunGame();
  return RunOrchestrator();
}
