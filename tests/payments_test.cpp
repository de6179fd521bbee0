// Purchases against the sandbox, whose Steam stand-in plays the player, and the
// purchase journal that keeps payments from being lost or reported twice.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <limits>
#include <nlohmann/json.hpp>

#include "Sdk/CNimoCore.h"
#include "Sdk/CNimoDelivery.h"
#include "Sdk/CNimoPay.h"
#include "Sdk/PurchaseJournal.h"
#include "Sdk/Singletons.h"
#include "nimosdk64.h"
#include "nimosdk64_c.h"
#include "platform/steam/steam_control.h"
#include "platform/sys/FileLock.h"
#include "support/SdkHarness.h"
#include "support/child_process.h"

using namespace std::chrono_literals;
using nimo_sandbox::Endpoint;
using nimo_sandbox::FaultMode;
using nimo_sandbox::PlayerMode;
using nimo_test::CallbackRecorder;
using nimo_test::Eventually;
using nimo_test::MakeFault;
using NimoSdk::Core;
using NimoSdk::Pay;
using NimoSdk::PurchaseJournal;
using json = nlohmann::json;
namespace fs = std::filesystem;

namespace {

class Purchase : public nimo_test::SdkTest {
 protected:
  void Buy(const std::string& productId, const std::string& extInfo = "") {
    NimoProxy::CallPay(std::wstring(productId.begin(), productId.end()), std::wstring(extInfo.begin(), extInfo.end()),
                       CallbackRecorder::Callback);
  }
  std::vector<std::string> PayResultBodies() {
    std::vector<std::string> out;
    for (const auto& r : Server().Requests())
      if (r.endpoint == "pay_result") out.push_back(r.body);
    return out;
  }
  // The catalogue's preload fails; later loads fail `times - 1` more times.
  void FailCatalogue(int times, const std::string& msg = "Sandbox fault") {
    Fail(Endpoint::Products, FaultMode::Code, times, 1001, msg);
    InitAndLogin();
    ASSERT_TRUE(Eventually([&] { return Server().RequestCount(Endpoint::Products) == 1; }));
  }
  std::string JournalPath() const { return home_->SdkFolder() + "/480/PayJournal"; }
  json Entries() const {
    json doc = json::parse(nimo_test::ReadText(JournalPath()), nullptr, false);
    return doc.is_object() ? doc["entries"] : json::array();
  }
};

// Reports after the game's one callback go to a hook, recorded here.
class PayJournal : public Purchase {
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

TEST_F(Purchase, ApprovedIsReportedAndTheOrderLeaves) {
  InitAndLogin();
  NimoProxy::SetServerId(L"server-7");
  NimoProxy::SetGameUserId(L"hero-1");
  NimoProxy::SetNickName(L"A&B=C 小明");  // separators in values still verify
  Buy("gem_60", "chest=gold&userId=3");
  auto call = ExpectNext(200);
  ASSERT_EQ(Server().Orders().size(), 1u);
  const auto order = Server().Orders()[0];
  EXPECT_EQ(call.data, R"({"amount":990000,"currency":"USD","extInfo":"chest=gold&userId=3","orderId":")" + order.orderId +
                           R"(","productId":"gem_60","quantity":1,"status":1})");
  EXPECT_NE(call.thread, std::this_thread::get_id());
  EXPECT_FALSE(Pay().HasOrder(order.steamOrderId));
  EXPECT_EQ((std::vector<std::string>{order.serverId, order.gameUserId, order.nickName, order.extInfo,
                                       order.channelProductId, std::to_string(order.payStatus)}),
            (std::vector<std::string>{"server-7", "hero-1", "A&B=C 小明", "chest=gold&userId=3", "1001", "1"}));
  ASSERT_EQ(PayResultBodies().size(), 1u);
  const std::string steamId = "&extVerifyInfo={\"steamOrderId\":\"" + order.steamOrderId + "\"}&";
  for (const std::string& part : {std::string("&status=1&payAmountMicros=990000&"), steamId,
                                  std::string("&channelProductId=1001&")})
    EXPECT_NE(PayResultBodies()[0].find(part), std::string::npos) << part << " in " << PayResultBodies()[0];
  EXPECT_TRUE(NoMoreCallbacks());
}

TEST_F(Purchase, DeclinedIsReportedWithStatusZeroAndTheOrderStays) {
  Server().SetProductPlayer("gem_300", PlayerMode::Decline);
  InitAndLogin();
  Buy("gem_300");
  json report = json::parse(ExpectNext(200).data);
  EXPECT_EQ(report["status"], 0);
  EXPECT_EQ(report["amount"], 4990000);  // the price, whatever the outcome
  EXPECT_TRUE(Pay().HasOrder(Server().Orders().at(0).steamOrderId));
  ASSERT_EQ(PayResultBodies().size(), 1u);
  EXPECT_NE(PayResultBodies()[0].find("&status=0&payAmountMicros=0&"), std::string::npos) << PayResultBodies()[0];
}

