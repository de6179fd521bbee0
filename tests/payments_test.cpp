// Purchases against the sandbox, whose Steam stand-in plays the player, and
// create-order and pay-result answers written by hand.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "Sdk/CNimoCore.h"
#include "Sdk/CNimoDelivery.h"
#include "nimosdk64_c.h"
#include "platform/steam/steam_control.h"
#include "platform/sys/FileLock.h"
#include "support/PurchaseFixture.h"

using namespace std::chrono_literals;
using nimo_sandbox::Endpoint;
using nimo_sandbox::FaultMode;
using nimo_sandbox::PlayerMode;
using nimo_test::CallbackRecorder;
using nimo_test::Eventually;
using nimo_test::MakeFault;
using nimo_test::Purchase;
using NimoSdk::Core;
using NimoSdk::Pay;
using json = nlohmann::json;

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
class PurchaseWithoutCatalogue : public Purchase, public ::testing::WithParamInterface<Unloaded> {
 protected:
  // The catalogue's preload fails; later loads fail `times - 1` more times.
  void FailCatalogue(int times, const std::string& msg) {
    Fail(Endpoint::Products, FaultMode::Code, times, 1001, msg);
    InitAndLogin();
    ASSERT_TRUE(Eventually([&] { return Server().RequestCount(Endpoint::Products) == 1; }));
  }
};

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
    EXPECT_TRUE(Eventually([] { return Core().IsExiting(); }));
  }
  exiting.join();
  EXPECT_EQ(json::parse(ExpectNext(200).data)["status"], 1);
  EXPECT_TRUE(NoMoreCallbacks());
  EXPECT_TRUE(Eventually([&] { return Entries().empty(); }));
  // Exit took the purchase before the confirmation was handled: Exit gives the confirmation.
  NimoSdk::GameCallback purchase(CallbackRecorder::Callback);
  auto open = NimoSdk::Delivery().BeginExit();
  EXPECT_TRUE(NimoSdk::NotifyGameSettled(purchase, 200, "Success", "{}", nullptr));
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
    Core().AssumeReady(true);
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
