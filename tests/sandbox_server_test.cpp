// The sandbox as a server: certificates, signature checks, the answers of every
// endpoint, orders and payment reports, stored events, bad input and restarts.
// Requests come from a plain HTTPS client; bodies from the SDK's builders.
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "support/SandboxFixture.h"
#include "support/SandboxRequests.h"
#include "support/TestSocket.h"
#include "support/temp_data_home.h"
#include "tools/sandbox/LiveView.h"

using nimo_sandbox::Endpoint;
using nimo_test::CallSandbox;
using nimo_test::kSandboxAppId;
using nimo_test::LoginAtSandbox;
using nimo_test::OrderFor;
using nimo_test::ReadText;
using nimo_test::ReportFor;
using nimo_test::SandboxParams;
using nimo_test::TestSandbox;
using NimoSdk::CNimoApi;
using json = nlohmann::json;

namespace {

std::set<std::string> Keys(const json& j) {
  std::set<std::string> out;
  if (j.is_object()) {
    for (const auto& [k, v] : j.items()) out.insert(k);
  }
  return out;
}

std::string Replace(std::string s, const std::string& from, const std::string& to) {
  auto at = s.find(from);
  if (at != std::string::npos) s.replace(at, from.size(), to);
  return s;
}

using SandboxTest = nimo_test::SandboxServerTest;
using SandboxSignatures = SandboxTest;
using SandboxAnswers = SandboxTest;
using SandboxLogin = SandboxTest;
using SandboxOrders = SandboxTest;
using SandboxPayResult = SandboxTest;
using SandboxEvents = SandboxTest;
using SandboxBadInput = SandboxTest;
using SandboxControl = SandboxTest;
using SandboxConcurrency = SandboxTest;

}  // namespace

// Certificates, orders, users and event numbers survive a restart; a damaged
// certificate pair is made again rather than served.
TEST(SandboxRestart, KeepsItsStateAndCertificatesButRemakesADamagedPair) {
  std::string dir = (std::filesystem::temp_directory_path() / ("nimo-cert-test-" + std::to_string(::getpid()))).string();
  std::filesystem::remove_all(dir);
  nimo_sandbox::Options o;
  o.stateDir = o.certDir = dir;
  const auto p = SandboxParams();
  std::string firstCa;
  nimo_sandbox::Order first;
  for (const std::string start : {"first", "second", "damaged"}) {
    SCOPED_TRACE(start);
    if (start == "damaged") std::ofstream(dir + "/server.pem") << "garbage";
    TestSandbox sb(o, false);
    ASSERT_TRUE(sb.ok()) << sb.error();
    EXPECT_EQ(sb.Get("/_control").status, 200);  // the plain client verifies the chain and 127.0.0.1
    if (firstCa.empty()) firstCa = ReadText(sb->CaFile());
    EXPECT_EQ(ReadText(sb->CaFile()) == firstCa, start != "damaged");
    if (start == "first") {
      auto login = LoginAtSandbox(sb);
      json a = CallSandbox(sb, Endpoint::CreateOrder, CNimoApi::CreateOrderBody(p, OrderFor("gem_60"), login.userId).body);
      first = sb->FindOrder(a.value("orderId", "")).value_or(nimo_sandbox::Order{});
      sb.Post("/data/h5/v1.do", R"({"deviceId":"A","eventOrder":"n1"})", "text/plain");
    } else if (start == "second") {
      ASSERT_TRUE(sb->FindOrder(first.orderId));
      EXPECT_EQ(LoginAtSandbox(sb).userId, first.userId);
      json paid = CallSandbox(sb, Endpoint::PayResult, CNimoApi::PayResultBody(p, ReportFor(first, "1"), first.userId).body);
      EXPECT_EQ(paid.value("status", 0), 1);
      json next = CallSandbox(sb, Endpoint::CreateOrder, CNimoApi::CreateOrderBody(p, OrderFor("gem_60"), first.userId).body);
      EXPECT_NE(next.value("orderId", ""), first.orderId);
      EXPECT_NE(next["extInfo"].value("steamOrderId", ""), first.steamOrderId);
      sb.Post("/data/h5/v1.do", R"({"deviceId":"A","eventOrder":"n1"})", "text/plain");
      EXPECT_EQ(sb->EventCounters()["A"].duplicates, 1);
    }
  }
  std::FILE* f = std::fopen((dir + "/server.pem").c_str(), "rb");
  ASSERT_NE(f, nullptr);
  X509* leaf = PEM_read_X509(f, nullptr, nullptr, nullptr);
  std::fclose(f);
  ASSERT_NE(leaf, nullptr);
  EXPECT_EQ(X509_check_host(leaf, "localhost", 0, 0, nullptr), 1);
  EXPECT_NE(X509_check_host(leaf, "example.com", 0, 0, nullptr), 1);
  X509_free(leaf);
  EXPECT_EQ(std::filesystem::status(dir + "/server.key").permissions() & std::filesystem::perms::others_read,
            std::filesystem::perms::none);
  std::filesystem::remove_all(dir);
}

