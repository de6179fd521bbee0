// Init through the exports against the sandbox: success, each failure, the test
// device switch, the one-time attribution and repeated Init calls.
#include <gtest/gtest.h>

#include <fstream>

#include "Sdk/CNimoApi.h"
#include "Sdk/CNimoCore.h"
#include "Sdk/CNimoPay.h"
#include "Sdk/NimoConfigUtils.h"
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
using NimoSdk::Core;

namespace {

class InitFlow : public nimo_test::SdkTest {};

Fault Delay(int ms, int times = 1) {
  Fault f;
  f.delayMs = ms;
  f.times = times;
  return f;
}

Fault Mode(FaultMode m, int times = -1) {
  Fault f;
  f.mode = m;
  f.times = times;
  return f;
}

}  // namespace

TEST_F(InitFlow, SucceedsWithTheServersAnswer) {
  EXPECT_FALSE(NimoProxy::IsPayAvailable());
  auto call = InitAndWait();
  EXPECT_EQ(call.code, 200);
  EXPECT_NE(call.thread, std::this_thread::get_id());  // answers arrive on a worker
  EXPECT_NE(call.data.find("\"code\":200"), std::string::npos);
  EXPECT_TRUE(Core().isInit.load());
  EXPECT_TRUE(NimoProxy::IsPayAvailable());
  EXPECT_EQ(Server().RequestCount(Endpoint::Config), 1);
  // The start-up event is the first event of this install.
  ASSERT_TRUE(Eventually([&] { return !Server().Events().empty(); }));
  auto first = Server().Events().front().json;
  EXPECT_EQ(first["event"], "zko_startup");
  EXPECT_EQ(first["eventOrder"], "n1");
  // The catalogue is preloaded.
  EXPECT_TRUE(Eventually([] { return NimoSdk::Pay().IsProductsLoaded(); }));
  EXPECT_TRUE(NoMoreCallbacks());
}

TEST_F(InitFlow, SecondInitAfterSuccessAnswersAtOnceAndSendsNothing) {
  ASSERT_EQ(InitAndWait().code, 200);
  int configs = Server().RequestCount(Endpoint::Config);
  NimoProxy::Init(L"x", L"y", CallbackRecorder::Callback);
  ASSERT_EQ(rec().Count(), 2u);
  auto again = Next();
  EXPECT_EQ(again.code, 200);
  EXPECT_EQ(again.message, "Sdk already init.");
  EXPECT_EQ(again.data, "");
  EXPECT_EQ(again.thread, std::this_thread::get_id());
  EXPECT_EQ(Server().RequestCount(Endpoint::Config), configs);
}

TEST_F(InitFlow, SteamRefusedSendsNothing) {
  steam_standin::SetRunning(false);
  NimoProxy::Init(L"10001", L"sandbox-key-10001", CallbackRecorder::Callback);
  ASSERT_EQ(rec().Count(), 1u);
  auto call = Next();
  EXPECT_EQ(call.code, -402);
  EXPECT_EQ(call.message, "Steam Init Failure!");
  EXPECT_EQ(call.thread, std::this_thread::get_id());
  EXPECT_TRUE(NoMoreCallbacks());
  EXPECT_EQ(Server().RequestCount(Endpoint::Config), 0);
  EXPECT_TRUE(Server().Events().empty());
  EXPECT_FALSE(NimoProxy::IsPayAvailable());
}

