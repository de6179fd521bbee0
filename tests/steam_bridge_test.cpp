// The core's side of Steam: init and the pump thread. IsPayAvailable: InitFlow and the random games.
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
  ASSERT_TRUE(rec.WaitFor(1));  // from Init's start-up thread
  std::this_thread::sleep_for(50ms);
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