TEST_F(SandboxSignatures, AcceptTheSdkBodiesAndRefuseAnyTamperedByteOrOtherKey) {
  std::string body = CNimoApi::ClientConfigBody(p).body;
  EXPECT_EQ(CallSandbox(sb, Endpoint::Config, body).value("code", 0), 200);

  json tampered = CallSandbox(sb, Endpoint::Config, Replace(body, "test-client", "test-clienT"));
  EXPECT_EQ(tampered.value("code", 0), 401);
  EXPECT_EQ(tampered.value("msg", ""), "Signature mismatch");

  std::string badSign = body;
  badSign.back() = badSign.back() == '0' ? '1' : '0';
  EXPECT_EQ(CallSandbox(sb, Endpoint::Config, badSign).value("code", 0), 401);

  // A value outside the sign list is not protected by it: login's os.
  std::string login = CNimoApi::LoginBody(p, nimo_test::kTestSteamId, "abcd").body;
  EXPECT_EQ(CallSandbox(sb, Endpoint::Login, Replace(login, "os=Windows", "os=Linux")).value("code", 0), 200);
  EXPECT_EQ(CallSandbox(sb, Endpoint::Login, Replace(login, "accessToken=abcd", "accessToken=abce")).value("code", 0),
            401);
  // The request log says what the server hashed, for whoever debugs a signature.
  auto requests = sb->Requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_NE(requests.back().note.find("expected sign text: "), std::string::npos);

  // A config body is not a valid products body even with the right key.
  EXPECT_EQ(CallSandbox(sb, Endpoint::Products, CNimoApi::ClientConfigBody(p).body).value("code", 0), 400);
  // The other game's key does not sign this game's requests.
  auto wrongKey = SandboxParams(kSandboxAppId, nimo_test::kSandboxOtherAppKey);
  EXPECT_EQ(CallSandbox(sb, Endpoint::Config, CNimoApi::ClientConfigBody(wrongKey).body).value("code", 0), 401);
  auto other = SandboxParams(nimo_test::kSandboxOtherAppId, nimo_test::kSandboxOtherAppKey);
  EXPECT_EQ(CallSandbox(sb, Endpoint::Config, CNimoApi::ClientConfigBody(other).body).value("code", 0), 200);

  json unknown = CallSandbox(sb, Endpoint::Config, CNimoApi::ClientConfigBody(SandboxParams("999", "k")).body);
  EXPECT_EQ(unknown.value("code", 0), 403);
  EXPECT_EQ(unknown.value("msg", ""), "Unknown appId: 999");
}

TEST_F(SandboxSignatures, MissingOrReorderedParametersAreNamed) {
  std::string body = CNimoApi::AttributionBody(p).body;
  json missing = CallSandbox(sb, Endpoint::Attribution, Replace(body, "&lp=_unknown", ""));
  EXPECT_EQ(missing.value("code", 0), 400);
  EXPECT_EQ(missing.value("msg", ""), "Missing parameter: lp");

  std::string swapped = Replace(Replace(body, "&browser=_unknown", ""), "&language=", "&browser=_unknown&language=");
  EXPECT_EQ(CallSandbox(sb, Endpoint::Attribution, swapped).value("code", 0), 400);

  json noType = json::parse(sb.Post(nimo_sandbox::EndpointPath(Endpoint::Config), CNimoApi::ClientConfigBody(p).body,
                                    "text/plain")
                                .body);
  EXPECT_EQ(noType.value("msg", ""), "Content-Type must be application/x-www-form-urlencoded");
}

