// Signed requests: MD5, the common parameters and the parameter snapshot, then every endpoint's body
// and sign text byte for byte (digests computed outside this code base), and the endpoint URLs.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>
#include <vector>

#include "Sdk/CNimoApi.h"
#include "Sdk/CNimoCore.h"
#include "Sdk/NimoOptions.h"
#include "Sdk/Singletons.h"
#include "support/temp_data_home.h"

namespace {

using NimoSdk::Api;
using NimoSdk::CNimoApi;
using NimoSdk::CoreParams;

TEST(Signing, Md5OfRfc1321CasesAndOfRawBytes) {
  const std::pair<std::string, const char*> suite[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {std::string("a\0b", 3), "70350f6027bce3713f6b76473084309b"},  // not cut at NUL
  };
  for (const auto& [text, digest] : suite) EXPECT_EQ(CNimoApi::Md5Hex(text), digest) << '"' << text << '"';
}

// The core parameters as Init sets them, with the client id already stored.
class SigningWithCore : public ::testing::Test {
 protected:
  void Init(const std::string& appId, const std::string& appKey, const std::string& clientId) {
    nimo_test::WriteText(home_.SdkFolder() + "/SharedConf", "{\"ClientId\":\"" + clientId + "\"}");
    NimoSdk::Core().InitGlobalParams(appId, appKey);
  }
  nimo_test::TempDataHome home_;
};

// Common parameters: fixed order, unescaped, without the key or Steam's app id. The snapshot: all nine.
TEST_F(SigningWithCore, CommonParametersAndTheSnapshot) {
  Init("app1", "key1", "cid-1");
  EXPECT_EQ(CNimoApi::BuildCommonParams(Api().Snapshot()),
            "appId=app1&os=Windows&sdkVer=SteamEXE_2.0.0&sdkType=html5&clientId=cid-1&runPlatform=html5"
            "&gamePlatform=steam");
  const CoreParams p = Api().Snapshot();
  const std::vector<std::string> got = {p.appId,     p.appKey,      p.os,           p.sdkVer,    p.sdkType,
                                        p.clientId,  p.runPlatform, p.gamePlatform, p.steamAppId};
  EXPECT_EQ(got, (std::vector<std::string>{"app1", "key1", "Windows", "SteamEXE_2.0.0", "html5", "cid-1", "html5",
                                           "steam", "0"}));  // Steam is not running here
  Init("", "k", "a&b=c d/é");
  EXPECT_EQ(Api().Snapshot().appId, "");
  EXPECT_EQ(CNimoApi::BuildCommonParams(Api().Snapshot()),
            "appId=&os=Windows&sdkVer=SteamEXE_2.0.0&sdkType=html5&clientId=a&b=c d/é&runPlatform=html5"
            "&gamePlatform=steam");
}

// appId, appKey, os, sdkVer, sdkType, clientId, runPlatform, gamePlatform, steamAppId
CoreParams Params() { return {"10001", "KEY", "Windows", "SteamEXE_2.0.0", "html5", "cid-1", "html5", "steam", "480"}; }

const std::string kCommon =
    "appId=10001&os=Windows&sdkVer=SteamEXE_2.0.0&sdkType=html5&clientId=cid-1&runPlatform=html5&gamePlatform=steam";
const std::string kMerchant = R"({"merId":"480"})";

TEST(ApiBuilders, ClientConfigAndAttribution) {
  auto config = CNimoApi::ClientConfigBody(Params());  // seven values, no gamePlatform
  EXPECT_EQ(config.signText, "10001KEYcid-1WindowsSteamEXE_2.0.0html5html5");
  EXPECT_EQ(config.body, kCommon + "&osign=7740801ed2c183525bceb00f8384ee48");

  auto attribution = CNimoApi::AttributionBody(Params());  // fixed unknowns, an empty urlParams
  EXPECT_EQ(attribution.signText,
            "10001KEYSteamEXE_2.0.0html5Windows_unknowncid-1html5steam_unknown_unknown_unknown-1_unknown_unknown_unknown");
  EXPECT_EQ(attribution.body,
            kCommon +
                "&osVer=_unknown&urlParams=&channelId=_unknown&subChannelId=_unknown&lp=_unknown&userId=-1"
                "&browser=_unknown&browserVersion=_unknown&language=_unknown&osign=d93f9e8692f25aa314f112ee9f44d55b");
}

TEST(ApiBuilders, LoginAndProductsCarryTheMerchantJson) {
  auto login = CNimoApi::LoginBody(Params(), "76561197960287930", "0a1b2c");  // signs neither it, os nor puserId
  EXPECT_EQ(login.signText, "10001KEY1SteamEXE_2.0.0html5cid-1html5steamSTEAM0a1b2c");
  EXPECT_EQ(login.body, kCommon + "&platform=STEAM&bindType=1&puserId=76561197960287930&accessToken=0a1b2c&extra=" +
                            kMerchant + "&osign=b4cecc9b137ef8ce1b9b511f420c203e");

  auto products = CNimoApi::ProductsBody(Params());  // page one of 999, merchant JSON signed before the key
  EXPECT_EQ(products.signText, "SteamEXE_2.0.0html5cid-110001Windowshtml5steam" + kMerchant + "1999KEY");
  EXPECT_EQ(products.body,
            kCommon + "&page=1&pageSize=999&extra=" + kMerchant + "&osign=2715dedce0aa3443cd5edb466096f657");

  CoreParams noSteam = Params();
  noSteam.steamAppId.clear();
  EXPECT_EQ(CNimoApi::MerchantJson(noSteam), R"({"merId":""})");  // always a string
}

TEST(ApiBuilders, CreateOrderSendsRawValuesTheKeyAndTheSessionUserId) {
  const std::string collection = R"({"deviceId":"cid-1","resolution":"1920x1080"})";
  // productId, userId (the record's copy, not what is sent), serverId, gameUserId, nickName,
  // orderAmountMicros, collectionInfo, currencyCode, extInfo
  const NimoSdk::CreateOrderParams o{"gem_60", "777", "s1", "g1", "小明", "0", collection, "", "a=1&b=2"};
  auto b = CNimoApi::CreateOrderBody(Params(), o, "-1");
  EXPECT_EQ(b.signText,
            "10001KEYSTEAMcid-1a=1&b=20gem_60SteamEXE_2.0.0html5Windowshtml5steams1g1小明-1" + collection + kMerchant);
  EXPECT_EQ(b.body, kCommon +
                        "&appKey=KEY&channel=STEAM&productId=gem_60&orderAmountMicros=0&currencyCode=&extInfo=a=1&b=2"
                        "&collectionInfo=" +
                        collection + "&userId=-1&serverId=s1&gameUserId=g1&nickName=小明&sdkExtInfo=" + kMerchant +
                        "&osign=57b83bbb156cebdd0bde09ade0c9f0b0");
}

TEST(ApiBuilders, PayResultSignsTwentyValuesInItsOwnOrder) {
  // channelPayType, orderId, extVerifyInfo, payAmountMicros, serverId, gameUserId, status, trxId, trxToken,
  // userId (ignored: the session's id is sent), channelProductId
  const NimoSdk::PayResultParams r{
      "", "SO0000000001", R"({"steamOrderId":"5000000001"})", "990000", "s1", "g1", "1", "", "", "999", "1001"};
  auto b = CNimoApi::PayResultBody(Params(), r, "100001");
  EXPECT_EQ(b.signText, std::string("10001KEYSTEAMcid-1SO0000000001") + R"({"steamOrderId":"5000000001"})" +
                            "990000SteamEXE_2.0.0html5Windowshtml5steams1g11100001" + "1001");
  EXPECT_EQ(b.body, kCommon +
                        "&channel=STEAM&userId=100001&serverId=s1&gameUserId=g1&orderId=SO0000000001"
                        R"(&extVerifyInfo={"steamOrderId":"5000000001"}&status=1&payAmountMicros=990000)"
                        "&channelPayType=&channelProductId=1001&trxId=&trxToken="
                        "&osign=fcf6a290be0ea3f4002c2326d39ba2ce");
}

std::vector<std::string> Endpoints(const CNimoApi& api) {
  const NimoSdk::ApiUrls a = api.Urls();
  return {a.initUrl, a.configUrl, a.attributionUrl, a.productsUrl, a.createOrderUrl, a.payResultUrl, a.trackUrl};
}
std::vector<std::string> Expected(const std::string& base, const std::string& track) {
  return {base + "/v22/init.do",          base + "/v3/config/client.do",   base + "/v1/attribution.do",
          base + "/v10/pay/products.do",  base + "/v10/pay/create_order.do", base + "/v10/pay/pay_result.do",
          track};
}

TEST(ApiUrls, CompiledInDefaultsAndEnvironment) {
  ::unsetenv("NIMOSDK_API_BASE_URL");
  ::unsetenv("NIMOSDK_TRACK_URL");
  CNimoApi builtIn(NimoSdk::Facts());
  const std::string base = builtIn.Urls().baseUrl;
  ASSERT_EQ(base.rfind("https://", 0), 0u);
  EXPECT_EQ(base.substr(base.size() - 7), "/sdkapi");
  // Tracking: the API's host, a path of its own.
  EXPECT_EQ(Endpoints(builtIn), Expected(base, base.substr(0, base.size() - 7) + "/data/h5/v1.do"));

  ::setenv("NIMOSDK_API_BASE_URL", "https://staging.example:8443/sdkapi", 1);
  ::setenv("NIMOSDK_TRACK_URL", "https://collect.example/data/h5/v1.do", 1);
  NimoSdk::Options().Freeze();  // as Init does
  EXPECT_EQ(Endpoints(NimoSdk::Api()),
            Expected("https://staging.example:8443/sdkapi", "https://collect.example/data/h5/v1.do"));
}

}  // namespace
