// Init and Exit through the exports against the sandbox.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>

#include "Sdk/CNimoApi.h"
#include "Sdk/CNimoCore.h"
#include "Sdk/CNimoPay.h"
#include "Sdk/NimoConfigUtils.h"
#include "Sdk/Singletons.h"
#include "nimosdk64.h"
#include "platform/steam/steam_control.h"
#include "support/RawServer.h"
#include "support/SdkHarness.h"
#include "support/child_process.h"

using namespace std::chrono_literals;
using nimo_sandbox::Endpoint;
using nimo_sandbox::FaultMode;
using nimo_test::CallbackRecorder;
using nimo_test::Eventually;
using nimo_test::MakeFault;
using NimoSdk::Core;

namespace {

class InitFlow : public nimo_test::SdkTest {
 protected:
  void Init(NimoProxy::ResultCallback cb = CallbackRecorder::Callback) {
    NimoProxy::Init(L"10001", L"sandbox-key-10001", cb);
  }
  int Attribution() { return NimoSdk::NimoConfigUtils::ReadConfigJson(false)["AttributionFlag"]; }
};
class ExitFlow : public InitFlow {};

std::chrono::milliseconds TimeExit() {
  auto start = std::chrono::steady_clock::now();
  NimoProxy::Exit();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
}

void ExitingCallback(int code, std::wstring message, std::wstring data) {
  NimoProxy::Exit();
  CallbackRecorder::Callback(code, std::move(message), std::move(data));
}

}  // namespace

TEST_F(InitFlow, SucceedsOnceAndASecondInitAnswersAtOnce) {
  EXPECT_FALSE(NimoProxy::IsPayAvailable());
  auto call = InitAndWait();
  EXPECT_EQ(call.code, 200);
  EXPECT_NE(call.thread, std::this_thread::get_id());  // answers arrive on a worker
  EXPECT_TRUE(NimoProxy::IsPayAvailable());

  NimoProxy::Init(L"x", L"y", CallbackRecorder::Callback);
  ASSERT_EQ(rec().Count(), 2u);
  EXPECT_EQ(ExpectNext(200, "Sdk already init.").thread, std::this_thread::get_id());
  EXPECT_EQ(Server().RequestCount(Endpoint::Config), 1);
}

TEST_F(InitFlow, SteamRefusedOrAfterExitEndsAtOnce) {
  steam_standin::SetRunning(false);
  for (auto [code, message] : {std::pair{-402, "Steam Init Failure!"}, std::pair{-400, "Process Exit!"}}) {
    Init();
    ASSERT_EQ(rec().Count(), seen_ + 1);
    EXPECT_EQ(ExpectNext(code, message).thread, std::this_thread::get_id());
    EXPECT_TRUE(NoMoreCallbacks());
    EXPECT_FALSE(NimoProxy::IsPayAvailable());
    NimoProxy::Exit();
  }
  EXPECT_EQ(Server().RequestCount(Endpoint::Config), 0);
  EXPECT_TRUE(Server().Events().empty());
}

TEST_F(InitFlow, RefusedConfigurationThenRetried) {
  Fail(Endpoint::Config, FaultMode::Code, 1, 1001, "app disabled");
  Init();
  ExpectNext(1001, "app disabled");
  EXPECT_FALSE(Core().isInit.load());
  EXPECT_FALSE(NimoProxy::IsPayAvailable());
  EXPECT_EQ(LoginAndWait().code, -401);
  // Init again: the configuration is asked for again; no pool start error.
  EXPECT_EQ(InitAndWait().code, 200);
  EXPECT_TRUE(Core().isInit.load());
  EXPECT_EQ(Server().RequestCount(Endpoint::Config), 2);
  // One start-up event, from the first Init.
  ASSERT_TRUE(Eventually([&] { return Server().Events().size() >= 1; }));
  std::this_thread::sleep_for(100ms);
  int startups = 0;
  for (const auto& e : Server().Events()) startups += e.json["event"] == "zko_startup" ? 1 : 0;
  EXPECT_EQ(startups, 1);
  EXPECT_TRUE(NoMoreCallbacks());
}

// Two Init calls while the first waits; the sandbox delays whichever request it
// sees first, so each order of the two answers is rehearsed: {first, second} delay.
class SecondInitWhileWaiting : public InitFlow, public ::testing::WithParamInterface<std::pair<int, int>> {};

TEST_P(SecondInitWhileWaiting, BothAreAnsweredOnce) {
  auto delay = [](int ms) { return MakeFault(FaultMode::None, 1, 500, "", ms); };
  Server().SetFault(Endpoint::Config, delay(GetParam().first));
  Init();
  std::this_thread::sleep_for(200ms);  // the first request is at the server, being delayed
  EXPECT_EQ(rec().Count(), 0u);        // Init does not wait for the network
  if (GetParam().second > 0) Server().SetFault(Endpoint::Config, delay(GetParam().second));
  Init();
  EXPECT_FALSE(Core().isInit.load());
  ExpectNext(200, "Success");
  ExpectNext(200, "Success");
  EXPECT_TRUE(Core().isInit.load());
  EXPECT_TRUE(NoMoreCallbacks());
  EXPECT_EQ(Server().RequestCount(Endpoint::Config), 2);
}

