// End to end: every request the SDK's builders make, through the SDK's own
// transport (verified TLS, the pool), to the sandbox, which checks body layout
// and signature. Also the Steam stand-in hearing of a purchase opened this way.
#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <thread>

#include "Sdk/CNimoApi.h"
#include "Sdk/CNimoCore.h"
#include "Sdk/CNimoHttp.h"
#include "Sdk/NimoUtils.h"
#include "Sdk/Singletons.h"
#include "platform/steam/steam_api.h"
#include "platform/steam/steam_control.h"
#include "support/SandboxFixture.h"
#include "support/SandboxRequests.h"
#include "support/temp_data_home.h"

using nimo_sandbox::Endpoint;
using nimo_test::TestSandbox;
using NimoSdk::Api;
using NimoSdk::CNimoApi;
using NimoSdk::CNimoHttp;
using NimoSdk::Core;
using NimoSdk::HttpHandler;
using NimoSdk::HttpResp;
using json = nlohmann::json;

namespace {

std::string Utf8(const std::wstring& w) { return NimoSdk::NimoUtils::WideToUtf8(w); }

// Sends one request and waits for its handler (on a pool worker).
HttpResp Await(const std::function<void(HttpHandler)>& send) {
  auto promise = std::make_shared<std::promise<HttpResp>>();
  auto answer = promise->get_future();
  send([promise](HttpResp r) { promise->set_value(std::move(r)); });
  if (answer.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
    ADD_FAILURE() << "no answer within 30 s";
    HttpResp none;
    none.code = -9999;
    return none;
  }
  return answer.get();
}

json Data(const HttpResp& r) { return json::parse(Utf8(r.data), nullptr, false); }

class ApiEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sb.ok()) << sb.error();
    steam_standin::Reset();
    sb.PointSdkAtIt();  // Reset forgot the bridge
    ASSERT_EQ(SteamAPI_InitFlat(), 0);
    Core().InitGlobalParams(nimo_test::kSandboxAppId, nimo_test::kSandboxAppKey);
    ASSERT_TRUE(CNimoHttp::StartPool());
  }
  void TearDown() override {
    CNimoHttp::StopPool();
    SteamAPI_Shutdown();
  }

  // Logs the stand-in's player in through the SDK and keeps the session in the core.
  void LogIn() {
    HttpResp r = Await([](HttpHandler h) {
      Api().RequestLogin(std::to_string(steam_standin::kDefaultSteamId), "0a1b2c3d4e5f", std::move(h));
    });
    ASSERT_EQ(r.code, 200) << Utf8(r.msg);
    json d = Data(r);
    Core().SetSession(d.value("token", ""), std::to_string(d.value("userId", -1LL)));
  }

  json CreateOrder(NimoSdk::CreateOrderParams o) {
    HttpResp r = Await([&](HttpHandler h) { Api().RequestCreateOrder(o, std::move(h)); });
    EXPECT_EQ(r.code, 200) << Utf8(r.msg);
    return Data(r);
  }

  nimo_test::TempDataHome home;
  TestSandbox sb;
};

struct Listener {
  Listener() : callback(this, &Listener::On) {}
  void On(MicroTxnAuthorizationResponse_t* r) {
    orderId = r->m_ulOrderID;
    authorized = r->m_bAuthorized;
    ++calls;
  }
  CCallback<Listener, MicroTxnAuthorizationResponse_t> callback;
  std::uint64_t orderId = 0;
  int authorized = -1;
  int calls = 0;
};

}  // namespace

TEST_F(ApiEndToEnd, ConfigAttributionAndProductsAreAcceptedAsBuilt) {
  HttpResp config = Await([](HttpHandler h) { Api().RequestClientConfig(std::move(h)); });
  EXPECT_EQ(config.code, 200) << Utf8(config.msg);
  EXPECT_EQ(Data(config).value("isTestDevice", -1), 0);
  EXPECT_EQ(Await([](HttpHandler h) { Api().RequestAttribution(std::move(h)); }).code, 200);
  HttpResp products = Await([](HttpHandler h) { Api().RequestProducts(std::move(h)); });
  EXPECT_EQ(products.code, 200);
  EXPECT_EQ(Data(products)["productList"].size(), 6u);

  // What arrived is byte for byte what the builder made, as a form post.
  auto requests = sb->Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].body, CNimoApi::ClientConfigBody(Core().Params()).body);
  EXPECT_EQ(requests[0].contentType, "application/x-www-form-urlencoded");
  EXPECT_EQ(sb->Attributions(nimo_test::kSandboxAppId, Core().Params().clientId), 1);
  EXPECT_EQ(sb->RefusedCount(Endpoint::Config) + sb->RefusedCount(Endpoint::Products), 0);
}

TEST_F(ApiEndToEnd, LoginOrderAndPaymentAreAcceptedAndTheRepeatedReportGetsTheSameAnswer) {
  LogIn();
  auto o = nimo_test::OrderFor("gem_60");
  o.extInfo = "level=3&gift=true";
  o.nickName = "小明 & co";
  json order = CreateOrder(o);
  const std::string steamOrderId = order["extInfo"].value("steamOrderId", "");
  auto stored = sb->FindOrderBySteamId(steamOrderId);
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->extInfo, "level=3&gift=true");
  EXPECT_EQ(stored->nickName, "小明 & co");
  EXPECT_EQ(stored->userId, Core().UserId());

  NimoSdk::PayResultParams report = nimo_test::ReportFor(*stored, "1");
  HttpResp first = Await([&](HttpHandler h) { Api().RequestPayResult(report, std::move(h)); });
  EXPECT_EQ(first.code, 200);
  EXPECT_EQ(Data(first).value("status", 0), 1);
  HttpResp again = Await([&](HttpHandler h) { Api().RequestPayResult(report, std::move(h)); });
  EXPECT_EQ(again.code, first.code);
  EXPECT_EQ(again.data, first.data);
  EXPECT_EQ(sb->FindOrder(stored->orderId)->reports, 2);
}

