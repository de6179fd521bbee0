// Exit: prompt whatever the network does, harmless twice, safe from a callback,
// final, and it really stops the pool.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>

#include "Sdk/CNimoApi.h"
#include "Sdk/CNimoCore.h"
#include "Sdk/CNimoPay.h"
#include "Sdk/Singletons.h"
#include "nimosdk64.h"
#include "platform/steam/steam_control.h"
#include "support/RawServer.h"
#include "support/SdkHarness.h"
#include "support/temp_data_home.h"

using namespace std::chrono_literals;
using nimo_sandbox::Endpoint;
using nimo_sandbox::Fault;
using nimo_sandbox::FaultMode;
using nimo_test::CallbackRecorder;
using nimo_test::Eventually;
using NimoSdk::Core;

namespace {

class ExitFlow : public nimo_test::SdkTest {};

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

TEST_F(ExitFlow, IdleExitIsQuickAndASecondDoesNothing) {
  ASSERT_EQ(InitAndWait().code, 200);
  EXPECT_LT(TimeExit(), 1000ms);
  EXPECT_TRUE(Core().isExit.load());
  EXPECT_TRUE(Core().isInit.load());  // stays set
  EXPECT_LT(TimeExit(), 100ms);
}

TEST_F(ExitFlow, ExitBeforeInitLeavesTheGamesSteamAlone) {
  ASSERT_EQ(SteamAPI_InitFlat(), 0);  // the game's own Steam
  EXPECT_LT(TimeExit(), 1000ms);
  EXPECT_LT(TimeExit(), 1000ms);
  EXPECT_EQ(steam_standin::ShutdownCalls(), 0);
}

TEST_F(ExitFlow, StuckRequestsDoNotHoldExitAndEachEndsWithProcessExit) {
  InitAndLogin();
  ASSERT_TRUE(Eventually([] { return NimoSdk::Pay().IsProductsLoaded(); }));
  Fault hang;
  hang.mode = FaultMode::Hang;
  Server().SetFault(Endpoint::CreateOrder, hang);
  for (int i = 0; i < 7; ++i) NimoProxy::CallPay(L"gem_60", L"", CallbackRecorder::Callback);
  ASSERT_TRUE(Eventually([this] { return Server().InFlight() == 6; }));  // the seventh waits in the queue
  EXPECT_LT(TimeExit(), 1000ms);
  auto calls = rec().Calls();
  ASSERT_EQ(calls.size(), seen_ + 7);  // all answered before Exit returned, on its thread
  for (std::size_t i = seen_; i < calls.size(); ++i) {
    EXPECT_EQ(calls[i].code, -400);
    EXPECT_EQ(calls[i].thread, std::this_thread::get_id());
  }
  seen_ = calls.size();
  EXPECT_TRUE(NoMoreCallbacks(300ms));
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
  NimoProxy::PostEvent(L"first", L"", std::nan(""));
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
  NimoProxy::Init(L"10001", L"sandbox-key-10001", ExitingCallback);
  auto call = Next();
  EXPECT_EQ(call.code, 200);
  EXPECT_TRUE(Core().isExit.load());
  EXPECT_LT(TimeExit(), 100ms);
  NimoProxy::Login(CallbackRecorder::Callback);
  EXPECT_EQ(Next().code, -400);
}

TEST_F(ExitFlow, ExitFromACallbackOnTheCallingThread) {
  NimoProxy::Login(ExitingCallback);  // -401 comes back on this thread, inside Login
  EXPECT_EQ(Next().code, -401);
  EXPECT_TRUE(Core().isExit.load());
}

TEST_F(ExitFlow, ExitWhileAnswersArriveConcurrency) {
  ASSERT_EQ(InitAndWait().code, 200);
  Fault slow;
  slow.delayMs = 50;
  Server().SetFault(Endpoint::Products, slow);
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
