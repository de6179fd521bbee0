// Purchases end to end: the SDK, the sandbox and the Steam stand-in playing the
// player in the overlay.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "Sdk/CNimoCore.h"
#include "Sdk/CNimoPay.h"
#include "Sdk/Singletons.h"
#include "nimosdk64.h"
#include "platform/steam/steam_control.h"
#include "support/ScriptedApi.h"
#include "support/SdkHarness.h"

using namespace std::chrono_literals;
using nimo_sandbox::Endpoint;
using nimo_sandbox::Fault;
using nimo_sandbox::FaultMode;
using nimo_sandbox::PlayerMode;
using nimo_test::CallbackRecorder;
using nimo_test::Eventually;
using NimoSdk::Core;
using NimoSdk::Pay;
using json = nlohmann::json;

namespace {

class Purchase : public nimo_test::SdkTest {
 protected:
  void Buy(const std::string& productId, const std::string& extInfo) {
    NimoProxy::CallPay(std::wstring(productId.begin(), productId.end()), std::wstring(extInfo.begin(), extInfo.end()),
                       CallbackRecorder::Callback);
  }
  std::string PayResultBody() {
    for (const auto& r : Server().Requests())
      if (r.endpoint == "pay_result") return r.body;
    return "";
  }
};

Fault Make(FaultMode mode, int times = -1, int code = 500, std::string msg = "Sandbox fault") {
  Fault f;
  f.mode = mode;
  f.times = times;
  f.code = code;
  f.msg = std::move(msg);
  return f;
}

}  // namespace

TEST_F(Purchase, ApprovedIsReportedAndTheOrderLeaves) {
  InitAndLogin();
  NimoProxy::SetServerId(L"server-7");
  NimoProxy::SetGameUserId(L"hero-1");
  NimoProxy::SetNickName(L"Aria");
  Buy("gem_60", "chest=gold&x");
  auto call = Next();
  ASSERT_EQ(call.code, 200) << call.message << " " << call.data;
  auto orders = Server().Orders();
  ASSERT_EQ(orders.size(), 1u);
  const auto& order = orders[0];
  EXPECT_EQ(call.data, R"({"amount":990000,"currency":"USD","extInfo":"chest=gold&x","orderId":")" + order.orderId +
                           R"(","productId":"gem_60","quantity":1,"status":1})");
  EXPECT_NE(call.thread, std::this_thread::get_id());
  EXPECT_FALSE(Pay().HasOrder(order.steamOrderId));
  EXPECT_EQ(order.serverId, "server-7");
  EXPECT_EQ(order.gameUserId, "hero-1");
  EXPECT_EQ(order.nickName, "Aria");
  EXPECT_EQ(order.extInfo, "chest=gold&x");
  EXPECT_EQ(order.channelProductId, "1001");
  EXPECT_EQ(order.payStatus, 1);
  std::string body = PayResultBody();
  EXPECT_NE(body.find("&status=1&payAmountMicros=990000&"), std::string::npos) << body;
  EXPECT_NE(body.find("&extVerifyInfo={\"steamOrderId\":\"" + order.steamOrderId + "\"}&"), std::string::npos) << body;
  EXPECT_NE(body.find("&serverId=server-7&gameUserId=hero-1&"), std::string::npos) << body;
  EXPECT_NE(body.find("&channelProductId=1001&"), std::string::npos) << body;
  EXPECT_TRUE(NoMoreCallbacks());
}

TEST_F(Purchase, DeclinedIsReportedWithStatusZeroAndTheOrderStays) {
  Server().SetProductPlayer("gem_300", PlayerMode::Decline);
  InitAndLogin();
  Buy("gem_300", "");
  auto call = Next();
  ASSERT_EQ(call.code, 200) << call.message;
  json report = json::parse(call.data);
  EXPECT_EQ(report["status"], 0);
  EXPECT_EQ(report["amount"], 4990000);  // the price, whatever the outcome
  EXPECT_EQ(report["quantity"], 1);
  auto order = Server().Orders().at(0);
  EXPECT_TRUE(Pay().HasOrder(order.steamOrderId));
  std::string body = PayResultBody();
  EXPECT_NE(body.find("&status=0&payAmountMicros=0&"), std::string::npos) << body;
}

