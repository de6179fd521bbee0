// The core's side of Steam: init, the pump thread, ticket answers, IsPayAvailable.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "Sdk/CNimoCore.h"
#include "Sdk/Singletons.h"
#include "platform/steam/steam_control.h"
#include "support/CallbackRecorder.h"

using namespace std::chrono_literals;
using NimoSdk::Core;
using nimo_test::Eventually;

namespace {

// A Steam callback still running on the pump when Exit comes.
struct SlowTicketListener {
  void On(GetAuthSessionTicketResponse_t*) {
    entered = true;
    std::this_thread::sleep_for(100ms);
    steamUpAtEnd = steam_standin::IsInitialised();
  }
  std::atomic<bool> entered{false};
  std::atomic<bool> steamUpAtEnd{false};
  CCallback<SlowTicketListener, GetAuthSessionTicketResponse_t> cb{this, &SlowTicketListener::On};
};

}  // namespace

TEST(SteamBridge, PumpThreadNotCreatedStillEndsWithOneCallback) {
  auto& rec = nimo_test::CallbackRecorder::Get();
  Core().FailNextThreadSpawn();
  Core().InitSdk("app", "key", nimo_test::CallbackRecorder::Callback);
  ASSERT_EQ(rec.Count(), 1u);
  EXPECT_EQ(rec.Calls().back().code, -402);
  EXPECT_FALSE(steam_standin::IsInitialised());  // Steam released again
}

// Exit waits for the pump, which wakes at once rather than at the end of its period; nothing
// is dispatched afterwards.
TEST(SteamBridge, ExitEndsThePumpThenShutsSteamDown) {
  SlowTicketListener listener;
  ASSERT_TRUE(Core().InitSteam());  // default 200 ms period
  steam_standin::QueueTicketResponse(7, k_EResultOK);
  ASSERT_TRUE(Eventually([&] { return listener.entered.load(); }));
  auto start = std::chrono::steady_clock::now();
  Core().Exit();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms);
  EXPECT_TRUE(listener.steamUpAtEnd.load());
  EXPECT_EQ(steam_standin::ShutdownCalls(), 1);
  const int pumps = steam_standin::PumpCalls();
  std::this_thread::sleep_for(450ms);
  EXPECT_EQ(steam_standin::PumpCalls(), pumps);
}

TEST(SteamBridge, IsPayAvailableFollowsInitAndOverlay) {
  EXPECT_FALSE(Core().IsPayAvailable());  // before Init, Steam untouched
  EXPECT_EQ(steam_standin::InitCalls(), 0);
  ASSERT_TRUE(Core().InitSteam());
  EXPECT_FALSE(Core().IsPayAvailable());  // Steam up, configuration not answered yet
  Core().isInit = true;
  EXPECT_TRUE(Core().IsPayAvailable());
  steam_standin::SetOverlayEnabled(false);
  EXPECT_FALSE(Core().IsPayAvailable());
  Core().Exit();
}

TEST(CoreStateConcurrency, SettersAndSnapshotsDoNotRace) {
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    while (!stop.load()) {
      auto u = Core().User();
      (void)Core().Params();
      EXPECT_TRUE(u.userId == "-1" || u.userId == "123");
    }
  });
  for (int i = 0; i < 300; ++i) {
    Core().SetServerId("s" + std::to_string(i));
    Core().SetLevel(i);
    Core().SetSession("tok", "123");
    Core().Logout();
    Core().SetTicketResult(i, 1);
  }
  stop = true;
  reader.join();
  EXPECT_EQ(Core().User().userId, "-1");
}