TEST_F(InitFlow, RefusedConfigurationThenRetried) {
  Fault refuse = Mode(FaultMode::Code, 1);
  refuse.code = 1001;
  refuse.msg = "app disabled";
  Server().SetFault(Endpoint::Config, refuse);
  auto call = InitAndWait();
  EXPECT_EQ(call.code, 1001);
  EXPECT_EQ(call.message, "app disabled");
  EXPECT_FALSE(Core().isInit.load());
  EXPECT_FALSE(NimoProxy::IsPayAvailable());
  NimoProxy::Login(CallbackRecorder::Callback);
  EXPECT_EQ(Next().code, -401);
  // Init again: the configuration is asked for again; no pool start error.
  auto again = InitAndWait();
  EXPECT_EQ(again.code, 200);
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
// sees first, so each order of the two answers is rehearsed.
void TwoInitsWhileWaiting(nimo_sandbox::Sandbox& server, int firstDelayMs, int secondDelayMs) {
  server.SetFault(Endpoint::Config, Delay(firstDelayMs));
  NimoProxy::Init(L"10001", L"sandbox-key-10001", CallbackRecorder::Callback);
  std::this_thread::sleep_for(200ms);  // the first request is at the server, being delayed
  if (secondDelayMs > 0) server.SetFault(Endpoint::Config, Delay(secondDelayMs));
  NimoProxy::Init(L"10001", L"sandbox-key-10001", CallbackRecorder::Callback);
  EXPECT_FALSE(Core().isInit.load());
}

TEST_F(InitFlow, SecondInitWhileWaitingFirstAnswerFirst) {
  TwoInitsWhileWaiting(Server(), 600, 1200);
  auto first = Next();
  EXPECT_EQ(first.code, 200);
  EXPECT_EQ(first.message, "Success");
  auto second = Next();
  EXPECT_EQ(second.code, 200);
  EXPECT_EQ(second.message, "Success");
  EXPECT_TRUE(Core().isInit.load());
  EXPECT_TRUE(NoMoreCallbacks());
  EXPECT_EQ(Server().RequestCount(Endpoint::Config), 2);
}

TEST_F(InitFlow, SecondInitWhileWaitingSecondAnswerFirst) {
  TwoInitsWhileWaiting(Server(), 1200, 0);
  auto first = Next();
  EXPECT_EQ(first.code, 200);
  EXPECT_TRUE(Core().isInit.load());
  auto second = Next();
  EXPECT_EQ(second.code, 200);
  EXPECT_EQ(second.message, "Success");
  EXPECT_TRUE(NoMoreCallbacks());
  EXPECT_EQ(Server().RequestCount(Endpoint::Config), 2);
}

TEST_F(InitFlow, UnreachableServer) {
  NimoSdk::Api().UseUrls("https://127.0.0.1:1/sdkapi", "https://127.0.0.1:1/data/h5/v1.do");
  auto call = InitAndWait();
  EXPECT_EQ(call.code, -502);
  EXPECT_EQ(call.message.rfind("Http Code:, Msg:", 0), 0u) << call.message;
  EXPECT_NE(call.message.find("连接失败"), std::string::npos) << call.message;
  EXPECT_FALSE(Core().isInit.load());
}

TEST_F(InitFlow, SlowServerStillAnswers) {
  Server().SetFault(Endpoint::Config, Delay(1500));
  NimoProxy::Init(L"10001", L"sandbox-key-10001", CallbackRecorder::Callback);
  EXPECT_EQ(rec().Count(), 0u);  // Init does not wait for the network
  EXPECT_EQ(Next().code, 200);
}

TEST_F(InitFlow, MalformedAnswers) {
  Server().SetFault(Endpoint::Config, Mode(FaultMode::Truncated, 1));
  auto truncated = InitAndWait();
  EXPECT_EQ(truncated.code, -501);
  EXPECT_NE(truncated.message.find("[json.exception.parse_error"), std::string::npos) << truncated.message;
  EXPECT_FALSE(Core().isInit.load());

  Server().SetFault(Endpoint::Config, Mode(FaultMode::Http502, 1));
  auto bad = InitAndWait();
  EXPECT_EQ(bad.code, -502);
  EXPECT_EQ(bad.message, "Http Code:502, Msg:");
  EXPECT_FALSE(Core().isInit.load());

  Server().SetFault(Endpoint::Config, Mode(FaultMode::Close, 1));
  auto closed = InitAndWait();
  EXPECT_LT(closed.code, 0);
  EXPECT_FALSE(Core().isInit.load());

  EXPECT_EQ(InitAndWait().code, 200);  // and then it works
}

TEST_F(InitFlow, WrongAppKeyIsRefusedByTheServer) {
  auto call = InitAndWait(nimo_test::kSandboxAppId, "not-the-key");
  EXPECT_NE(call.code, 200);
  EXPECT_FALSE(call.message.empty());
  EXPECT_FALSE(Core().isInit.load());
}

TEST_F(InitFlow, TestDeviceSwitchesLoggingOn) {
  Server().SetTestDevice(true);
  testing::internal::CaptureStdout();
  ASSERT_EQ(InitAndWait().code, 200);
  ASSERT_TRUE(Eventually([] { return NimoSdk::Pay().IsProductsLoaded(); }));
  std::this_thread::sleep_for(100ms);
  std::string out = testing::internal::GetCapturedStdout();
  // The preload after the switch is logged, with the request and answer lines.
  EXPECT_NE(out.find("[INFO]: "), std::string::npos);
  EXPECT_NE(out.find("/v10/pay/products.do"), std::string::npos);
  EXPECT_NE(out.find("开始解析商品列表"), std::string::npos);
}

TEST_F(InitFlow, OrdinaryDeviceKeepsLoggingOff) {
  testing::internal::CaptureStdout();
  ASSERT_EQ(InitAndWait().code, 200);
  ASSERT_TRUE(Eventually([] { return NimoSdk::Pay().IsProductsLoaded(); }));
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.find("[INFO]: "), std::string::npos) << out;
}