TEST_F(SandboxAnswers, EveryEndpointAnswersExactlyTheMembersTheSdkReads) {
  using Set = std::set<std::string>;
  json config = CallSandbox(sb, Endpoint::Config, CNimoApi::ClientConfigBody(p).body);
  EXPECT_EQ(Keys(config), (Set{"code", "msg", "isTestDevice"}));
  EXPECT_EQ(config["isTestDevice"], 0);
  EXPECT_EQ(Keys(CallSandbox(sb, Endpoint::Attribution, CNimoApi::AttributionBody(p).body)), (Set{"code", "msg"}));

  json login = CallSandbox(sb, Endpoint::Login, CNimoApi::LoginBody(p, nimo_test::kTestSteamId, "00ff").body);
  EXPECT_EQ(Keys(login), (Set{"code", "msg", "token", "userId"}));
  EXPECT_TRUE(login["token"].is_string() && !login["token"].get<std::string>().empty());
  EXPECT_TRUE(login["userId"].is_number_integer());

  json products = CallSandbox(sb, Endpoint::Products, CNimoApi::ProductsBody(p).body);
  EXPECT_EQ(Keys(products), (Set{"code", "msg", "productList"}));
  ASSERT_TRUE(products["productList"].is_array());
  for (const auto& prod : products["productList"]) {
    EXPECT_EQ(Keys(prod), (Set{"productId", "productName", "productDesc", "productCurrencyCode", "gameCurrencyAmount",
                               "payChannel"}));
    EXPECT_TRUE(prod["gameCurrencyAmount"].is_number_integer());
    for (const auto& c : prod["payChannel"]) EXPECT_EQ(Keys(c), (Set{"name", "channelProductId"}));
  }

  json order = CallSandbox(
      sb, Endpoint::CreateOrder,
      CNimoApi::CreateOrderBody(p, OrderFor("gem_60"), std::to_string(login["userId"].get<long long>())).body);
  EXPECT_EQ(Keys(order), (Set{"code", "msg", "orderId", "productName", "defaultCurrency", "virtualCurrency",
                              "defaultAmountMicro", "virtualCoinAmount", "extInfo"}));
  EXPECT_EQ(Keys(order["extInfo"]), (Set{"steamOrderId", "steamTransId"}));
  EXPECT_TRUE(order["defaultAmountMicro"].is_number_integer());
  EXPECT_EQ(order["defaultAmountMicro"], 990000);

  auto stored = sb->FindOrder(order.value("orderId", ""));
  ASSERT_TRUE(stored);
  EXPECT_EQ(Keys(Report(*stored, "1")), (Set{"code", "msg", "status"}));

  json track = json::parse(sb.Post("/data/h5/v1.do", R"({"deviceId":"d","eventOrder":"n1"})", "text/plain").body);
  EXPECT_EQ(Keys(track), (Set{"code", "msg"}));
}

TEST_F(SandboxAnswers, TestDevicesComeFromTheFlagOrTheConfigFile) {
  sb->SetTestDevice(true);
  EXPECT_EQ(CallSandbox(sb, Endpoint::Config, CNimoApi::ClientConfigBody(p).body)["isTestDevice"], 1);

  std::string file = sb.StateDir() + "/games.json";
  std::ofstream(file) << R"({"apps":[{"appId":"7","appKey":"k7","testDevices":["test-client"],
      "products":[{"productId":"x","payChannel":[{"name":"STEAM","channelProductId":"9"}]}]}]})";
  nimo_sandbox::Options o;
  o.configFile = file;
  TestSandbox custom(o, false);
  ASSERT_TRUE(custom.ok()) << custom.error();
  auto q = SandboxParams("7", "k7");
  EXPECT_EQ(CallSandbox(custom, Endpoint::Config, CNimoApi::ClientConfigBody(q).body)["isTestDevice"], 1);
  q.clientId = "someone-else";
  EXPECT_EQ(CallSandbox(custom, Endpoint::Config, CNimoApi::ClientConfigBody(q).body)["isTestDevice"], 0);
  EXPECT_EQ(CallSandbox(custom, Endpoint::Config, CNimoApi::ClientConfigBody(p).body).value("code", 0), 403);
}

