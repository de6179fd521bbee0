// The purchase journal that keeps payments from being lost or reported twice:
// Steam's answers around the report, a later run's recovery, and the file itself.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <limits>
#include <nlohmann/json.hpp>

#include "Sdk/PurchaseJournal.h"
#include "platform/steam/steam_control.h"
#include "support/PurchaseFixture.h"
#include "support/child_process.h"

using namespace std::chrono_literals;
using nimo_sandbox::Endpoint;
using nimo_sandbox::FaultMode;
using nimo_test::Eventually;
using nimo_test::MakeFault;
using NimoSdk::Pay;
using NimoSdk::PurchaseJournal;
using json = nlohmann::json;
namespace fs = std::filesystem;

namespace {

// Reports after the game's one callback go to a hook, recorded here.
class PayJournal : public nimo_test::Purchase {
 protected:
  void SetUp() override {
    Purchase::SetUp();
    Pay().SetLateReportHandler([this](int code, const std::string&, const std::string& report) {
      std::lock_guard<std::mutex> lock(mutex_);
      late_.emplace_back(code, report);
    });
  }
  std::size_t LateCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return late_.size();
  }

  std::mutex mutex_;
  std::vector<std::pair<int, std::string>> late_;  // code, report JSON; guarded by mutex_
};
class PayJournalConcurrency : public PayJournal {};

}  // namespace

// The server opens the Steam transaction before it answers create_order, so Steam may answer first.
TEST_F(PayJournalConcurrency, EarlySteamAnswerIsHeldAndReportedWhenTheOrderArrives) {
  Server().SetSteamFirst(true);
  Server().SetSteamDelay(300);
  InitAndLogin();
  Buy("gem_60");
  EXPECT_EQ(json::parse(ExpectNext(200).data)["status"], 1);
  EXPECT_EQ(Server().Orders().at(0).reports, 1);
  EXPECT_EQ(Pay().HeldAnswerCount(), 0u);
  EXPECT_TRUE(Eventually([&] { return Entries().empty(); }));
  EXPECT_TRUE(NoMoreCallbacks());
}

// A decline, then Steam's authorisation while the decline is being reported: both reach the server.
TEST_F(PayJournalConcurrency, RepeatDuringAReportIsReportedAfterIt) {
  Server().SetSteamDelay(600);  // the sandbox's own "1" comes while the "0" is in flight
  InitAndLogin();
  Server().SetFault(Endpoint::PayResult, MakeFault(FaultMode::None, 1, 500, "", 1200));
  Buy("gem_60");
  ASSERT_TRUE(Eventually([&] { return !Server().Orders().empty(); }));
  std::string id = Server().Orders()[0].steamOrderId;
  ASSERT_TRUE(Eventually([&] { return Pay().HasOrder(id); }));
  steam_standin::QueueMicroTxnAuthorization(480, std::stoull(id), false);
  EXPECT_EQ(json::parse(ExpectNext(200).data)["status"], 1);
  auto reports = PayResultBodies();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_NE(reports[0].find("&status=0&"), std::string::npos);
  EXPECT_NE(reports[1].find("&status=1&"), std::string::npos);
  EXPECT_EQ(Server().FindOrderBySteamId(id)->payStatus, 1);
  EXPECT_TRUE(NoMoreCallbacks());
  EXPECT_EQ(LateCount(), 0u);
}

// Killed after Steam's authorisation, before the server heard the report: the next run reports it.
TEST_F(PayJournal, KilledBeforeTheReportIsReportedByTheNextRun) {
  if (nimo_test::ChildMode() == "buyer") {
    InitAndLogin();
    Buy("gem_60");
    std::this_thread::sleep_for(30s);  // killed long before
    return;
  }
  Fail(Endpoint::PayResult, FaultMode::Hang);
  pid_t child = nimo_test::SpawnCurrentTest("buyer", ChildEnv());
  ASSERT_GT(child, 0);
  bool ready = Eventually(
      [&] {
        json e = Entries();
        return e.size() == 1 && e[0].value("steamStatus", "") == "1" && Server().InFlight() > 0;
      },
      20s);
  ::kill(child, SIGKILL);
  EXPECT_EQ(nimo_test::WaitChild(child, 10s), 128 + SIGKILL);
  ASSERT_TRUE(ready);
  const std::string id = Entries()[0]["steamOrderId"];
  EXPECT_EQ(Server().FindOrderBySteamId(id)->reports, 0);

  Server().ClearFaults();
  Fail(Endpoint::PayResult, FaultMode::Lost, 1);  // and the first answer is lost
  ASSERT_EQ(InitAndWait().code, 200);             // no login: the order carries its buyer
  ASSERT_TRUE(Eventually([&] { return Entries().empty() && LateCount() == 1; }));
  EXPECT_EQ(late_[0].first, 200);
  EXPECT_EQ(json::parse(late_[0].second)["status"], 1);
  auto order = *Server().FindOrderBySteamId(id);
  EXPECT_EQ(order.payStatus, 1);
  EXPECT_EQ(order.reports, 2);  // the lost one and its retry, one verdict
  EXPECT_FALSE(Pay().HasOrder(id));
  EXPECT_TRUE(NoMoreCallbacks());  // the game of this run bought nothing
}