// Without a catalogue a purchase loads it first, and decides on a worker.
struct Unloaded {
  int loadFailures;
  const char* product;
  int code;
  const char* message;
  bool viaC = false;  // nimo_call_pay, whose codes are distinct
};
void PrintTo(const Unloaded& u, std::ostream* os) { *os << u.product; }
class PurchaseWithoutCatalogue : public Purchase, public ::testing::WithParamInterface<Unloaded> {};

TEST_P(PurchaseWithoutCatalogue, LoadsItFirst) {
  FailCatalogue(GetParam().loadFailures, "no catalogue");
  EXPECT_FALSE(Pay().IsProductsLoaded());
  if (GetParam().viaC) {
    nimo_call_pay(GetParam().product, "", CallbackRecorder::CCallback, nullptr);
  } else {
    Buy(GetParam().product);
  }
  auto call = ExpectNext(GetParam().code, GetParam().message);
  EXPECT_NE(call.thread, std::this_thread::get_id());
  EXPECT_EQ(Server().RequestCount(Endpoint::CreateOrder), GetParam().code == 200 ? 1 : 0);
  EXPECT_TRUE(GetParam().code != 200 || json::parse(call.data)["productId"] == GetParam().product) << call.data;
}

INSTANTIATE_TEST_SUITE_P(Cases, PurchaseWithoutCatalogue,
                         ::testing::Values(Unloaded{1, "vip_month", 200, "Success"},
                                           Unloaded{1, "no_such_product", -400, "Not Found Product."},
                                           Unloaded{1, "no_such_product", NIMO_PRODUCT_NOT_FOUND, "Not Found Product.", true},
                                           Unloaded{2, "gem_60", 1001, "Query Product Failure, no catalogue"}),
                         [](const auto& info) { return std::string(info.param.product) + (info.param.viaC ? "_c" : ""); });

// The game hears once per purchase; the authorisation stays journalled for a later report unless the
// server took a verdict.
TEST_F(Purchase, ReportRetriedUntilAnsweredAndAnOrderKeptUnlessPaid) {
  struct Case {
    FaultMode mode;
    int times, code;
    const char* msg;
    int gameCode, status, attempts;
    bool kept;
  };
  const Case cases[] = {
      {FaultMode::Http502, 2, 500, "", 200, 1, 3, false},  // retried until the server answers
      {FaultMode::Http502, -1, 500, "", -502, 0, NimoSdk::CNimoPay::kPayResultAttempts, true},  // never got through
      {FaultMode::Code, 1, 4001, "not yet", 4001, 0, 1, true},  // a refusal is an answer, not retried
      {FaultMode::Lost, -1, 500, "", -502, 0, NimoSdk::CNimoPay::kPayResultAttempts, true},  // paid, never heard
      {FaultMode::Code, 1, 404, "no such order", 404, 0, 1, true},  // perhaps not yet: retried by the next run
  };
  InitAndLogin();
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(i);
    Fail(Endpoint::PayResult, c.mode, c.times, c.code, c.msg);
    const int before = Server().RequestCount(Endpoint::PayResult);
    Buy("gem_60", "ext");
    auto call = ExpectNext(c.gameCode);
    EXPECT_TRUE(c.mode != FaultMode::Code || call.message == c.msg) << call.message;
    json report = json::parse(call.data);
    EXPECT_EQ(report["status"], c.status);
    EXPECT_EQ(report["extInfo"], "ext");
    // The sandbox may log a request whose answer it dropped after the SDK saw the drop.
    EXPECT_TRUE(Eventually([&] { return Server().RequestCount(Endpoint::PayResult) - before == c.attempts; }));
    ASSERT_EQ(Server().Orders().size(), i + 1);
    const auto order = Server().Orders()[i];
    EXPECT_EQ(Pay().HasOrder(order.steamOrderId), c.kept);
    json entries = Entries();
    auto entry = std::find_if(entries.begin(), entries.end(),
                              [&](const json& e) { return e["steamOrderId"] == order.steamOrderId; });
    EXPECT_EQ(entry != entries.end() && (*entry)["steamStatus"] == "1" && (*entry)["order"]["userId"] == order.userId,
              c.kept);
    EXPECT_TRUE(NoMoreCallbacks());
  }
  EXPECT_EQ(Server().Orders()[0].payStatus, 1);
  EXPECT_EQ(Server().Orders()[3].payStatus, 1);
}

