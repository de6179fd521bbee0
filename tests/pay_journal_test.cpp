// Payments that must not be lost: the purchase journal on real files, Steam
// answers that come early or twice, a game killed mid-purchase, lost answers.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "Sdk/CNimoCore.h"
#include "Sdk/CNimoPay.h"
#include "Sdk/PurchaseJournal.h"
#include "Sdk/Singletons.h"
#include "nimosdk64.h"
#include "platform/steam/steam_control.h"
#include "support/SdkHarness.h"
#include "support/child_process.h"

using namespace std::chrono_literals;
using nimo_sandbox::Endpoint;
using nimo_sandbox::Fault;
using nimo_sandbox::FaultMode;
using nimo_test::CallbackRecorder;
using nimo_test::Eventually;
using NimoSdk::Pay;
using NimoSdk::PurchaseJournal;
using json = nlohmann::json;
namespace fs = std::filesystem;

namespace {

Fault Make(FaultMode mode, int times = -1, int delayMs = 0) {
  Fault f;
  f.mode = mode;
  f.times = times;
  f.delayMs = delayMs;
  return f;
}

struct Late {
  std::mutex mutex;
  std::vector<std::pair<int, std::string>> reports;  // code, report JSON
  std::size_t Count() {
    std::lock_guard<std::mutex> lock(mutex);
    return reports.size();
  }
};

class PayJournal : public nimo_test::SdkTest {
 protected:
  void SetUp() override {
    SdkTest::SetUp();
    Pay().SetLateReportHandler([this](int code, const std::string&, const std::string& report) {
      std::lock_guard<std::mutex> lock(late_.mutex);
      late_.reports.emplace_back(code, report);
    });
  }

  // The Steam stand-in's application id names the game's folder.
  std::string JournalPath() const { return home_->SdkFolder() + "/480/PayJournal"; }
  json Entries() const {
    json doc = json::parse(nimo_test::ReadText(JournalPath()), nullptr, false);
    return doc.is_object() ? doc["entries"] : json::array();
  }
  void Buy(const wchar_t* product = L"gem_60") { NimoProxy::CallPay(product, L"x", CallbackRecorder::Callback); }
  std::vector<std::string> PayResultStatuses() {
    std::vector<std::string> out;
    for (const auto& r : Server().Requests()) {
      if (r.endpoint != "pay_result") continue;
      auto at = r.body.find("&status=");
      out.push_back(at == std::string::npos ? "?" : r.body.substr(at + 8, 1));
    }
    return out;
  }
  std::vector<std::string> ParentEnv() {
    return {"NIMO_TEST_API_BASE=" + Server().BaseUrl(), "NIMO_TEST_TRACK_URL=" + Server().TrackUrl(),
            "NIMOSDK_CA_FILE=" + Server().CaFile(), "NIMO_STEAM_BRIDGE=" + Server().SteamBridge()};
  }

  Late late_;
};

class PayJournalConcurrency : public PayJournal {};

}  // namespace

// The server opens the Steam transaction before it answers create_order: Steam's
// answer reaching the game first used to be dropped as "Not Found Steam Order".
TEST_F(PayJournalConcurrency, EarlySteamAnswerIsHeldAndReportedWhenTheOrderArrives) {
  Server().SetSteamFirst(true);
  Server().SetSteamDelay(300);
  InitAndLogin();
  Buy();
  auto call = Next();
  ASSERT_EQ(call.code, 200) << call.message;
  EXPECT_EQ(json::parse(call.data)["status"], 1);
  auto order = Server().Orders().at(0);
  EXPECT_EQ(order.payStatus, 1);
  EXPECT_EQ(order.reports, 1);
  EXPECT_EQ(Pay().HeldAnswerCount(), 0u);
  EXPECT_TRUE(Eventually([&] { return Entries().empty(); }));
  EXPECT_TRUE(NoMoreCallbacks());
}

// A decline, then Steam's authorisation while the decline is being reported:
// the authorisation used to be dropped; now it follows, and the game hears once.
TEST_F(PayJournalConcurrency, RepeatDuringAReportIsReportedAfterIt) {
  Server().SetSteamDelay(600);  // the sandbox's own "1" comes while the "0" is in flight
  InitAndLogin();
  Server().SetFault(Endpoint::PayResult, Make(FaultMode::None, 1, 1200));
  Buy();
  ASSERT_TRUE(Eventually([&] { return !Server().Orders().empty(); }));
  std::string id = Server().Orders()[0].steamOrderId;
  ASSERT_TRUE(Eventually([&] { return Pay().HasOrder(id); }));
  steam_standin::QueueMicroTxnAuthorization(480, std::stoull(id), false);
  auto call = Next();
  ASSERT_EQ(call.code, 200) << call.message;
  EXPECT_EQ(json::parse(call.data)["status"], 1);
  EXPECT_EQ(PayResultStatuses(), (std::vector<std::string>{"0", "1"}));
  EXPECT_EQ(Server().FindOrderBySteamId(id)->payStatus, 1);
  EXPECT_TRUE(NoMoreCallbacks());
  EXPECT_EQ(late_.Count(), 0u);
}