TEST_F(Purchase, RefusedBeforeInitBeforeLoginAndAfterExit) {
  Buy("gem_60", "");
  ASSERT_EQ(rec().Count(), 1u);
  auto notInit = Next();
  EXPECT_EQ(notInit.code, -401);
  EXPECT_EQ(notInit.message, "Sdk Not Init.");
  EXPECT_EQ(notInit.thread, std::this_thread::get_id());

  ASSERT_EQ(InitAndWait().code, 200);
  Buy("gem_60", "");
  ASSERT_EQ(rec().Count(), seen_ + 1);
  auto notLogin = Next();
  EXPECT_EQ(notLogin.code, -405);
  EXPECT_EQ(notLogin.message, "Not Login.");

  ASSERT_EQ(LoginAndWait().code, 200);
  NimoProxy::Logout();
  Buy("gem_60", "");
  EXPECT_EQ(Next().code, -405);

  NimoProxy::Exit();
  Buy("gem_60", "");
  ASSERT_EQ(rec().Count(), seen_ + 1);
  auto exited = Next();
  EXPECT_EQ(exited.code, -400);
  EXPECT_EQ(exited.message, "Process Exit!");
  EXPECT_EQ(Server().RequestCount(Endpoint::CreateOrder), 0);
}

TEST_F(Purchase, UnknownProductWithTheCatalogueLoadedIsRefusedAtOnce) {
  InitAndLogin();
  ASSERT_TRUE(Eventually([] { return Pay().IsProductsLoaded(); }));
  Buy("GEM_60", "");  // ids compare byte for byte
  ASSERT_EQ(rec().Count(), seen_ + 1);
  auto call = Next();
  EXPECT_EQ(call.code, -400);
  EXPECT_EQ(call.message, "Not Found Product.");
  EXPECT_EQ(call.thread, std::this_thread::get_id());
  Buy("starter_pack", "");  // sold on another channel only
  EXPECT_EQ(Next().code, -400);
  EXPECT_EQ(Server().RequestCount(Endpoint::CreateOrder), 0);
}

TEST_F(Purchase, CatalogueLoadedByThePurchaseItself) {
  Server().SetFault(Endpoint::Products, Make(FaultMode::Code, 1, 1001));  // the preload fails
  InitAndLogin();
  ASSERT_TRUE(Eventually([&] { return Server().RequestCount(Endpoint::Products) == 1; }));
  EXPECT_FALSE(Pay().IsProductsLoaded());
  Buy("vip_month", "");
  auto call = Next();
  EXPECT_EQ(call.code, 200) << call.message;
  EXPECT_EQ(json::parse(call.data)["productId"], "vip_month");
  Buy("no_such_product", "");
  EXPECT_EQ(Next().code, -400);
}

TEST_F(Purchase, UnknownProductFoundMissingAfterTheLoadIsRefusedOnAWorker) {
  Server().SetFault(Endpoint::Products, Make(FaultMode::Code, 1, 1001));
  InitAndLogin();
  ASSERT_TRUE(Eventually([&] { return Server().RequestCount(Endpoint::Products) == 1; }));
  Buy("no_such_product", "");
  auto call = Next();
  EXPECT_EQ(call.code, -400);
  EXPECT_NE(call.thread, std::this_thread::get_id());
}

TEST_F(Purchase, CatalogueThatCannotBeLoadedEndsThePurchase) {
  Server().SetFault(Endpoint::Products, Make(FaultMode::Code, 2, 1001, "no catalogue"));
  InitAndLogin();
  ASSERT_TRUE(Eventually([&] { return Server().RequestCount(Endpoint::Products) == 1; }));
  Buy("gem_60", "");
  auto call = Next();
  EXPECT_EQ(call.code, 1001);
  EXPECT_EQ(call.message, "Query Product Failure, no catalogue");
  EXPECT_NE(call.data.find("no catalogue"), std::string::npos);
  EXPECT_EQ(Server().RequestCount(Endpoint::CreateOrder), 0);
}