TEST_F(Purchase, EveryReportAttemptCarriesTheBuyersFacts) {
  InitAndLogin();
  Server().SetSteamDelay(500);
  Fail(Endpoint::PayResult, FaultMode::Http502, 1);
  NimoProxy::SetServerId(L"s-1");
  NimoProxy::SetGameUserId(L"g-1");
  Buy("gem_60");
  ASSERT_TRUE(Eventually([&] { return !Server().Orders().empty(); }));
  ASSERT_TRUE(Eventually([&] { return Pay().HasOrder(Server().Orders()[0].steamOrderId); }));
  NimoProxy::Logout();  // before Steam answers
  NimoProxy::SetServerId(L"s-2");
  EXPECT_EQ(json::parse(ExpectNext(200).data)["status"], 1);
  ASSERT_EQ(PayResultBodies().size(), 2u);
  for (const auto& body : PayResultBodies())
    EXPECT_NE(body.find("&userId=" + Server().Orders()[0].userId + "&serverId=s-1&gameUserId=g-1&"), std::string::npos)
        << body;
}

// The server confirmed, and Exit begins before the game is told: the game hears the payment, not -400.
TEST_F(Purchase, ConfirmedPaymentStandsThroughExit) {
  InitAndLogin();
  Server().SetFault(Endpoint::PayResult, MakeFault(FaultMode::None, 1, 500, "", 300));
  Buy("gem_60");
  ASSERT_TRUE(Eventually([&] { return Entries().size() == 1 && Entries()[0].value("steamStatus", "") == "1"; }));
  std::thread exiting;
  {
    nimo_sys::FileLock lock(JournalPath() + ".lock");  // the journal step of the confirmation waits here
    Eventually([] { return NimoSdk::Delivery().OpenCount() == 0; }, 3s);  // the answer is read
    exiting = std::thread([] { NimoProxy::Exit(); });
    EXPECT_TRUE(Eventually([] { return Core().isExit.load(); }));
  }
  exiting.join();
  EXPECT_EQ(json::parse(ExpectNext(200).data)["status"], 1);
  EXPECT_TRUE(NoMoreCallbacks());
  EXPECT_TRUE(Eventually([&] { return Entries().empty(); }));
  // Exit took the purchase before the confirmation was handled: Exit gives the confirmation.
  NimoSdk::GameCallback purchase(CallbackRecorder::Callback);
  auto open = NimoSdk::Delivery().BeginExit();
  EXPECT_TRUE(NimoSdk::NotifyGameSettled(purchase, 200, L"Success", L"{}", nullptr));
  NimoSdk::Delivery().EndAtExit(open, -400, "Process Exit!");
  ExpectNext(200, "Success");
}

// The game pumps Steam: its frames never wait for the journal's file lock, and an answer for an order
// that never comes is held for its time, then dropped.
TEST_F(Purchase, GameOwnedSteamPumpNeverWaitsForTheJournal) {
  ASSERT_TRUE(Core().SetSteamOwnedByGame(true));
  ASSERT_EQ(SteamAPI_InitFlat(nullptr), 0);
  std::atomic<bool> stop{false};
  std::atomic<int> frames{0};
  std::thread game([&] {
    for (; !stop; ++frames, std::this_thread::sleep_for(2ms)) SteamAPI_RunCallbacks();
  });
  InitAndLogin();
  Pay().SetHeldAnswerTime(200);
  steam_standin::QueueMicroTxnAuthorization(480, 987654321987ULL, true);
  EXPECT_TRUE(Eventually([] { return Pay().HeldAnswerCount() == 1; }));
  EXPECT_TRUE(Eventually([] { return Pay().HeldAnswerCount() == 0; }));
  EXPECT_TRUE(Eventually([&] { return nimo_test::ReadText(JournalPath()).find("987654321987") == std::string::npos; }));
  EXPECT_EQ(Server().RequestCount(Endpoint::PayResult), 0);
  {
    nimo_sys::FileLock lock(JournalPath() + ".lock");
    Buy("gem_60");
    EXPECT_TRUE(Eventually([&] { return Server().SteamDelivered() == 1; }));
    const int seen = frames;
    EXPECT_TRUE(Eventually([&] { return frames > seen + 50; }));
  }
  EXPECT_EQ(json::parse(ExpectNext(200).data)["status"], 1);
  stop = true;
  game.join();
}

// --- create-order and pay-result answers written by hand ---

class OrderAnswers : public nimo_test::ScriptedTest {
 protected:
  void SetUp() override {
    ScriptedTest::SetUp();
    Answer("/v10/pay/products.do",
               R"({"code":200,"productList":[{"productId":"p","payChannel":[{"name":"STEAM","channelProductId":"c"}]}]})");
    Core().SetPumpPeriod(5ms);
    Core().isInit = true;
    Core().isLogin = true;
  }
  // A purchase of "p" whose order reached the SDK, with Steam running.
  void OrderFortyTwo(const char* payResult, const wchar_t* ext = L"") {
    ASSERT_TRUE(Core().InitSteam());
    Answer("/v10/pay/create_order.do",
               R"({"code":200,"orderId":"A1","defaultAmountMicro":990,"extInfo":{"steamOrderId":"42"}})");
    Answer("/v10/pay/pay_result.do", payResult);
    NimoProxy::CallPay(L"p", ext, CallbackRecorder::Callback);
    ASSERT_TRUE(Eventually([] { return Pay().HasOrder("42"); }));
  }
};

