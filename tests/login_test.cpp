// Login: the Steam ticket and the wait for Steam's answer, then the server's
// answer, against the sandbox and against hand-written answers.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "Sdk/CNimoCore.h"
#include "Sdk/Singletons.h"
#include "nimosdk64.h"
#include "platform/steam/steam_control.h"
#include "support/LogCapture.h"
#include "support/SdkHarness.h"

using namespace std::chrono_literals;
using nimo_test::Call;
using nimo_test::CallbackRecorder;
using nimo_test::Eventually;
using NimoSdk::Core;
using json = nlohmann::json;

namespace {

class LoginFlow : public nimo_test::SdkTest {};

// Steam up and the configuration answered, the API written by hand.
class LoginAnswers : public nimo_test::ScriptedTest {
 protected:
  void SetUp() override {
    ScriptedTest::SetUp();
    Core().SetPumpPeriod(5ms);
    Core().SetTicketPollPeriod(5ms);
    ASSERT_TRUE(Core().InitSteam());
    Core().AssumeReady(false);
  }
  Call Login() {
    NimoProxy::Login(CallbackRecorder::Callback);
    return Next();
  }
};
class LoginWait : public LoginAnswers {};

}  // namespace

// --- Steam's answer to the ticket ---

TEST_F(LoginWait, SteamsAnswersEachOnANewTicket) {
  struct Case {
    int result, delayMs, code;
    const char* message;
  };
  const Case cases[] = {
      {1, -1, -403, "Steam Ticket TimeOut!"},  // no answer
      {0, 0, -403, "Steam Ticket TimeOut!"},   // result 0 still means none
      {k_EResultAccessDenied, 10, -404, "Steam Ticket Auth Failure!"},
  };
  std::uint32_t lastTicket = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message + std::to_string(c.result));
    steam_standin::SetTicketAnswer(c.result, c.delayMs);
    auto start = std::chrono::steady_clock::now();
    Core().LoginSteam(CallbackRecorder::Callback);
    EXPECT_EQ(rec().Count(), seen_);  // Login returns before Steam answers
    EXPECT_NE(steam_standin::LastTicketHandle(), lastTicket);
    lastTicket = steam_standin::LastTicketHandle();
    auto call = ExpectNext(c.code, c.message);
    EXPECT_NE(call.thread, std::this_thread::get_id());
    if (c.delayMs < 0) {
      EXPECT_GE(std::chrono::steady_clock::now() - start, 100 * 5ms);  // a hundred polls
    }
  }
  // The entry is reset after the game was told.
  EXPECT_TRUE(Eventually([] { return Core().TicketResult(static_cast<int>(steam_standin::LastTicketHandle())) == 0; }));
}

// --- the server's answer ---

TEST_F(LoginFlow, SetsTheSessionFromTheSteamIdAndTicket) {
  steam_standin::SetSteamId(76561198000000042ULL);
  steam_standin::SetTicketBytes({0x01, 0xab, 0x00, 0xff});
  Server().SetTestDevice(true);  // the SDK logs all it may for a test device
  nimotest::LogCapture log;
  ASSERT_EQ(InitAndWait().code, 200);
  auto call = LoginAndWait();
  ASSERT_EQ(call.code, 200) << call.message;
  json body = json::parse(call.data);
  EXPECT_EQ(Core().User().token, body["token"].get<std::string>());
  EXPECT_EQ(Core().User().userId, std::to_string(body["userId"].get<long long>()));
  for (const auto& line : log.Lines()) EXPECT_EQ(line.text.find(Core().User().token), std::string::npos) << line.text;
  // The sandbox saw the Steam id and the ticket as lower-case hex.
  ASSERT_EQ(Server().Users().size(), 1u);
  EXPECT_EQ(Server().Users()[0].puserId, "76561198000000042");
  bool ticketSent = false;
  for (const auto& r : Server().Requests()) ticketSent |= r.body.find("accessToken=01ab00ff&") != std::string::npos;
  EXPECT_TRUE(ticketSent);
}

TEST_F(LoginFlow, LoginAgainReplacesTheSessionAndLogoutForgetsIt) {
  InitAndLogin();
  std::string first = Core().User().token;
  ASSERT_EQ(LoginAndWait().code, 200);
  EXPECT_NE(Core().User().token, first);
  ASSERT_EQ(Server().Users().size(), 1u);
  EXPECT_EQ(Server().Users()[0].logins, 2);

  NimoProxy::SetServerId(L"s1");
  NimoProxy::SetLevel(9);
  NimoProxy::Logout();
  auto user = Core().User();
  EXPECT_FALSE(Core().IsLoggedIn());
  EXPECT_EQ(user.userId, "-1");
  EXPECT_EQ(user.token, "");
  EXPECT_EQ(user.serverId, "");
  EXPECT_EQ(user.level, 0);
  EXPECT_TRUE(Core().IsInit());
}

TEST_F(LoginAnswers, EachAnswerAndTheSessionItLeaves) {
  struct Case {
    const char* body;
    int code;
    const char* data;  // nullptr: not checked
    bool loggedIn;
    const char* token;
    const char* userId;
  };
  const Case cases[] = {
      {R"({"code":200})", 200, R"({"code":200})", true, "", "-1"},  // an empty answer still logs in
      {R"({"code":200,"token":"t-1","userId":123})", 200, nullptr, true, "t-1", "123"},
      {R"({"code":200,"token":"t-2","userId":18446744073709551615})", 200, nullptr, true, "t-2",
       "18446744073709551615"},
      // Unreadable data: a parse error that changes nothing.
      {R"({"code":200,"token":5,"userId":1})", -501, "", false, "", "-1"},
      {R"({"code":200,"token":"t","userId":"12"})", -501, "", false, "", "-1"},
      {R"([200])", -501, nullptr, false, "", "-1"},  // not an object: no "code" in it
      {R"({"code":2001,"msg":"banned","token":"t","userId":1})", 2001, nullptr, false, "", "-1"},  // refused
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    Core().Logout();
    Answer("/v22/init.do", c.body);
    auto call = Login();
    EXPECT_EQ(call.code, c.code);
    if (c.data != nullptr) {
      EXPECT_EQ(call.data, c.data);
      EXPECT_TRUE(c.code != -501 || call.message == "Server JSON Parse Error.") << call.message;
    }
    EXPECT_EQ(Core().IsLoggedIn(), c.loggedIn);
    EXPECT_EQ(Core().User().token, c.token);
    EXPECT_EQ(Core().User().userId, c.userId);
  }
}