TEST_F(Purchase, CreateOrderFailuresReachTheGameOnce) {
  InitAndLogin();
  Server().SetFault(Endpoint::CreateOrder, Make(FaultMode::Code, 1, 3001, "out of stock"));
  Buy("gem_60", "");
  auto refused = Next();
  EXPECT_EQ(refused.code, 3001);
  EXPECT_EQ(refused.message, "out of stock");
  Server().SetFault(Endpoint::CreateOrder, Make(FaultMode::Http502, 1));
  Buy("gem_60", "");
  EXPECT_EQ(Next().code, -502);
  Server().SetFault(Endpoint::CreateOrder, Make(FaultMode::Truncated, 1));
  Buy("gem_60", "");
  EXPECT_EQ(Next().code, -501);
  EXPECT_TRUE(NoMoreCallbacks(500ms));
}

TEST_F(Purchase, UnknownSteamOrderIsHeldForItsTimeThenDropped) {
  InitAndLogin();
  Pay().SetHeldAnswerTime(200);
  steam_standin::QueueMicroTxnAuthorization(480, 987654321987ULL, true);
  ASSERT_TRUE(Eventually([] { return Pay().HeldAnswerCount() == 1; }));
  ASSERT_TRUE(Eventually([] { return Pay().HeldAnswerCount() == 0; }));
  const std::string journal = home_->SdkFolder() + "/480/PayJournal";
  EXPECT_TRUE(Eventually([&] { return nimo_test::ReadText(journal).find("987654321987") == std::string::npos; }));
  EXPECT_TRUE(NoMoreCallbacks());
  EXPECT_EQ(Server().RequestCount(Endpoint::PayResult), 0);
}

TEST_F(Purchase, PayResultIsRetriedUntilTheServerAnswers) {
  InitAndLogin();
  Server().SetFault(Endpoint::PayResult, Make(FaultMode::Http502, 2));
  Buy("gem_60", "");
  auto call = Next();
  EXPECT_EQ(call.code, 200) << call.message;
  EXPECT_EQ(json::parse(call.data)["status"], 1);
  EXPECT_EQ(Server().RequestCount(Endpoint::PayResult), 3);
  EXPECT_EQ(Server().Orders()[0].payStatus, 1);
  EXPECT_TRUE(NoMoreCallbacks());
}

TEST_F(Purchase, ReportThatNeverGetsThroughTellsTheGameAndKeepsTheOrder) {
  InitAndLogin();
  Server().SetFault(Endpoint::PayResult, Make(FaultMode::Http502));
  Buy("gem_60", "ext");
  auto call = Next();
  EXPECT_EQ(call.code, -502);
  EXPECT_EQ(call.message, "Http Code:502, Msg:");
  json report = json::parse(call.data);
  EXPECT_EQ(report["status"], 0);
  EXPECT_EQ(report["extInfo"], "ext");
  EXPECT_EQ(report["amount"], 990000);
  EXPECT_EQ(Server().RequestCount(Endpoint::PayResult), NimoSdk::CNimoPay::kPayResultAttempts);
  EXPECT_TRUE(Pay().HasOrder(Server().Orders()[0].steamOrderId));
  EXPECT_TRUE(NoMoreCallbacks());
}