INSTANTIATE_TEST_SUITE_P(AnswerOrders, SecondInitWhileWaiting,
                         ::testing::Values(std::make_pair(600, 1200), std::make_pair(1200, 0)));

TEST_F(InitFlow, MalformedAnswerThenItWorks) {
  Fail(Endpoint::Config, FaultMode::Truncated, 1);
  EXPECT_EQ(InitAndWait().code, -501);
  EXPECT_FALSE(Core().isInit.load());
  EXPECT_EQ(InitAndWait().code, 200);
}

class InitLogging : public InitFlow, public ::testing::WithParamInterface<bool> {};

TEST_P(InitLogging, FollowsTheTestDeviceSwitch) {
  Server().SetTestDevice(GetParam());
  testing::internal::CaptureStdout();
  ASSERT_EQ(InitAndWait().code, 200);
  ASSERT_TRUE(Eventually([] { return NimoSdk::Pay().IsProductsLoaded(); }));
  std::this_thread::sleep_for(100ms);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.find("[INFO]: ") != std::string::npos, GetParam()) << out;
  if (GetParam()) {  // the preload after the switch is logged, with the request and answer lines
    EXPECT_NE(out.find("/v10/pay/products.do"), std::string::npos);
    EXPECT_NE(out.find("开始解析商品列表"), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(Device, InitLogging, ::testing::Bool());

// Runs of the game send it until one run's was accepted.
TEST_F(InitFlow, AttributionIsSentUntilItSucceededOnce) {
  if (nimo_test::ChildMode() == "later-run") {
    ASSERT_EQ(InitAndWait().code, 200);
    EXPECT_TRUE(Eventually([&] { return Attribution() == 1; }));
    std::this_thread::sleep_for(300ms);  // time for a request that should not come
    return;
  }
  Fail(Endpoint::Attribution, FaultMode::Code, 1, 500);
  ASSERT_EQ(InitAndWait().code, 200);
  ASSERT_TRUE(Eventually([&] { return Server().RequestCount(Endpoint::Attribution) == 1; }));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(Attribution(), 0);
  for (int run = 0; run < 2; ++run) {  // sent again by the next run, not by the one after
    pid_t child = nimo_test::SpawnCurrentTest("later-run", ChildEnv());
    ASSERT_GT(child, 0);
    EXPECT_EQ(nimo_test::WaitChild(child, 20s), 0);
    EXPECT_EQ(Server().RequestCount(Endpoint::Attribution), 2);
  }
  EXPECT_EQ(Server().RequestCount(Endpoint::Config), 3);
}

TEST(ExitStopsThePool, StuckConnectionsAreClosedAndNothingLeavesAfterwards) {
  nimo_test::TempDataHome home;  // no queued events of other runs: exactly these two requests
  std::atomic<int> closed{0};
  nimo_test::RawServer server([&closed](nimo_test::RawConn& c) {
    c.ReadRequest();
    c.WaitForClose();
    ++closed;
  });
  NimoSdk::Api().UseUrls(server.Url("/sdkapi"), server.Url("/data/h5/v1.do"));
  NimoSdk::Api().PostTrackData("{}", [](NimoSdk::HttpResp) {});  // on an analytics worker
  NimoProxy::QueryProducts(CallbackRecorder::Callback);
  ASSERT_TRUE(Eventually([&] { return server.Requests().size() == 2; }));
  NimoProxy::Exit();
  auto calls = CallbackRecorder::Get().Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].code, -400);
  EXPECT_TRUE(Eventually([&] { return closed.load() == 2; }, 2s));
  NimoProxy::PostEvent(L"late", L"", std::nan(""));
  NimoProxy::QueryProducts(CallbackRecorder::Callback);  // -400 at once
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(server.Accepted(), 2);
  EXPECT_EQ(CallbackRecorder::Get().Count(), 2u);
}

TEST_F(ExitFlow, ExitFromInsideACallback) {
  Init(ExitingCallback);
  EXPECT_EQ(Next().code, 200);
  EXPECT_TRUE(Core().isExit.load());
  EXPECT_TRUE(Core().isInit.load());  // stays set
  EXPECT_LT(TimeExit(), 100ms);       // a second Exit does nothing
  EXPECT_EQ(LoginAndWait().code, -400);
}

TEST_F(ExitFlow, ExitFromACallbackOnTheCallingThread) {
  NimoProxy::Login(ExitingCallback);  // -401 comes back on this thread, inside Login
  ASSERT_EQ(rec().Count(), 1u);
  ExpectNext(-401);
  EXPECT_TRUE(Core().isExit.load());
}

TEST_F(ExitFlow, ExitWhileAnswersArriveConcurrency) {
  ASSERT_EQ(InitAndWait().code, 200);
  Server().SetFault(Endpoint::Products, MakeFault(FaultMode::None, -1, 500, "", 50));
  std::vector<std::thread> games;
  for (int t = 0; t < 3; ++t) {
    games.emplace_back([] {
      for (int i = 0; i < 10; ++i) NimoProxy::QueryProducts(CallbackRecorder::Callback);
    });
  }
  std::this_thread::sleep_for(100ms);
  auto took = TimeExit();
  for (auto& g : games) g.join();
  EXPECT_LT(took, 1500ms);
  std::size_t after = rec().Count();
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(rec().Count(), after);  // nothing reaches the game once Exit returned
}
