// The Steam half of Login: the ticket, the wait for Steam's answer and its outcomes.
#include <gtest/gtest.h>

#include "Sdk/CNimoCore.h"
#include "Sdk/Singletons.h"
#include "platform/steam/steam_control.h"
#include "support/CallbackRecorder.h"

using namespace std::chrono_literals;
using NimoSdk::Core;
using nimo_test::CallbackRecorder;

namespace {

class LoginWait : public ::testing::Test {
 protected:
  void SetUp() override {
    Core().SetPumpPeriod(5ms);
    Core().SetTicketPollPeriod(5ms);
    ASSERT_TRUE(Core().InitSteam());
    Core().isInit = true;  // as after a configuration answer
  }
  CallbackRecorder& rec = CallbackRecorder::Get();
};

}  // namespace

TEST(LoginRefusal, BeforeInitOnTheCallingThreadAndNullIsSafe) {
  auto& rec = CallbackRecorder::Get();
  Core().LoginSteam(CallbackRecorder::Callback);
  ASSERT_EQ(rec.Count(), 1u);
  EXPECT_EQ(rec.Last().code, -401);
  EXPECT_EQ(rec.Last().message, "Sdk Not Init.");
  EXPECT_EQ(rec.Last().thread, std::this_thread::get_id());
  Core().LoginSteam(nullptr);
  EXPECT_EQ(rec.Count(), 1u);
}

TEST_F(LoginWait, NoAnswerTimesOutAfterOneHundredPolls) {
  steam_standin::SetTicketAnswer(1, -1);
  auto start = std::chrono::steady_clock::now();
  Core().LoginSteam(CallbackRecorder::Callback);
  EXPECT_EQ(rec.Count(), 0u);  // Login returns before Steam answers
  ASSERT_TRUE(rec.WaitFor(1));
  EXPECT_EQ(rec.Last().code, -403);
  EXPECT_EQ(rec.Last().message, "Steam Ticket TimeOut!");
  EXPECT_NE(rec.Last().thread, std::this_thread::get_id());
  EXPECT_GE(std::chrono::steady_clock::now() - start, 100 * 5ms);
  Core().Exit();
}

TEST_F(LoginWait, ResultZeroStillMeansNoAnswer) {
  steam_standin::SetTicketAnswer(0, 0);
  Core().LoginSteam(CallbackRecorder::Callback);
  ASSERT_TRUE(rec.WaitFor(1));
  EXPECT_EQ(rec.Last().code, -403);
  Core().Exit();
}

TEST_F(LoginWait, RefusedTicket) {
  steam_standin::SetTicketAnswer(k_EResultAccessDenied, 10);
  Core().LoginSteam(CallbackRecorder::Callback);
  ASSERT_TRUE(rec.WaitFor(1));
  EXPECT_EQ(rec.Last().code, -404);
  EXPECT_EQ(rec.Last().message, "Steam Ticket Auth Failure!");
  // The entry is reset after the game was told.
  EXPECT_TRUE(nimo_test::Eventually(
      [] { return Core().TicketResult(static_cast<int>(steam_standin::LastTicketHandle())) == 0; }));
  Core().Exit();
}

TEST_F(LoginWait, ExitDuringTheWaitEndsItWithProcessExit) {
  Core().SetTicketPollPeriod(100ms);
  steam_standin::SetTicketAnswer(1, -1);
  Core().LoginSteam(CallbackRecorder::Callback);
  std::this_thread::sleep_for(150ms);
  auto start = std::chrono::steady_clock::now();
  Core().Exit();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  ASSERT_EQ(rec.Count(), 1u);  // answered by Exit itself, after the wait thread ended
  EXPECT_EQ(rec.Last().code, -400);
  EXPECT_EQ(rec.Last().message, "Process Exit!");
  EXPECT_EQ(rec.Last().thread, std::this_thread::get_id());
  Core().LoginSteam(CallbackRecorder::Callback);  // after Exit: at once, on this thread
  ASSERT_EQ(rec.Count(), 2u);
  EXPECT_EQ(rec.Last().code, -400);
  EXPECT_EQ(rec.Last().thread, std::this_thread::get_id());
}

TEST_F(LoginWait, EachLoginGetsANewTicket) {
  steam_standin::SetTicketAnswer(1, -1);
  Core().LoginSteam(CallbackRecorder::Callback);
  auto first = steam_standin::LastTicketHandle();
  Core().LoginSteam(CallbackRecorder::Callback);
  EXPECT_NE(steam_standin::LastTicketHandle(), first);
  ASSERT_TRUE(rec.WaitFor(2));
  Core().Exit();
}

TEST(LoginWaitConcurrency, ManyLoginsAndExitFromAnotherThread) {
  Core().SetPumpPeriod(2ms);
  Core().SetTicketPollPeriod(2ms);
  ASSERT_TRUE(Core().InitSteam());
  Core().isInit = true;
  steam_standin::SetTicketAnswer(k_EResultFail, 3);
  std::vector<std::thread> games;
  for (int t = 0; t < 4; ++t) {
    games.emplace_back([] {
      for (int i = 0; i < 5; ++i) Core().LoginSteam(CallbackRecorder::Callback);
    });
  }
  for (auto& g : games) g.join();
  ASSERT_TRUE(CallbackRecorder::Get().WaitFor(20));
  for (const auto& c : CallbackRecorder::Get().Calls()) EXPECT_EQ(c.code, -404);
  Core().Exit();
  EXPECT_EQ(CallbackRecorder::Get().Count(), 20u);
}
