// The cost of one read, change, write cycle of AppConf (the work every batch of
// analytics events does on the tracker thread), beside the floor of writing the
// same bytes to a temporary file, syncing it, renaming it over another and
// flushing the folder, in the same folder and run (AppConf must survive a power
// cut). Goal: the cycle costs no more than twice the floor. The unflushed
// variants show what the trips to the disk cost.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "Sdk/NimoConfigUtils.h"
#include "Sdk/NimoLog.h"
#include "platform/sys/FileSystem.h"

namespace {

using NimoSdk::NimoConfigUtils;
using json = nlohmann::json;

std::string gRoot;  // the temporary data home, removed at the end

std::string AppConfText() {
  std::string text;
  nimo_sys::RealFileSystem().Read(NimoConfigUtils::GetAppConfigPath(), text, 16u << 20);
  return text;
}

std::string FloorPath() {
  std::string app = NimoConfigUtils::GetAppConfigPath();
  return app.substr(0, app.rfind('/')) + "/Floor";
}

void FloorWrite(benchmark::State& state, bool flush) {
  const std::string bytes = AppConfText();
  const std::string target = FloorPath();
  const std::string temp = target + ".tmp";
  for (auto _ : state) {
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) ||
        (flush && ::fdatasync(fd) != 0) || ::close(fd) != 0 || std::rename(temp.c_str(), target.c_str()) != 0 ||
        (flush && !nimo_sys::RealFileSystem().SyncFolder(nimo_sys::FolderOf(target)))) {
      state.SkipWithError("floor write failed");
      break;
    }
  }
  state.counters["bytes"] = static_cast<double>(bytes.size());
}

void BM_AppConfCycle(benchmark::State& state) {
  for (auto _ : state) {
    NimoConfigUtils::Update(false, [](json& doc) {
      doc["EventOrder"] = NimoConfigUtils::IntOr(doc, "EventOrder", 0) + 1;
    });
  }
  state.counters["bytes"] = static_cast<double>(AppConfText().size());
}

void BM_FloorWriteRename(benchmark::State& state) { FloorWrite(state, false); }
void BM_FloorWriteFlushRename(benchmark::State& state) { FloorWrite(state, true); }

// Our replacement alone, unflushed and flushed (AppConf and SharedConf).
void BM_ReplaceFile(benchmark::State& state) {
  const std::string bytes = AppConfText();
  const std::string target = FloorPath();
  const auto durability = state.range(0) != 0 ? nimo_sys::Durability::kDisk : nimo_sys::Durability::kKill;
  for (auto _ : state) nimo_sys::ReplaceFileContent(nimo_sys::RealFileSystem(), target, bytes, durability);
}

// A SharedConf cycle that writes (flushed); a client id is written about once
// per machine, so this is for information only.
void BM_SharedConfCycleFlushed(benchmark::State& state) {
  for (auto _ : state) {
    NimoConfigUtils::Update(true, [](json& doc) { doc["n"] = NimoConfigUtils::IntOr(doc, "n", 0) + 1; });
  }
}

BENCHMARK(BM_AppConfCycle)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FloorWriteRename)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReplaceFile)->ArgName("flush")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FloorWriteFlushRename)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SharedConfCycleFlushed)->Unit(benchmark::kMicrosecond);

// Keeps the times to print the ratio at the end: the median when repeated
// (--benchmark_repetitions=N), else the single run.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter() : ConsoleReporter(OO_None) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.error_occurred) continue;
      const bool median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
      if (median || (r.run_type == Run::RT_Iteration && r.repetitions <= 1)) {
        real[r.run_name.str()] = r.GetAdjustedRealTime();
        cpu[r.run_name.str()] = r.GetAdjustedCPUTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> real, cpu;
};

}  // namespace

int main(int argc, char** argv) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/nimo-bench-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (::mkdtemp(buf.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  gRoot = buf.data();
  ::setenv("XDG_DATA_HOME", gRoot.c_str(), 1);
  NimoSdk::ConfigureLog(false);  // as after Init; the server enables it only for test devices
  NimoConfigUtils::WriteCofnigJson(json{{"AttributionFlag", 1}, {"EventOrder", 100000}}, false);

  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  for (auto* times : {&reporter.real, &reporter.cpu}) {
    auto cycle = times->find("BM_AppConfCycle");
    auto floor = times->find("BM_FloorWriteFlushRename");
    if (cycle == times->end() || floor == times->end() || floor->second <= 0) continue;
    std::printf("AppConf cycle / floor (write + sync + rename + folder flush), %s time: %.2f (goal <= 2.00)\n",
                times == &reporter.real ? "real" : "CPU", cycle->second / floor->second);
  }
  std::printf("data folder: %s\n", gRoot.c_str());
  std::error_code ec;
  std::filesystem::remove_all(gRoot, ec);
  return 0;
}