TEST_F(SandboxLogin, RefusesTicketsThatAreNotLowerCaseHexAndSteamIdsThatAreNotNumbers) {
  for (const char* ticket : {"", "abc", "ABCD", "zz00"}) {
    json a = CallSandbox(sb, Endpoint::Login, CNimoApi::LoginBody(p, nimo_test::kTestSteamId, ticket).body);
    EXPECT_EQ(a.value("code", 0), 400) << ticket;
  }
  EXPECT_EQ(CallSandbox(sb, Endpoint::Login, CNimoApi::LoginBody(p, "steam:1", "abcd").body).value("code", 0), 400);
  EXPECT_TRUE(sb->Users().empty());
}

TEST_F(SandboxOrders, CreateOrderStoresTheOrderUnderADecimalSteamIdBeyond32Bits) {
  auto o = Order("gem_980");
  EXPECT_FALSE(o.orderId.empty());
  ASSERT_FALSE(o.steamOrderId.empty());
  EXPECT_EQ(o.steamOrderId.find_first_not_of("0123456789"), std::string::npos);
  EXPECT_NE(o.steamOrderId[0], '0');
  EXPECT_GT(std::stoull(o.steamOrderId), 0xFFFFFFFFULL);
  EXPECT_EQ(o.productName, "980 宝石");
  EXPECT_EQ(o.channelProductId, "1003");
  EXPECT_EQ(o.steamId, nimo_test::kTestSteamId);
  EXPECT_EQ(o.player, "approve");
  EXPECT_NE(ReadText(sb.StateDir() + "/orders.json").find(o.steamOrderId), std::string::npos);

  auto two = Order("vip_month");  // WEB and STEAM: the STEAM channel is the one
  EXPECT_EQ(two.channelProductId, "2001");
  EXPECT_NE(two.steamOrderId, o.steamOrderId);
}

TEST_F(SandboxOrders, RefusesProductsNotSoldThroughSteamAndPlayersNotLoggedIn) {
  auto login = LoginAtSandbox(sb);
  auto order = [&](const std::string& product, const std::string& user) {
    return CallSandbox(sb, Endpoint::CreateOrder, CNimoApi::CreateOrderBody(p, OrderFor(product), user).body);
  };
  EXPECT_EQ(order("nothing", login.userId).value("msg", ""), "Unknown productId: nothing");
  EXPECT_EQ(order("starter_pack", login.userId).value("code", 0), 400);
  EXPECT_EQ(order("lucky_box", login.userId).value("code", 0), 400);  // "steam" is not "STEAM"
  json loggedOut = order("gem_60", "-1");
  EXPECT_EQ(loggedOut.value("code", 0), 401);
  EXPECT_EQ(loggedOut.value("msg", ""), "Unknown userId: -1 (log in first)");
  EXPECT_TRUE(sb->Orders().empty());
}

TEST_F(SandboxPayResult, ConfirmsOnlyWhatThePlayerAuthorised) {
  sb->SetProductPlayer("gem_300", nimo_sandbox::PlayerMode::Decline);
  sb->SetProductPlayer("vip_month", nimo_sandbox::PlayerMode::Never);
  auto declined = Order("gem_300");
  EXPECT_EQ(Report(declined, "0").value("status", -1), 0);
  auto never = Order("vip_month");
  json forged = Report(never, "1");  // Steam never said yes
  EXPECT_EQ(forged.value("code", 0), 200);
  EXPECT_EQ(forged.value("status", -1), 0);
  auto approved = Order("gem_60");
  EXPECT_EQ(Report(approved, "0").value("status", -1), 0);  // the player's "no" as the SDK reported it
}

TEST_F(SandboxPayResult, ChecksOwnerAmountAndSteamOrder) {
  auto o = Order();
  auto other = LoginAtSandbox(sb, "76561197960287931");
  auto report = ReportFor(o, "1");
  auto send = [&](const NimoSdk::PayResultParams& r, const std::string& user) {
    return CallSandbox(sb, Endpoint::PayResult, CNimoApi::PayResultBody(p, r, user).body);
  };
  EXPECT_EQ(send(report, other.userId).value("code", 0), 409);
  auto r = report;
  r.payAmountMicros = "1";
  EXPECT_EQ(send(r, o.userId).value("code", 0), 422);
  r = report;
  r.extVerifyInfo = R"({"steamOrderId":"1"})";
  EXPECT_EQ(send(r, o.userId).value("code", 0), 422);
  r = report;
  r.channelProductId = "1002";
  EXPECT_EQ(send(r, o.userId).value("code", 0), 422);
  r = report;
  r.orderId = "SO9999999999";
  EXPECT_EQ(send(r, o.userId).value("code", 0), 404);
  EXPECT_EQ(sb->FindOrder(o.orderId)->reports, 0);  // refusals are not reports
  EXPECT_EQ(send(report, o.userId).value("status", 0), 1);
}