TEST_F(ApiEndToEnd, CreateOrderWhileLoggedOutSendsUserIdMinusOne) {
  HttpResp r = Await([](HttpHandler h) { Api().RequestCreateOrder(nimo_test::OrderFor("gem_60"), std::move(h)); });
  EXPECT_EQ(r.code, 401);
  EXPECT_EQ(Utf8(r.msg), "Unknown userId: -1 (log in first)");
  ASSERT_EQ(sb->Requests().size(), 1u);
  EXPECT_NE(sb->Requests()[0].body.find("&userId=-1&"), std::string::npos);
}

TEST_F(ApiEndToEnd, ATamperedByteIsRefused) {
  std::string body = CNimoApi::LoginBody(Core().Params(), "76561197960287930", "0a1b").body;
  body[body.find("accessToken=0a1b") + 15] = 'c';
  HttpResp r = Await([&](HttpHandler h) { CNimoHttp::PostCallback(Api().initUrl, body, std::move(h), nullptr); });
  EXPECT_EQ(r.code, 401);
  EXPECT_EQ(Utf8(r.msg), "Signature mismatch");
  EXPECT_TRUE(sb->Users().empty());
}

TEST_F(ApiEndToEnd, TrackDataArrivesUnchangedAsPlainText) {
  const std::string event = R"({"context":{"名":"值"},"deviceId":"d1","event":"zko_test","eventOrder":"n1"})";
  HttpResp r = Await([&](HttpHandler h) { Api().PostTrackData(event, std::move(h)); });
  EXPECT_EQ(r.code, 200);
  auto events = sb->Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].text, event);
  EXPECT_EQ(events[0].contentType, "text/plain;charset=UTF-8");
}

TEST_F(ApiEndToEnd, FaultModesReachTheSdkAsItsTransportCodes) {
  nimo_sandbox::Fault f;
  f.mode = nimo_sandbox::FaultMode::Http502;
  f.times = 1;
  sb->SetFault(Endpoint::Config, f);
  HttpResp bad = Await([](HttpHandler h) { Api().RequestClientConfig(std::move(h)); });
  EXPECT_EQ(bad.code, -502);
  EXPECT_EQ(Utf8(bad.msg), "Http Code:502, Msg:");
  f.mode = nimo_sandbox::FaultMode::Truncated;
  sb->SetFault(Endpoint::Config, f);
  EXPECT_EQ(Await([](HttpHandler h) { Api().RequestClientConfig(std::move(h)); }).code, -501);
  f.mode = nimo_sandbox::FaultMode::Code;
  f.code = 1001;
  f.msg = "维护中";
  sb->SetFault(Endpoint::Config, f);
  HttpResp refused = Await([](HttpHandler h) { Api().RequestClientConfig(std::move(h)); });
  EXPECT_EQ(refused.code, 1001);
  EXPECT_EQ(Utf8(refused.msg), "维护中");
}

TEST_F(ApiEndToEnd, TheStandInDeliversAPurchaseOpenedThroughTheSdk) {
  ASSERT_TRUE(TestSandbox::WaitUntil([&] { return !sb->SteamClients().empty(); }));
  Listener listener;
  LogIn();
  json order = CreateOrder(nimo_test::OrderFor("gem_300"));
  ASSERT_TRUE(TestSandbox::WaitUntil([&] {
    SteamAPI_RunCallbacks();
    return listener.calls > 0;
  }));
  EXPECT_EQ(std::to_string(listener.orderId), order["extInfo"].value("steamOrderId", ""));
  EXPECT_EQ(listener.authorized, 1);

  sb->SetPlayer(nimo_sandbox::PlayerMode::Decline);
  json declined = CreateOrder(nimo_test::OrderFor("gem_300"));
  ASSERT_TRUE(TestSandbox::WaitUntil([&] {
    SteamAPI_RunCallbacks();
    return listener.calls > 1;
  }));
  EXPECT_EQ(std::to_string(listener.orderId), declined["extInfo"].value("steamOrderId", ""));
  EXPECT_EQ(listener.authorized, 0);
}

using ApiConcurrency = ApiEndToEnd;

TEST_F(ApiConcurrency, EventsFromSixThreadsAllArriveOnce) {
  constexpr int kThreads = 6, kEach = 25;
  std::vector<std::thread> threads;
  std::atomic<int> answered{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &answered] {
      for (int i = 0; i < kEach; ++i) {
        json e = {{"deviceId", "dev"}, {"eventOrder", "n" + std::to_string(t * kEach + i + 1)}};
        Api().PostTrackData(e.dump(), [&answered](HttpResp r) {
          if (r.code == 200) ++answered;
        });
      }
    });
  }
  for (auto& th : threads) th.join();
  ASSERT_TRUE(TestSandbox::WaitUntil([&] { return answered.load() == kThreads * kEach; }, std::chrono::seconds(60)));
  auto c = sb->EventCounters()["dev"];
  EXPECT_EQ(c.distinct, kThreads * kEach);
  EXPECT_EQ(c.duplicates, 0);
  EXPECT_EQ(c.missing, 0);
}