// The game is killed after Steam's authorisation and before the server heard
// the report: the next run of the game reports it, for the player who bought.
TEST_F(PayJournal, KilledBeforeTheReportIsReportedByTheNextRun) {
  if (nimo_test::ChildMode() == "buyer") {
    InitAndLogin();
    Buy();
    std::this_thread::sleep_for(30s);  // killed long before
    return;
  }
  Server().SetFault(Endpoint::PayResult, Make(FaultMode::Hang));
  pid_t child = nimo_test::SpawnCurrentTest("buyer", ParentEnv());
  ASSERT_GT(child, 0);
  auto authorised = [&] {
    json e = Entries();
    return e.size() == 1 && e[0].value("steamStatus", "") == "1" && Server().InFlight() > 0;
  };
  bool ready = Eventually(authorised, 20s);
  ::kill(child, SIGKILL);
  EXPECT_EQ(nimo_test::WaitChild(child, 10s), 128 + SIGKILL);
  ASSERT_TRUE(ready);
  const std::string id = Entries()[0]["steamOrderId"];
  EXPECT_EQ(Server().FindOrderBySteamId(id)->reports, 0);

  Server().ClearFaults();
  Server().SetFault(Endpoint::PayResult, Make(FaultMode::Lost, 1));  // and the first answer is lost
  ASSERT_EQ(InitAndWait().code, 200);  // no login: the order carries its buyer
  ASSERT_TRUE(Eventually([&] { return Entries().empty() && late_.Count() == 1; }));
  EXPECT_EQ(late_.reports[0].first, 200);
  EXPECT_EQ(json::parse(late_.reports[0].second)["status"], 1);
  auto order = *Server().FindOrderBySteamId(id);
  EXPECT_EQ(order.payStatus, 1);
  EXPECT_EQ(order.reports, 2);  // the lost one and its retry, one verdict
  EXPECT_FALSE(Pay().HasOrder(id));
  EXPECT_TRUE(NoMoreCallbacks());  // the game of this run bought nothing
}

// Paid on the server, answer lost every time: the game hears once, and the
// authorisation stays journalled for the next run.
TEST_F(PayJournal, LostReportAnswersKeepTheAuthorisation) {
  InitAndLogin();
  Server().SetFault(Endpoint::PayResult, Make(FaultMode::Lost));
  Buy();
  auto call = Next();
  EXPECT_EQ(call.code, -502) << call.message;
  auto order = Server().Orders().at(0);
  EXPECT_EQ(order.payStatus, 1);
  EXPECT_EQ(order.reports, NimoSdk::CNimoPay::kPayResultAttempts);
  json entries = Entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0]["steamStatus"], "1");
  EXPECT_EQ(entries[0]["order"]["orderId"], order.orderId);
  EXPECT_EQ(entries[0]["order"]["userId"], order.userId);
  EXPECT_TRUE(NoMoreCallbacks());
}

TEST_F(PayJournal, ExitDuringARecoveryReportKeepsItsBound) {
  json order = {{"orderId", "SO1"}, {"userId", "100001"}, {"product", {{"productId", "gem_60"}}}};
  json entry = {{"createdMs", PurchaseJournal::NowMs()}, {"order", order}, {"steamOrderId", "5000000001"},
                {"steamStatus", "1"}};
  fs::create_directories(fs::path(JournalPath()).parent_path());
  nimo_test::WriteText(JournalPath(), json{{"entries", {entry}}, {"version", 1}}.dump());
  Server().SetFault(Endpoint::PayResult, Make(FaultMode::Hang));
  ASSERT_EQ(InitAndWait().code, 200);
  ASSERT_TRUE(Eventually([&] { return Server().InFlight() > 0; }));
  auto start = std::chrono::steady_clock::now();
  NimoProxy::Exit();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_EQ(Entries().size(), 1u);  // still owed
}

// ---------------------------------------------------------------- the file itself

class JournalFile : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(dir()); }
  std::string dir() const { return home_.Root() + "/game"; }
  std::string path() const { return dir() + "/PayJournal"; }
  std::vector<std::string> Aside() const {
    std::vector<std::string> out;
    for (const auto& f : fs::directory_iterator(dir())) {
      if (f.path().filename().string().rfind("PayJournal.bad-", 0) == 0) out.push_back(f.path().string());
    }
    return out;
  }
  nimo_test::TempDataHome home_;
};

TEST_F(JournalFile, UnreadableFileIsKeptAsideAndAFreshOneStarted) {
  const std::string valid = R"({"entries":[{"createdMs":1,"steamOrderId":"9","steamStatus":"1"}],"version":1})";
  const std::string cases[] = {
      valid.substr(0, valid.size() / 2),                                  // torn
      std::string("\x00\xff garbage", 10),                                // garbage
      std::string(64, '[') + std::string(64, ']'),                        // nested too deep
      R"({"entries":{}})",                                                // not a list
      R"({"entries":[{"createdMs":"1","steamOrderId":"9","steamStatus":"1"}]})",  // wrong type
      R"({"entries":[{"createdMs":1,"steamOrderId":"9","steamStatus":"2"}]})",    // unknown status
      std::string(PurchaseJournal::kMaxFileBytes + 1, ' '),               // too large
  };
  for (const std::string& text : cases) {
    for (const auto& f : Aside()) fs::remove(f);
    nimo_test::WriteText(path(), text);
    PurchaseJournal journal(path());
    journal.RecordSteamAnswer("77", "1");
    auto aside = Aside();
    ASSERT_EQ(aside.size(), 1u) << text.substr(0, 40);
    EXPECT_EQ(nimo_test::ReadText(aside[0]), text) << "kept as it was";
    auto entries = journal.Load(60000);
    ASSERT_EQ(entries.size(), 1u) << text.substr(0, 40);
    EXPECT_EQ(entries[0].steamOrderId, "77");
  }
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
