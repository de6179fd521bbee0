// Login against the sandbox and against hand-written answers.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "Sdk/CNimoCore.h"
#include "Sdk/Singletons.h"
#include "nimosdk64.h"
#include "platform/steam/steam_control.h"
#include "support/ScriptedApi.h"
#include "support/SdkHarness.h"

using namespace std::chrono_literals;
using nimo_sandbox::Endpoint;
using nimo_sandbox::Fault;
using nimo_sandbox::FaultMode;
using nimo_test::CallbackRecorder;
using nimo_test::Eventually;
using NimoSdk::Core;
using json = nlohmann::json;

namespace {

class LoginFlow : public nimo_test::SdkTest {};

}  // namespace

TEST_F(LoginFlow, SetsTheSessionAndPostsTheLoginEvent) {
  steam_standin::SetSteamId(76561198000000042ULL);
  steam_standin::SetTicketBytes({0x01, 0xab, 0x00, 0xff});
  ASSERT_EQ(InitAndWait().code, 200);
  auto call = LoginAndWait();
  ASSERT_EQ(call.code, 200) << call.message;
  json body = json::parse(call.data);
  EXPECT_TRUE(Core().isLogin.load());
  auto user = Core().User();
  EXPECT_EQ(user.token, body["token"].get<std::string>());
  EXPECT_EQ(user.userId, std::to_string(body["userId"].get<long long>()));
  // The sandbox saw the Steam id and the ticket as lower-case hex.
  auto users = Server().Users();
  ASSERT_EQ(users.size(), 1u);
  EXPECT_EQ(users[0].puserId, "76561198000000042");
  ASSERT_TRUE(Eventually([&] {
    for (const auto& e : Server().Events())
      if (e.json["event"] == "zko_login") return true;
    return false;
  }));
  for (const auto& e : Server().Events()) {
    if (e.json["event"] != "zko_login") continue;
    EXPECT_EQ(e.json["userId"].get<long long>(), body["userId"].get<long long>());
    EXPECT_EQ(e.json["context"]["loginPlatform"], "STEAM");
    EXPECT_EQ(e.json["context"]["puserId"], "76561198000000042");
  }
  bool ticketSent = false;
  for (const auto& r : Server().Requests()) ticketSent |= r.body.find("accessToken=01ab00ff&") != std::string::npos;
  EXPECT_TRUE(ticketSent);
}

TEST_F(LoginFlow, RefusedByTheServerLeavesTheStateAlone) {
  ASSERT_EQ(InitAndWait().code, 200);
  Fault refuse;
  refuse.mode = FaultMode::Code;
  refuse.code = 2001;
  refuse.msg = "banned";
  refuse.times = 1;
  Server().SetFault(Endpoint::Login, refuse);
  auto call = LoginAndWait();
  EXPECT_EQ(call.code, 2001);
  EXPECT_EQ(call.message, "banned");
  EXPECT_FALSE(Core().isLogin.load());
  EXPECT_EQ(Core().User().userId, "-1");
}

TEST_F(LoginFlow, LoginAgainWhileLoggedInReplacesTheSession) {
  InitAndLogin();
  std::string first = Core().User().token;
  ASSERT_EQ(LoginAndWait().code, 200);
  EXPECT_TRUE(Core().isLogin.load());
  EXPECT_NE(Core().User().token, first);
  EXPECT_EQ(Server().Users().size(), 1u);
  EXPECT_EQ(Server().Users()[0].logins, 2);
}

TEST_F(LoginFlow, LogoutForgetsTheSession) {
  InitAndLogin();
  NimoProxy::SetServerId(L"s1");
  NimoProxy::SetLevel(9);
  NimoProxy::Logout();
  auto user = Core().User();
  EXPECT_FALSE(Core().isLogin.load());
  EXPECT_EQ(user.userId, "-1");
  EXPECT_EQ(user.token, "");
  EXPECT_EQ(user.serverId, "");
  EXPECT_EQ(user.level, 0);
  EXPECT_TRUE(Core().isInit.load());
}

// --- answers written by hand ---

class LoginAnswers : public ::testing::Test {
 protected:
  void SetUp() override {
    api.PointSdkAtIt();
    Core().SetPumpPeriod(5ms);
    Core().SetTicketPollPeriod(5ms);
    ASSERT_TRUE(Core().InitSteam());
    Core().isInit = true;
  }
  void TearDown() override { NimoProxy::Exit(); }
  nimo_test::Call Login() {
    NimoProxy::Login(CallbackRecorder::Callback);
    EXPECT_TRUE(CallbackRecorder::Get().WaitFor(++n));
    return CallbackRecorder::Get().Last();
  }
  nimo_test::ScriptedApi api;
  std::size_t n = 0;
};

TEST_F(LoginAnswers, EmptyObjectStillLogsIn) {
  api.Answer("/v22/init.do", R"({"code":200})");
  auto call = Login();
  EXPECT_EQ(call.code, 200);
  EXPECT_EQ(call.data, R"({"code":200})");
  EXPECT_TRUE(Core().isLogin.load());
  EXPECT_EQ(Core().User().token, "");
  EXPECT_EQ(Core().User().userId, "-1");
}

TEST_F(LoginAnswers, NumericUserIdBecomesDecimalText) {
  api.Answer("/v22/init.do", R"({"code":200,"token":"t-1","userId":123})");
  EXPECT_EQ(Login().code, 200);
  EXPECT_EQ(Core().User().token, "t-1");
  EXPECT_EQ(Core().User().userId, "123");
  api.Answer("/v22/init.do", R"({"code":200,"token":"t-2","userId":18446744073709551615})");
  EXPECT_EQ(Login().code, 200);
  EXPECT_EQ(Core().User().userId, "18446744073709551615");
}

TEST_F(LoginAnswers, UnreadableDataIsAParseErrorAndChangesNothing) {
  const char* bodies[] = {
      R"({"code":200,"token":5,"userId":1})",
      R"({"code":200,"token":"t","userId":"12"})",
      R"({"code":200,"token":"t","userId":1.5})",
  };
  for (const char* body : bodies) {
    api.Answer("/v22/init.do", body);
    auto call = Login();
    EXPECT_EQ(call.code, -501) << body;
    EXPECT_EQ(call.message, "Server JSON Parse Error.") << body;
    EXPECT_EQ(call.data, "") << body;
    EXPECT_FALSE(Core().isLogin.load()) << body;
    EXPECT_EQ(Core().User().userId, "-1") << body;
  }
}

TEST_F(LoginAnswers, ABodyThatIsNotAnObjectNeverReachesTheHandlerAsSuccess) {
  api.Answer("/v22/init.do", R"([200])");
  auto call = Login();
  EXPECT_EQ(call.code, -501);  // no "code" in it
  EXPECT_FALSE(Core().isLogin.load());
}