TEST_F(Purchase, EveryReportAttemptCarriesTheBuyersFacts) {
  InitAndLogin();
  Server().SetSteamDelay(500);
  Server().SetFault(Endpoint::PayResult, Make(FaultMode::Http502, 1));
  NimoProxy::SetServerId(L"s-1");
  NimoProxy::SetGameUserId(L"g-1");
  Buy("gem_60", "");
  ASSERT_TRUE(Eventually([&] { return !Server().Orders().empty(); }));
  ASSERT_TRUE(Eventually([&] { return Pay().HasOrder(Server().Orders()[0].steamOrderId); }));
  NimoProxy::Logout();  // before Steam answers
  NimoProxy::SetServerId(L"s-2");
  auto call = Next();
  EXPECT_EQ(call.code, 200) << call.message;
  EXPECT_EQ(json::parse(call.data)["status"], 1);
  int reports = 0;
  for (const auto& r : Server().Requests()) {
    if (r.endpoint != "pay_result") continue;
    ++reports;
    EXPECT_NE(r.body.find("&userId=" + Server().Orders()[0].userId + "&serverId=s-1&gameUserId=g-1&"),
              std::string::npos)
        << r.body;
  }
  EXPECT_EQ(reports, 2);
}

TEST_F(Purchase, LogoutReachesLaterOrders) {
  InitAndLogin();
  NimoProxy::SetServerId(L"s-1");
  NimoProxy::Logout();
  ASSERT_EQ(LoginAndWait().code, 200);
  Buy("gem_60", "");
  ASSERT_EQ(Next().code, 200);
  EXPECT_EQ(Server().Orders()[0].serverId, "");
}

TEST_F(Purchase, ServerThatRefusesTheReportKeepsTheOrder) {
  InitAndLogin();
  Server().SetFault(Endpoint::PayResult, Make(FaultMode::Code, 1, 4001, "not yet"));
  Buy("gem_60", "");
  auto call = Next();
  EXPECT_EQ(call.code, 4001);
  EXPECT_EQ(call.message, "not yet");
  EXPECT_EQ(json::parse(call.data)["status"], 0);
  EXPECT_TRUE(Pay().HasOrder(Server().Orders()[0].steamOrderId));
  EXPECT_EQ(Server().RequestCount(Endpoint::PayResult), 1);  // a refusal is an answer, not retried
}

TEST_F(Purchase, TwoPurchasesAtOnceConcurrency) {
  InitAndLogin();
  ASSERT_TRUE(Eventually([] { return Pay().IsProductsLoaded(); }));
  std::thread a([&] { Buy("gem_60", "a"); });
  std::thread b([&] { Buy("gem_300", "b"); });
  a.join();
  b.join();
  ASSERT_TRUE(rec().WaitFor(seen_ + 2));
  auto calls = rec().Calls();
  std::set<std::string> products, orders;
  for (std::size_t i = seen_; i < calls.size(); ++i) {
    EXPECT_EQ(calls[i].code, 200);
    json r = json::parse(calls[i].data);
    EXPECT_EQ(r["status"], 1);
    products.insert(r["productId"].get<std::string>());
    orders.insert(r["orderId"].get<std::string>());
  }
  EXPECT_EQ(products, (std::set<std::string>{"gem_60", "gem_300"}));
  EXPECT_EQ(orders.size(), 2u);
}

// --- create-order answers written by hand ---

class OrderAnswers : public ::testing::Test {
 protected:
  void SetUp() override {
    api.PointSdkAtIt();
    api.Answer("/v10/pay/products.do",
               R"({"code":200,"productList":[{"productId":"p","payChannel":[{"name":"STEAM","channelProductId":"c"}]}]})");
    Core().isInit = true;
    Core().isLogin = true;
  }
  void TearDown() override { NimoProxy::Exit(); }
  nimo_test::Call Buy() {
    NimoProxy::CallPay(L"p", L"", CallbackRecorder::Callback);
    EXPECT_TRUE(CallbackRecorder::Get().WaitFor(++n));
    return CallbackRecorder::Get().Last();
  }
  nimo_test::ScriptedApi api;
  std::size_t n = 0;
};