TEST_F(PayJournal, ExitDuringARecoveryReportKeepsItsBound) {
  json order = {{"orderId", "SO1"}, {"userId", "100001"}, {"product", {{"productId", "gem_60"}}}};
  json entry = {{"createdMs", PurchaseJournal::NowMs()}, {"order", order}, {"steamOrderId", "5000000001"},
                {"steamStatus", "1"}};
  nimo_test::WriteText(JournalPath(), json{{"entries", {entry}}, {"version", 1}}.dump());
  Fail(Endpoint::PayResult, FaultMode::Hang);
  ASSERT_EQ(InitAndWait().code, 200);
  ASSERT_TRUE(Eventually([&] { return Server().InFlight() > 0; }));
  auto start = std::chrono::steady_clock::now();
  NimoProxy::Exit();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_EQ(Entries().size(), 1u);  // still owed
}

// --- the journal's file itself ---

class JournalFile : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(dir()); }
  std::string dir() const { return home_.Root() + "/game"; }
  std::string path() const { return dir() + "/PayJournal"; }
  std::vector<std::string> Aside() const { return nimo_test::FilesNamed(dir(), "PayJournal.bad-"); }
  nimo_test::TempDataHome home_;
};

TEST_F(JournalFile, UnreadableFileIsKeptAsideAndAFreshOneStarted) {
  const std::string valid = R"({"entries":[{"createdMs":1,"steamOrderId":"9","steamStatus":"1"}],"version":1})";
  const std::string cases[] = {
      valid.substr(0, valid.size() / 2),                                          // torn
      std::string("\x00\xff garbage", 10),                                        // garbage
      std::string(64, '[') + std::string(64, ']'),                                // nested too deep
      R"({"entries":{}})",                                                        // not a list
      R"({"entries":[{"createdMs":"1","steamOrderId":"9","steamStatus":"1"}]})",  // wrong type
      R"({"entries":[{"createdMs":1,"steamOrderId":"9","steamStatus":"2"}]})",    // unknown status
      std::string(PurchaseJournal::kMaxFileBytes + 1, ' '),                       // too large
  };
  for (const std::string& text : cases) {
    SCOPED_TRACE(text.substr(0, 40));
    for (const auto& f : Aside()) fs::remove(f);
    nimo_test::WriteText(path(), text);
    PurchaseJournal journal(path());
    journal.RecordSteamAnswer("77", "1");
    auto aside = Aside();
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(nimo_test::ReadText(aside[0]), text) << "kept as it was";
    auto entries = journal.Load(60000);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].steamOrderId, "77");
  }
}

// Neither read nor written, an entry the reader refuses costs no other entry.
TEST_F(JournalFile, ABadEntryCostsOnlyItself) {
  nimo_test::WriteText(path(), R"({"entries":[{"createdMs":1,"steamOrderId":"8","steamStatus":"1"},)"
                               R"({"createdMs":"1","steamOrderId":"9","steamStatus":"1"}],"version":1})");
  PurchaseJournal journal(path());
  journal.PutOrder(NimoSdk::PayOrder{});  // no Steam order id
  journal.RecordSteamAnswer("7", "2");
  journal.RecordSteamAnswer("6", "1");
  auto entries = journal.Load(std::numeric_limits<std::int64_t>::max());
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].steamOrderId + entries[1].steamOrderId, "86");
  EXPECT_EQ(Aside().size(), 1u);  // the file as it was, for a look
}

