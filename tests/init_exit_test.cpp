// Init and Exit through the exports against the sandbox.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <map>
#include <set>

#include "Sdk/CNimoApi.h"
#include "Sdk/CNimoCore.h"
#include "Sdk/CNimoPay.h"
#include "Sdk/NimoConfigUtils.h"
#include "Sdk/NimoOptions.h"
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
using NimoSdk::Core;

namespace {

class InitFlow : public nimo_test::SdkTest {
 protected:
  void Init(NimoProxy::ResultCallback cb = CallbackRecorder::Callback) {
    NimoProxy::Init(L"10001", L"sandbox-key-10001", cb);
  }
  int Attribution() { return NimoSdk::NimoConfigUtils::ReadConfigJson(false)["AttributionFlag"]; }
};

}  // namespace

TEST_F(InitFlow, RefusedConfigurationThenRetried) {
  Fail(Endpoint::Config, FaultMode::Code, 1, 1001, "app disabled");
  Init();
  ExpectNext(1001, "app disabled");
  EXPECT_FALSE(Core().IsInit());
  EXPECT_FALSE(NimoProxy::IsPayAvailable());
  EXPECT_EQ(LoginAndWait().code, -401);
  // Init again: the configuration is asked for again; no pool start error.
  EXPECT_EQ(InitAndWait().code, 200);
  EXPECT_TRUE(Core().IsInit());
  EXPECT_EQ(Server().RequestCount(Endpoint::Config), 2);
  // One start-up event, from the first Init.
  ASSERT_TRUE(Eventually([&] { return Server().Events().size() >= 1; }));
  std::this_thread::sleep_for(100ms);
  int startups = 0;
  for (const auto& e : Server().Events()) startups += e.json["event"] == "zko_startup" ? 1 : 0;
  EXPECT_EQ(startups, 1);
  EXPECT_TRUE(NoMoreCallbacks());
}

// Init returns before its start-up ran; an Exit right after it waits for that start-up
// (within its bound), answers Init with -400 once, and the next Init starts anew.
TEST_F(InitFlow, ExitRightAfterInitAnswersItOnceAndTheNextInitStartsAnew) {
  Init();
  const auto start = std::chrono::steady_clock::now();
  NimoProxy::Exit();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms);
  ASSERT_EQ(CallbackRecorder::Get().Count(), 1u);  // before Exit returned
  ExpectNext(-400, "Process Exit!");
  EXPECT_EQ(steam_standin::InitCalls(), steam_standin::ShutdownCalls());
  EXPECT_EQ(InitAndWait().code, 200);
  EXPECT_TRUE(NoMoreCallbacks());
}

// A Steam client slow to initialise does not hold Exit past its bound: Exit
// answers Init and goes on; the start-up undoes the Steam it got once it comes
// back, and the next Init starts anew.
TEST_F(InitFlow, ExitDoesNotWaitForASlowSteamInitialisation) {
  const int inits = steam_standin::InitCalls();
  const int shutdowns = steam_standin::ShutdownCalls();
  steam_standin::SetInitDelay(4000);
  Init();
  const bool inSteam = Eventually([&] { return steam_standin::InitCalls() == inits + 1; });
  NimoProxy::Exit();
  steam_standin::SetInitDelay(0);
  ASSERT_TRUE(inSteam);
  EXPECT_EQ(steam_standin::ShutdownCalls(), shutdowns);  // Exit came back before Steam did
  ASSERT_EQ(CallbackRecorder::Get().Count(), 1u);
  ExpectNext(-400, "Process Exit!");
  EXPECT_EQ(InitAndWait().code, -400);  // while that start-up still runs
  EXPECT_TRUE(Eventually([] { return !Core().StartUpRunning(); }, 10s));
  EXPECT_EQ(steam_standin::ShutdownCalls(), shutdowns + 1);
  EXPECT_FALSE(steam_standin::IsInitialised());
  EXPECT_EQ(InitAndWait().code, 200);
  EXPECT_TRUE(NoMoreCallbacks());
}

class InitLogging : public InitFlow, public ::testing::WithParamInterface<bool> {};