TEST_F(InitFlow, AttributionIsSentUntilItSucceededOnce) {
  Fault refuse = Mode(FaultMode::Code, 1);
  refuse.code = 500;
  Server().SetFault(Endpoint::Attribution, refuse);
  ASSERT_EQ(InitAndWait().code, 200);
  ASSERT_TRUE(Eventually([&] { return Server().RequestCount(Endpoint::Attribution) == 1; }));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(NimoSdk::NimoConfigUtils::ReadConfigJson(false)["AttributionFlag"], 0);
}

TEST_F(InitFlow, AttributionOnceAcrossRuns) {
  if (nimo_test::ChildMode() == "second-run") {
    ASSERT_EQ(InitAndWait().code, 200);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(NimoSdk::NimoConfigUtils::ReadConfigJson(false)["AttributionFlag"], 1);
    return;
  }
  // First run of this game under this account: sent, and remembered.
  ASSERT_EQ(InitAndWait().code, 200);
  ASSERT_TRUE(Eventually([&] { return NimoSdk::NimoConfigUtils::ReadConfigJson(false)["AttributionFlag"] == 1; }));
  EXPECT_EQ(Server().RequestCount(Endpoint::Attribution), 1);
  // A later run reads the flag and does not ask again.
  pid_t child = nimo_test::SpawnCurrentTest(
      "second-run", {"NIMO_TEST_API_BASE=" + Server().BaseUrl(), "NIMO_TEST_TRACK_URL=" + Server().TrackUrl(),
                     "NIMOSDK_CA_FILE=" + Server().CaFile()});
  ASSERT_GT(child, 0);
  EXPECT_EQ(nimo_test::WaitChild(child, 20s), 0);
  EXPECT_EQ(Server().RequestCount(Endpoint::Attribution), 1);
  EXPECT_EQ(Server().RequestCount(Endpoint::Config), 2);
}

TEST_F(InitFlow, InitAfterExitEndsAtOnce) {
  NimoProxy::Exit();
  NimoProxy::Init(L"10001", L"sandbox-key-10001", CallbackRecorder::Callback);
  ASSERT_EQ(rec().Count(), 1u);
  auto call = Next();
  EXPECT_EQ(call.code, -400);
  EXPECT_EQ(call.message, "Process Exit!");
  EXPECT_EQ(Server().RequestCount(Endpoint::Config), 0);
}