TEST_F(JournalFile, AnAuthorisationIsNeverOverwrittenByALaterDecline) {
  PurchaseJournal journal(path());
  journal.RecordSteamAnswer("5", "1");
  journal.RecordSteamAnswer("5", "0");
  auto entries = journal.Load(60000);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].steamStatus, "1");
}

TEST_F(JournalFile, BoundedAndExpired) {
  const std::int64_t now = PurchaseJournal::NowMs();
  json list = json::array();
  auto add = [&](const std::string& id, std::int64_t age, const char* status, bool withOrder) {
    json e = {{"createdMs", now - age}, {"steamOrderId", id}};
    if (*status != '\0') e["steamStatus"] = status;
    if (withOrder) e["order"] = {{"orderId", "SO" + id}, {"product", json::object()}};
    list.push_back(e);
  };
  for (int i = 0; i < 5; ++i) add("old" + std::to_string(i), PurchaseJournal::kMaxAgeMs + 1000, "1", true);
  add("early", 10 * 60 * 1000, "1", false);  // a held answer past its time
  for (int i = 0; i < 300; ++i) add("w" + std::to_string(i), 1000, i % 30 == 0 ? "1" : "", true);
  nimo_test::WriteText(path(), json{{"entries", list}, {"version", 1}}.dump());

  PurchaseJournal journal(path());
  auto entries = journal.Load(120000);
  ASSERT_EQ(entries.size(), PurchaseJournal::kMaxEntries);
  int authorised = 0;
  for (const auto& e : entries) {
    EXPECT_EQ(e.steamOrderId.rfind("w", 0), 0u) << e.steamOrderId;
    authorised += e.steamStatus == "1";
  }
  EXPECT_EQ(authorised, 10);  // waiting orders go first
  EXPECT_EQ(json::parse(nimo_test::ReadText(path()))["entries"].size(), PurchaseJournal::kMaxEntries);
  EXPECT_TRUE(Aside().empty());
}

// Unfinished purchases never expire and are bounded apart from the rest: beyond
// their bound the oldest goes; each stands in the order it was paid until finished.
TEST_F(JournalFile, UnfinishedPurchasesNeverExpireAndHaveABoundOfTheirOwn) {
  const std::int64_t old = PurchaseJournal::NowMs() - PurchaseJournal::kMaxAgeMs - 1000;
  auto entry = [](std::int64_t created, const std::string& id, bool unfinished) {
    json e = {{"createdMs", created}, {"order", {{"orderId", "SO" + id}, {"product", json::object()}}},
              {"steamOrderId", id}, {"steamStatus", "1"}};
    if (unfinished) e["unfinished"] = true;
    return e;
  };
  json list = json::array();
  for (std::size_t i = 0; i < PurchaseJournal::kMaxUnfinished + 2; ++i) {
    list.push_back(entry(old, std::to_string(i), true));
  }
  for (std::size_t i = 0; i < PurchaseJournal::kMaxEntries; ++i) {
    list.push_back(entry(PurchaseJournal::NowMs(), "w" + std::to_string(i), false));
  }
  nimo_test::WriteText(path(), json{{"entries", list}, {"version", 1}}.dump());

  PurchaseJournal journal(path());
  EXPECT_EQ(journal.Load(120000).size(), PurchaseJournal::kMaxEntries + PurchaseJournal::kMaxUnfinished);
  ASSERT_EQ(journal.Unfinished().size(), PurchaseJournal::kMaxUnfinished);
  EXPECT_EQ(journal.Unfinished().front().order.orderId, "SO2");  // the two oldest went
  EXPECT_TRUE(journal.MarkUnfinished("w0", "SOw0"));
  EXPECT_FALSE(journal.MarkUnfinished("w1", "SOother"));
  EXPECT_EQ(journal.Unfinished().back().order.orderId, "SOw0");  // paid last
  EXPECT_EQ(journal.Unfinished().front().order.orderId, "SO3");  // over the bound again
  EXPECT_TRUE(journal.Finish("SO3"));
  EXPECT_FALSE(journal.Finish("SO3"));
  EXPECT_FALSE(journal.Finish("SOw1"));  // not paid yet: only its report settles it
  EXPECT_EQ(journal.Unfinished().front().order.orderId, "SO4");
  EXPECT_TRUE(Aside().empty());
}