TEST_F(SandboxEvents, StoresEachEventAsOneLineAndCountsNumbersPerDevice) {
  std::vector<std::string> bodies = {
      R"({"deviceId":"A","event":"e","eventOrder":"n1"})", R"({"deviceId":"A","event":"e","eventOrder":"n2"})",
      R"({"deviceId":"A","event":"e","eventOrder":"n2"})", R"({"deviceId":"A","event":"e","eventOrder":"n5"})",
      R"({"deviceId":"B","event":"e","eventOrder":"n7"})", R"({"deviceId":"B","event":"e"})",
      "{\"deviceId\":\"B\",\n\"eventOrder\":\"n8\"}"};
  for (const auto& b : bodies) EXPECT_EQ(sb.Post("/data/h5/v1.do", b, "text/plain;charset=UTF-8").status, 200);
  EXPECT_EQ(json::parse(sb.Post("/data/h5/v1.do", "not json", "text/plain").body).value("code", 0), 400);

  auto counters = sb->EventCounters();
  EXPECT_EQ(counters["A"].events, 4);
  EXPECT_EQ(counters["A"].distinct, 3);
  EXPECT_EQ(counters["A"].duplicates, 1);
  EXPECT_EQ(counters["A"].missing, 2);  // n3, n4
  EXPECT_EQ(counters["B"].malformed, 1);
  EXPECT_EQ(counters["B"].missing, 0);

  auto events = sb->Events();
  ASSERT_EQ(events.size(), bodies.size());
  EXPECT_EQ(events[0].text, bodies[0]);
  EXPECT_EQ(events[0].contentType, "text/plain;charset=UTF-8");
  std::ifstream lines(sb.StateDir() + "/events.jsonl");
  std::vector<std::string> stored;
  for (std::string line; std::getline(lines, line);) stored.push_back(line);
  ASSERT_EQ(stored.size(), bodies.size());
  EXPECT_EQ(stored[3], bodies[3]);
  EXPECT_EQ(json::parse(stored[6]), json::parse(bodies[6]));  // its line break is not a second line
}

TEST_F(SandboxBadInput, GetsACleanAnswerAndTheServerCarriesOn) {
  const std::string path = nimo_sandbox::EndpointPath(Endpoint::Login);
  for (std::string body : {std::string(), std::string("&&&&"), std::string("appId="), std::string("\xff\xfe\x00\x01", 4),
                           std::string("appId=\xff&os=\xfe")}) {
    auto a = sb.Post(path, body);
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(json::parse(a.body, nullptr, false).value("code", 0), 400) << a.body;
  }
  // Thousands of separators cost bounded work.
  std::string many = "appId=10001";
  for (int i = 0; i < 20000; ++i) many += "&os=&sdkVer=";
  EXPECT_EQ(json::parse(sb.Post(path, many).body, nullptr, false).value("code", 0), 400);

  auto huge = sb.Post(path, std::string(2 * 1024 * 1024, 'a'));
  EXPECT_EQ(huge.status, 413);
  EXPECT_EQ(json::parse(huge.body, nullptr, false).value("msg", ""), "Request body too large");

  auto unknown = sb.Post("/sdkapi/v99/nothing.do", "x=1");
  EXPECT_EQ(unknown.status, 404);
  EXPECT_EQ(json::parse(unknown.body, nullptr, false).value("msg", ""), "Unknown path: /sdkapi/v99/nothing.do");
  EXPECT_EQ(sb.Get(path).status, 404);

  auto control = sb.Post("/_control", "{not json", "application/json");
  EXPECT_EQ(json::parse(control.body, nullptr, false).value("code", 0), 400);

  EXPECT_EQ(CallSandbox(sb, Endpoint::Config, CNimoApi::ClientConfigBody(p).body).value("code", 0), 200);
}