TEST_F(OrderAnswers, UnreadableCreateOrderAnswersAreParseErrors) {
  const char* bodies[] = {
      R"({"code":200,"orderId":"A1"})",                                        // no extInfo
      R"({"code":200,"orderId":"A1","extInfo":"42"})",                          // extInfo not an object
      R"({"code":200,"orderId":7,"extInfo":{"steamOrderId":"42"}})",           // wrong type
      R"({"code":200,"defaultAmountMicro":"9","extInfo":{"steamOrderId":"42"}})",
      R"({"code":200,"extInfo":{"steamOrderId":42}})",
  };
  for (const char* body : bodies) {
    api.Answer("/v10/pay/create_order.do", body);
    auto call = Buy();
    EXPECT_EQ(call.code, -501) << body;
    EXPECT_EQ(call.message, "Server JSON Parse Error.") << body;
    EXPECT_FALSE(Pay().HasOrder("42")) << body;
  }
}

TEST_F(OrderAnswers, ReadableAnswerKeepsTheOrderSilently) {
  api.Answer("/v10/pay/create_order.do",
             R"({"code":200,"orderId":"A1","defaultAmountMicro":990,"extInfo":{"steamOrderId":"42"}})");
  NimoProxy::CallPay(L"p", L"", CallbackRecorder::Callback);
  ASSERT_TRUE(Eventually([] { return Pay().HasOrder("42"); }));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(CallbackRecorder::Get().Count(), 0u);
}

TEST_F(OrderAnswers, DuplicateSteamAnswerIsReportedOnce) {
  Core().SetPumpPeriod(5ms);
  ASSERT_TRUE(Core().InitSteam());
  api.Answer("/v10/pay/create_order.do",
             R"({"code":200,"orderId":"A1","defaultAmountMicro":990,"extInfo":{"steamOrderId":"42"}})");
  api.Answer("/v10/pay/pay_result.do", R"({"code":200,"status":1})");
  NimoProxy::CallPay(L"p", L"e", CallbackRecorder::Callback);
  ASSERT_TRUE(Eventually([] { return Pay().HasOrder("42"); }));
  steam_standin::QueueMicroTxnAuthorization(480, 42, true);
  steam_standin::QueueMicroTxnAuthorization(480, 42, true);
  ASSERT_TRUE(CallbackRecorder::Get().WaitFor(1));
  auto call = CallbackRecorder::Get().Last();
  EXPECT_EQ(call.code, 200);
  EXPECT_EQ(call.data, R"({"amount":990,"currency":"","extInfo":"e","orderId":"A1","productId":"p","quantity":1,"status":1})");
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(CallbackRecorder::Get().Count(), 1u);
  EXPECT_EQ(api.Count("/v10/pay/pay_result.do"), 1);
  EXPECT_FALSE(Pay().HasOrder("42"));
  steam_standin::QueueMicroTxnAuthorization(480, 42, true);  // a late repeat finds no order
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(api.Count("/v10/pay/pay_result.do"), 1);
}

TEST_F(OrderAnswers, RepeatedSteamAnswerAfterADeclineReportsAgainWithoutASecondCallback) {
  Core().SetPumpPeriod(5ms);
  ASSERT_TRUE(Core().InitSteam());
  std::atomic<int> late{0};
  Pay().SetLateReportHandler([&](int, const std::string&, const std::string&) { ++late; });
  api.Answer("/v10/pay/create_order.do", R"({"code":200,"orderId":"A1","extInfo":{"steamOrderId":"42"}})");
  api.Answer("/v10/pay/pay_result.do", R"({"code":200,"status":0})");
  NimoProxy::CallPay(L"p", L"", CallbackRecorder::Callback);
  ASSERT_TRUE(Eventually([] { return Pay().HasOrder("42"); }));
  steam_standin::QueueMicroTxnAuthorization(480, 42, false);
  ASSERT_TRUE(CallbackRecorder::Get().WaitFor(1));
  EXPECT_TRUE(Pay().HasOrder("42"));
  steam_standin::QueueMicroTxnAuthorization(480, 42, true);
  ASSERT_TRUE(Eventually([&] { return late == 1; }));  // one callback per purchase; the rest to the hook
  EXPECT_EQ(api.Count("/v10/pay/pay_result.do"), 2);
  EXPECT_EQ(CallbackRecorder::Get().Count(), 1u);
  Pay().SetLateReportHandler(nullptr);
}
