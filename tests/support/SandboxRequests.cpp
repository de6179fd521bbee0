#include "support/SandboxRequests.h"

namespace nimo_test {

using nlohmann::json;

NimoSdk::CoreParams SandboxParams(const std::string& appId, const std::string& appKey) {
  NimoSdk::CoreParams p;
  p.appId = appId;
  p.appKey = appKey;
  p.os = "Windows";
  p.sdkVer = "SteamEXE_2.0.0";
  p.sdkType = "html5";
  p.clientId = "test-client";
  p.runPlatform = "html5";
  p.gamePlatform = "steam";
  p.steamAppId = "480";
  return p;
}

NimoSdk::CreateOrderParams OrderFor(const std::string& productId) {
  NimoSdk::CreateOrderParams o;
  o.productId = productId;
  o.serverId = "s1";
  o.gameUserId = "g1";
  o.nickName = "Player";
  o.orderAmountMicros = "0";
  o.collectionInfo = R"({"deviceId":"test-client","resolution":"1920x1080"})";
  o.currencyCode = "";
  o.extInfo = "game-ext";
  return o;
}

NimoSdk::PayResultParams ReportFor(const nimo_sandbox::Order& order, const std::string& status) {
  NimoSdk::PayResultParams r;
  r.orderId = order.orderId;
  r.extVerifyInfo = json({{"steamOrderId", order.steamOrderId}}).dump();
  r.payAmountMicros = status == "1" ? std::to_string(order.defaultAmountMicro) : "0";
  r.serverId = order.serverId;
  r.gameUserId = order.gameUserId;
  r.status = status;
  r.userId = order.userId;
  r.channelProductId = order.channelProductId;
  return r;
}

json CallSandbox(TestSandbox& sandbox, nimo_sandbox::Endpoint endpoint, const std::string& body) {
  RawAnswer a = sandbox.Post(nimo_sandbox::EndpointPath(endpoint), body);
  return json::parse(a.body, nullptr, false);
}

SandboxLogin LoginAtSandbox(TestSandbox& sandbox, const std::string& steamId, const NimoSdk::CoreParams& params) {
  json a = CallSandbox(sandbox, nimo_sandbox::Endpoint::Login,
                       NimoSdk::CNimoApi::LoginBody(params, steamId, "0a1b2c3d4e5f").body);
  SandboxLogin out;
  if (a.is_object() && a.value("code", 0) == 200 && a.contains("userId") && a["userId"].is_number_integer()) {
    out.token = a.value("token", "");
    out.userId = std::to_string(a["userId"].get<long long>());
  }
  return out;
}

nimo_sandbox::Order SandboxServerTest::Order(const std::string& productId, const std::string& steamId) {
  const SandboxLogin login = LoginAtSandbox(sb, steamId);
  EXPECT_FALSE(login.userId.empty());
  json a = CallSandbox(sb, nimo_sandbox::Endpoint::CreateOrder,
                       NimoSdk::CNimoApi::CreateOrderBody(p, OrderFor(productId), login.userId).body);
  EXPECT_EQ(a.value("code", 0), 200) << a.dump();
  auto o = sb->FindOrder(a.value("orderId", ""));
  EXPECT_TRUE(o.has_value());
  return o.value_or(nimo_sandbox::Order{});
}

json SandboxServerTest::Report(const nimo_sandbox::Order& o, const std::string& status) {
  return CallSandbox(sb, nimo_sandbox::Endpoint::PayResult,
                     NimoSdk::CNimoApi::PayResultBody(p, ReportFor(o, status), o.userId).body);
}

}  // namespace nimo_test