TEST_F(SandboxControl, ChangesFaultsPlayerAndTestDevicesAtRunTime) {
  auto answer = sb.Post("/_control", R"({"faults":{"config":{"mode":"code","code":1001,"msg":"busy","times":1}},
      "player":{"mode":"decline","delayMs":5,"products":{"gem_60":"never"}},"testDevice":true})",
                        "application/json");
  json a = json::parse(answer.body, nullptr, false);
  ASSERT_EQ(a.value("code", 0), 200) << answer.body;
  EXPECT_EQ(a["settings"]["player"]["mode"], "decline");
  EXPECT_EQ(a["settings"]["faults"]["config"]["times"], 1);

  EXPECT_EQ(CallSandbox(sb, Endpoint::Config, CNimoApi::ClientConfigBody(p).body),
            json::parse(R"({"code":1001,"msg":"busy"})"));
  json config = CallSandbox(sb, Endpoint::Config, CNimoApi::ClientConfigBody(p).body);
  EXPECT_EQ(config.value("code", 0), 200);
  EXPECT_EQ(config["isTestDevice"], 1);
  EXPECT_EQ(sb->Player().For("gem_60"), nimo_sandbox::PlayerMode::Never);
  EXPECT_EQ(sb->Player().For("gem_300"), nimo_sandbox::PlayerMode::Decline);

  // A bad command changes nothing.
  json bad = json::parse(sb.Post("/_control", R"({"player":"maybe","testDevice":false})", "application/json").body);
  EXPECT_EQ(bad.value("code", 0), 400);
  json state = json::parse(sb.Get("/_control").body, nullptr, false);
  EXPECT_EQ(state["settings"]["testDevice"], true);
  EXPECT_EQ(state["counters"]["requests"]["config"], 2);
  EXPECT_EQ(json::parse(sb.Post("/_control", R"({"faults":{"nowhere":{"mode":"hang"}}})", "application/json").body)
                .value("msg", ""),
            "unknown endpoint 'nowhere'");
}

// Reports of one order, at once or later, all get the first answer.
TEST_F(SandboxConcurrency, RacingReportsOfOneOrderAllHearTheOneVerdict) {
  auto o = Order();
  std::string body = CNimoApi::PayResultBody(p, ReportFor(o, "1"), o.userId).body;
  std::vector<json> answers(8);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < answers.size(); ++i) {
    threads.emplace_back([&, i] { answers[i] = CallSandbox(sb, Endpoint::PayResult, body); });
  }
  for (auto& t : threads) t.join();
  for (const auto& a : answers) EXPECT_EQ(a, json::parse(R"({"code":200,"msg":"Success","status":1})"));
  EXPECT_EQ(Report(o, "0"), answers[0]);
  EXPECT_EQ(sb->FindOrder(o.orderId)->reports, 9);
  EXPECT_EQ(sb->FindOrder(o.orderId)->payStatus, 1);
}

// The live view reads while orders arrive, and stops with a browser's idle connection open.
TEST_F(SandboxConcurrency, RacingOrdersGetDistinctIdsWhileSettingsChangeAndTheViewReads) {
  auto login = LoginAtSandbox(sb);
  std::string body = CNimoApi::CreateOrderBody(p, OrderFor("gem_60"), login.userId).body;
  nimo_sandbox::LiveView view(sb.Server());
  std::string error;
  ASSERT_TRUE(view.Start(0, &error)) << error;
  int idle = nimo_test::sock::StartConnect(view.Port());
  std::atomic<bool> done{false};
  std::thread changer([&] {
    for (int i = 0; !done; ++i) {
      view.Snapshot(0, 0);
      sb->SetPlayer(i % 2 ? nimo_sandbox::PlayerMode::Decline : nimo_sandbox::PlayerMode::Approve);
      sb->Control({{"testDevice", i % 2 == 0}});
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 5; ++i) EXPECT_EQ(CallSandbox(sb, Endpoint::CreateOrder, body).value("code", 0), 200);
    });
  }
  for (auto& t : threads) t.join();
  done = true;
  changer.join();
  std::set<std::string> ids, steamIds;
  for (const auto& o : sb->Orders()) {
    ids.insert(o.orderId);
    steamIds.insert(o.steamOrderId);
  }
  EXPECT_EQ(ids.size(), 30u);
  EXPECT_EQ(steamIds.size(), 30u);
  json shown = view.Snapshot(0, 0);
  EXPECT_EQ(shown["orders"].size(), 30u);
  EXPECT_EQ(shown["requests"]["next"], sb->Requests().size());
  view.Stop();
  nimo_test::sock::Close(idle);
}
