// The endpoint bodies and sign texts byte for byte, against values worked out by
// hand from the endpoint tables (digests computed outside this code base).
#include <gtest/gtest.h>
#include <stdlib.h>

#include "Sdk/CNimoApi.h"

using NimoSdk::CNimoApi;
using NimoSdk::CoreParams;
using NimoSdk::CreateOrderParams;
using NimoSdk::PayResultParams;

namespace {

CoreParams Params() {
  CoreParams p;
  p.appId = "10001";
  p.appKey = "KEY";
  p.os = "Windows";
  p.sdkVer = "SteamEXE_2.0.0";
  p.sdkType = "html5";
  p.clientId = "cid-1";
  p.runPlatform = "html5";
  p.gamePlatform = "steam";
  p.steamAppId = "480";
  return p;
}

const std::string kCommon =
    "appId=10001&os=Windows&sdkVer=SteamEXE_2.0.0&sdkType=html5&clientId=cid-1&runPlatform=html5&gamePlatform=steam";
const std::string kMerchant = R"({"merId":"480"})";
const std::string kCollection = R"({"deviceId":"cid-1","resolution":"1920x1080"})";

}  // namespace

TEST(ApiBuilders, ClientConfigSignsItsSevenValuesWithoutGamePlatform) {
  auto b = CNimoApi::ClientConfigBody(Params());
  EXPECT_EQ(b.signText, "10001KEYcid-1WindowsSteamEXE_2.0.0html5html5");
  EXPECT_EQ(b.body, kCommon + "&osign=7740801ed2c183525bceb00f8384ee48");
}

TEST(ApiBuilders, AttributionCarriesFixedUnknownsAndAnEmptyUrlParams) {
  auto b = CNimoApi::AttributionBody(Params());
  EXPECT_EQ(b.signText,
            "10001KEYSteamEXE_2.0.0html5Windows_unknowncid-1html5steam_unknown_unknown_unknown-1_unknown_unknown_unknown");
  EXPECT_EQ(b.body, kCommon +
                        "&osVer=_unknown&urlParams=&channelId=_unknown&subChannelId=_unknown&lp=_unknown&userId=-1"
                        "&browser=_unknown&browserVersion=_unknown&language=_unknown"
                        "&osign=d93f9e8692f25aa314f112ee9f44d55b");
  EXPECT_NE(b.body.find("&urlParams=&channelId="), std::string::npos);
}

TEST(ApiBuilders, LoginSendsTheMerchantJsonButSignsNeitherItNorOsNorPuserId) {
  auto b = CNimoApi::LoginBody(Params(), "76561197960287930", "0a1b2c");
  EXPECT_EQ(b.signText, "10001KEY1SteamEXE_2.0.0html5cid-1html5steamSTEAM0a1b2c");
  EXPECT_EQ(b.body, kCommon + "&platform=STEAM&bindType=1&puserId=76561197960287930&accessToken=0a1b2c&extra=" +
                        kMerchant + "&osign=b4cecc9b137ef8ce1b9b511f420c203e");
  EXPECT_EQ(b.signText.find("merId"), std::string::npos);
}

TEST(ApiBuilders, ProductsAsksForPageOneOf999AndSignsTheMerchantJsonBeforeTheKey) {
  auto b = CNimoApi::ProductsBody(Params());
  EXPECT_EQ(b.signText, "SteamEXE_2.0.0html5cid-110001Windowshtml5steam" + kMerchant + "1999KEY");
  EXPECT_EQ(b.body, kCommon + "&page=1&pageSize=999&extra=" + kMerchant + "&osign=2715dedce0aa3443cd5edb466096f657");
}

TEST(ApiBuilders, CreateOrderSendsRawValuesTheKeyAndTheSessionUserId) {
  CreateOrderParams o;
  o.productId = "gem_60";
  o.userId = "777";  // the record's copy is not what is sent
  o.serverId = "s1";
  o.gameUserId = "g1";
  o.nickName = "小明";
  o.orderAmountMicros = "0";
  o.collectionInfo = kCollection;
  o.currencyCode = "";
  o.extInfo = "a=1&b=2";
  auto b = CNimoApi::CreateOrderBody(Params(), o, "-1");
  EXPECT_EQ(b.signText, "10001KEYSTEAMcid-1a=1&b=20gem_60SteamEXE_2.0.0html5Windowshtml5steams1g1小明-1" + kCollection +
                            kMerchant);
  EXPECT_EQ(b.body, kCommon +
                        "&appKey=KEY&channel=STEAM&productId=gem_60&orderAmountMicros=0&currencyCode=&extInfo=a=1&b=2"
                        "&collectionInfo=" +
                        kCollection + "&userId=-1&serverId=s1&gameUserId=g1&nickName=小明&sdkExtInfo=" + kMerchant +
                        "&osign=57b83bbb156cebdd0bde09ade0c9f0b0");
  EXPECT_EQ(b.body.find("777"), std::string::npos);
}