TEST_F(OrderAnswers, UnreadableCreateOrderAnswersAreParseErrors) {
  const char* bodies[] = {
      R"({"code":200,"orderId":"A1"})",                               // no extInfo
      R"({"code":200,"orderId":"A1","extInfo":"42"})",                // extInfo not an object
      R"({"code":200,"orderId":7,"extInfo":{"steamOrderId":"42"}})",  // wrong type
      R"({"code":200,"extInfo":{"steamOrderId":42}})",
      R"({"code":200,"orderId":"A1","extInfo":{}})",  // no Steam order id: no Steam answer could find it
  };
  for (const char* body : bodies) {
    SCOPED_TRACE(body);
    Answer("/v10/pay/create_order.do", body);
    NimoProxy::CallPay(L"p", L"", CallbackRecorder::Callback);
    ExpectNext(-501, "Server JSON Parse Error.");
    EXPECT_FALSE(Pay().HasOrder("42"));
  }
}

TEST_F(OrderAnswers, DuplicateSteamAnswerIsReportedOnce) {
  OrderFortyTwo(R"({"code":200,"status":1})", L"e");
  EXPECT_TRUE(NoMoreCallbacks(100ms));  // a readable order waits silently for Steam
  steam_standin::QueueMicroTxnAuthorization(480, 42, true);
  steam_standin::QueueMicroTxnAuthorization(480, 42, true);
  EXPECT_EQ(ExpectNext(200).data,
            R"({"amount":990,"currency":"","extInfo":"e","orderId":"A1","productId":"p","quantity":1,"status":1})");
  EXPECT_TRUE(NoMoreCallbacks());
  EXPECT_EQ(Count("/v10/pay/pay_result.do"), 1);
  EXPECT_FALSE(Pay().HasOrder("42"));
  steam_standin::QueueMicroTxnAuthorization(480, 42, true);  // a late repeat finds no order
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(Count("/v10/pay/pay_result.do"), 1);
}

TEST_F(OrderAnswers, RepeatedSteamAnswerAfterADeclineReportsAgainWithoutASecondCallback) {
  std::atomic<int> late{0};
  Pay().SetLateReportHandler([&](int, const std::string&, const std::string&) { ++late; });
  OrderFortyTwo(R"({"code":200,"status":0})");
  steam_standin::QueueMicroTxnAuthorization(480, 42, false);
  ExpectNext(200);
  EXPECT_TRUE(Pay().HasOrder("42"));
  steam_standin::QueueMicroTxnAuthorization(480, 42, true);
  ASSERT_TRUE(Eventually([&] { return late == 1; }));  // one callback per purchase; the rest to the hook
  EXPECT_EQ(Count("/v10/pay/pay_result.do"), 2);
  EXPECT_EQ(rec().Count(), 1u);
  Pay().SetLateReportHandler(nullptr);
}

// The server gives Steam order id 42 to a second purchase while the first one's report is retried.
TEST_F(OrderAnswers, EachReportFinishesItsOwnPurchase) {
  Pay().SetRetryBackoff(500);
  OrderFortyTwo("not json");
  steam_standin::QueueMicroTxnAuthorization(480, 42, true);
  ASSERT_TRUE(Eventually([&] { return Count("/v10/pay/pay_result.do") == 1; }));
  Answer("/v10/pay/create_order.do", R"({"code":200,"orderId":"A2","extInfo":{"steamOrderId":"42"}})");
  int second = 0;
  nimo_call_pay("p", "", CallbackRecorder::CCallback, &second);
  ASSERT_TRUE(Eventually([&] { return Count("/v10/pay/create_order.do") == 2; }));
  std::this_thread::sleep_for(100ms);
  Answer("/v10/pay/pay_result.do", R"({"code":200,"status":1})");
  auto call = ExpectNext(200);
  EXPECT_EQ(call.user, nullptr);
  EXPECT_EQ(json::parse(call.data)["orderId"], "A1");
  steam_standin::QueueMicroTxnAuthorization(480, 42, true);  // Steam's answer for the second
  call = ExpectNext(200);
  EXPECT_EQ(call.user, &second);
  EXPECT_EQ(json::parse(call.data)["orderId"], "A2");
  EXPECT_TRUE(NoMoreCallbacks());
}

// --- the journal ---

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
