// The cost of the purchase journal on the purchase path: one write (the order
// entering it, on an HTTP worker), and the three writes of a whole purchase
// (order in, Steam's answer recorded before the report, order out after the
// confirmation), with a backlog of other entries already in the file. The order
// and Steam's answer are flushed to the disk, the removal is not; the plain
// unflushed replacement of the same bytes shows what the flush costs.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "Sdk/NimoLog.h"
#include "Sdk/PurchaseJournal.h"
#include "platform/sys/FileSystem.h"

namespace {

using NimoSdk::PayOrder;
using NimoSdk::PurchaseJournal;

std::string gRoot;

PayOrder Order(const std::string& steamOrderId) {
  PayOrder o;
  o.product.productId = "gem_60";
  o.product.productName = "60 Gems";
  o.product.channelProductId = "1001";
  o.product.productCurrencyCode = "USD";
  o.orderId = "SO" + steamOrderId;
  o.productName = "60 Gems";
  o.defaultCurrency = "USD";
  o.defaultAmountMicro = 990000;
  o.virtualCurrency = "GEM";
  o.virtualCoinAmount = 60;
  o.extInfo = R"({"chest":"gold"})";
  o.steamOrderId = steamOrderId;
  o.steamTransId = "T" + steamOrderId;
  o.serverId = "server-7";
  o.gameUserId = "hero-1";
  o.nickName = "Aria";
  o.userId = "100001";
  return o;
}

// A journal holding backlog orders still waiting for Steam.
std::string Prepare(const std::string& name, int backlog) {
  std::string path = gRoot + "/" + name;
  std::filesystem::remove(path);
  PurchaseJournal journal(path);
  for (int i = 0; i < backlog; ++i) journal.PutOrder(Order(std::to_string(5000000000LL + i)));
  return path;
}

void BM_JournalOrderWrite(benchmark::State& state) {
  PurchaseJournal journal(Prepare("one-" + std::to_string(state.range(0)), static_cast<int>(state.range(0))));
  const PayOrder order = Order("9000000001");
  for (auto _ : state) journal.PutOrder(order);
  std::string text;
  nimo_sys::RealFileSystem().Read(journal.Path(), text, 16u << 20);
  state.counters["bytes"] = static_cast<double>(text.size());
}

void BM_JournalWholePurchase(benchmark::State& state) {
  PurchaseJournal journal(Prepare("whole-" + std::to_string(state.range(0)), static_cast<int>(state.range(0))));
  const PayOrder order = Order("9000000002");
  for (auto _ : state) {
    journal.PutOrder(order);
    journal.RecordSteamAnswer(order.steamOrderId, "1");
    journal.Remove(order.steamOrderId, order.orderId);
  }
}

// The same bytes replaced without the flush: what the trip to the disk costs.
void BM_ReplaceUnflushed(benchmark::State& state) {
  const std::string path = Prepare("floor", static_cast<int>(state.range(0)));
  std::string text;
  nimo_sys::RealFileSystem().Read(path, text, 16u << 20);
  for (auto _ : state) {
    nimo_sys::ReplaceFileContent(nimo_sys::RealFileSystem(), path, text, nimo_sys::Durability::kKill);
  }
}

BENCHMARK(BM_JournalOrderWrite)->ArgName("backlog")->Arg(0)->Arg(32)->Arg(255)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_JournalWholePurchase)->ArgName("backlog")->Arg(0)->Arg(255)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReplaceUnflushed)->ArgName("backlog")->Arg(0)->Arg(255)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  const char* tmp = std::getenv("NIMO_BENCH_DIR");  // a folder on the disk to measure; default /var/tmp
  std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/var/tmp") + "/nimo-journal-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (::mkdtemp(buf.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  gRoot = buf.data();
  NimoSdk::ConfigureLog(false);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::printf("journal folder: %s\n", gRoot.c_str());
  std::error_code ec;
  std::filesystem::remove_all(gRoot, ec);
  return 0;
}