TEST(ApiBuilders, PayResultSignsTwentyValuesInItsOwnOrder) {
  PayResultParams r;
  r.channelPayType = "";
  r.orderId = "SO0000000001";
  r.extVerifyInfo = R"({"steamOrderId":"5000000001"})";
  r.payAmountMicros = "990000";
  r.serverId = "s1";
  r.gameUserId = "g1";
  r.status = "1";
  r.trxId = "";
  r.trxToken = "";
  r.userId = "999";  // ignored: the session's id is sent
  r.channelProductId = "1001";
  auto b = CNimoApi::PayResultBody(Params(), r, "100001");
  EXPECT_EQ(b.signText, std::string("10001KEYSTEAMcid-1SO0000000001") + R"({"steamOrderId":"5000000001"})" +
                            "990000SteamEXE_2.0.0html5Windowshtml5steams1g11100001" + "1001");
  EXPECT_EQ(b.body, kCommon +
                        "&channel=STEAM&userId=100001&serverId=s1&gameUserId=g1&orderId=SO0000000001"
                        R"(&extVerifyInfo={"steamOrderId":"5000000001"}&status=1&payAmountMicros=990000)"
                        "&channelPayType=&channelProductId=1001&trxId=&trxToken="
                        "&osign=fcf6a290be0ea3f4002c2326d39ba2ce");
}

TEST(ApiBuilders, EmptyAppIdStillGivesAFullBodyAndAValidSignature) {
  CoreParams p = Params();
  p.appId.clear();
  auto b = CNimoApi::ClientConfigBody(p);
  EXPECT_EQ(b.body.rfind("appId=&os=Windows&", 0), 0u);
  EXPECT_EQ(b.body.substr(b.body.size() - 39), "&osign=021293344c62c867f3ea050016711d4d");
}

TEST(ApiBuilders, SameInputsGiveByteIdenticalBodies) {
  CreateOrderParams o;
  o.productId = "p";
  o.extInfo = "x&y";
  EXPECT_EQ(CNimoApi::CreateOrderBody(Params(), o, "5").body, CNimoApi::CreateOrderBody(Params(), o, "5").body);
  EXPECT_EQ(CNimoApi::LoginBody(Params(), "1", "ab").body, CNimoApi::LoginBody(Params(), "1", "ab").body);
}

TEST(ApiBuilders, MerchantJsonIsCompactAndQuotesTheAppIdAsAString) {
  EXPECT_EQ(CNimoApi::MerchantJson(Params()), R"({"merId":"480"})");
  CoreParams p = Params();
  p.steamAppId.clear();
  EXPECT_EQ(CNimoApi::MerchantJson(p), R"({"merId":""})");
}

TEST(ApiUrls, CompiledInDefaultsAreHttpsWithTheFixedPaths) {
  ::unsetenv("NIMOSDK_API_BASE_URL");
  ::unsetenv("NIMOSDK_TRACK_URL");
  CNimoApi api;
  ASSERT_EQ(api.baseUrl.rfind("https://", 0), 0u);
  ASSERT_GE(api.baseUrl.size(), 7u);
  EXPECT_EQ(api.baseUrl.substr(api.baseUrl.size() - 7), "/sdkapi");
  EXPECT_EQ(api.initUrl, api.baseUrl + "/v22/init.do");
  EXPECT_EQ(api.configUrl, api.baseUrl + "/v3/config/client.do");
  EXPECT_EQ(api.attributionUrl, api.baseUrl + "/v1/attribution.do");
  EXPECT_EQ(api.productsUrl, api.baseUrl + "/v10/pay/products.do");
  EXPECT_EQ(api.createOrderUrl, api.baseUrl + "/v10/pay/create_order.do");
  EXPECT_EQ(api.payResultUrl, api.baseUrl + "/v10/pay/pay_result.do");
  // Same host as the API, its own path.
  EXPECT_EQ(api.trackUrl, api.baseUrl.substr(0, api.baseUrl.size() - 7) + "/data/h5/v1.do");
}

TEST(ApiUrls, EnvironmentReplacesBothUrlsIndependently) {
  ::setenv("NIMOSDK_API_BASE_URL", "https://staging.example:8443/sdkapi", 1);
  ::setenv("NIMOSDK_TRACK_URL", "https://collect.example/data/h5/v1.do", 1);
  CNimoApi api;
  EXPECT_EQ(api.initUrl, "https://staging.example:8443/sdkapi/v22/init.do");
  EXPECT_EQ(api.payResultUrl, "https://staging.example:8443/sdkapi/v10/pay/pay_result.do");
  EXPECT_EQ(api.trackUrl, "https://collect.example/data/h5/v1.do");
}

TEST(ApiUrls, UseUrlsRecomputesEveryEndpoint) {
  CNimoApi api;
  api.UseUrls("https://127.0.0.1:4443/sdkapi", "https://127.0.0.1:4443/data/h5/v1.do");
  EXPECT_EQ(api.baseUrl, "https://127.0.0.1:4443/sdkapi");
  EXPECT_EQ(api.initUrl, "https://127.0.0.1:4443/sdkapi/v22/init.do");
  EXPECT_EQ(api.configUrl, "https://127.0.0.1:4443/sdkapi/v3/config/client.do");
  EXPECT_EQ(api.attributionUrl, "https://127.0.0.1:4443/sdkapi/v1/attribution.do");
  EXPECT_EQ(api.productsUrl, "https://127.0.0.1:4443/sdkapi/v10/pay/products.do");
  EXPECT_EQ(api.createOrderUrl, "https://127.0.0.1:4443/sdkapi/v10/pay/create_order.do");
  EXPECT_EQ(api.payResultUrl, "https://127.0.0.1:4443/sdkapi/v10/pay/pay_result.do");
  EXPECT_EQ(api.trackUrl, "https://127.0.0.1:4443/data/h5/v1.do");
}