TEST_P(InitLogging, FollowsTheTestDeviceSwitch) {
  Server().SetTestDevice(GetParam());
  const std::string track = Server().TrackUrl() + "?key=";
  ASSERT_EQ(NimoSdk::Options().Set("track_url", track + "secret"), NimoSdk::SetOptionResult::Ok);
  testing::internal::CaptureStdout();
  ASSERT_EQ(InitAndWait().code, 200);
  ASSERT_TRUE(Eventually([] { return NimoSdk::Pay().IsProductsLoaded(); }));
  std::this_thread::sleep_for(100ms);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.find("[INFO]: ") != std::string::npos, GetParam()) << out;
  if (GetParam()) {  // the preload after the switch is logged, with the request and answer lines
    EXPECT_NE(out.find("/v10/pay/products.do"), std::string::npos);
    EXPECT_NE(out.find("开始解析商品列表"), std::string::npos);
    // The settings in force, without what a query may hold.
    const std::size_t at = out.find("Settings: ");
    ASSERT_NE(at, std::string::npos) << out;
    const std::string settings = out.substr(at, out.find('\n', at) - at);
    EXPECT_NE(settings.find("track_url=" + Server().TrackUrl() + " (game)"), std::string::npos) << out;
    EXPECT_EQ(settings.find("secret"), std::string::npos);
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

// Init after Exit starts anew: Steam, login, catalogue and the player's facts
// of the ended session are gone; what it paid and posted arrives once.
TEST_F(InitFlow, EachSessionAfterExitStartsAfreshWithItsOwnPurchaseAndEvents) {
  for (const std::string tag : {"s1", "s2"}) {
    ASSERT_EQ(InitAndWait().code, 200) << tag;
    EXPECT_EQ(NimoProxy::IsPayAvailable(), true);
    NimoProxy::CallPay(L"gem_60", L"early", CallbackRecorder::Callback);
    ExpectNext(-405, "Not Login.");
    ASSERT_EQ(LoginAndWait().code, 200) << tag;
    if (tag == "s1") NimoProxy::SetGameUserId(L"player-of-s1");
    const std::wstring wtag(tag.begin(), tag.end());
    NimoProxy::PostEvent(L"stage_clear", L"{\"tag\":\"" + wtag + L"\"}", std::nan(""));
    NimoProxy::CallPay(L"gem_60", wtag, CallbackRecorder::Callback);
    const auto paid = Next();
    EXPECT_EQ(paid.code, 200) << tag;
    EXPECT_NE(paid.data.find("\"extInfo\":\"" + tag + "\""), std::string::npos) << paid.data;
    EXPECT_NE(paid.data.find("\"status\":1"), std::string::npos) << paid.data;
    NimoProxy::Exit();
    EXPECT_FALSE(Core().IsLoggedIn());
  }
  EXPECT_EQ(steam_standin::InitCalls(), 2);
  EXPECT_EQ(steam_standin::ShutdownCalls(), 2);
  EXPECT_EQ(Server().RequestCount(Endpoint::Config), 2);
  EXPECT_EQ(Server().RequestCount(Endpoint::Products), 2);  // the catalogue is asked again
  const auto orders = Server().Orders();
  ASSERT_EQ(orders.size(), 2u);
  for (const auto& o : orders) EXPECT_EQ(o.payStatus, 1) << o.extInfo;
  EXPECT_EQ(orders[0].gameUserId, "player-of-s1");
  EXPECT_EQ(orders[1].gameUserId, "");  // Exit forgot the player
  // Whatever the first session's Exit saved is sent by the second. One still on its way at
  // Exit may come again under its number, which tells the server it is the same event.
  std::map<std::string, std::string> stageUser;
  std::set<std::pair<std::string, std::string>> numbers;
  int startups = 0;
  for (const auto& e : Server().Events()) {
    if (!numbers.emplace(e.json.value("deviceId", ""), e.json.value("eventOrder", "")).second) continue;
    startups += e.json["event"] == "zko_startup";
    if (e.json["event"] == "zko_self_stage_clear") {
      EXPECT_TRUE(stageUser.emplace(e.json["context"]["tag"], e.json["gameUserId"]).second) << e.text;
    }
  }
  EXPECT_EQ(startups, 2);
  EXPECT_EQ(stageUser, (std::map<std::string, std::string>{{"s1", "player-of-s1"}, {"s2", "_unknown"}}));
  EXPECT_TRUE(NoMoreCallbacks());
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
