// The request signature: MD5 digests, the common parameter text and the
// parameter snapshot every signed request is built from.
#include <gtest/gtest.h>

#include <string>

#include "Sdk/CNimoApi.h"
#include "Sdk/CNimoCore.h"
#include "Sdk/Singletons.h"
#include "support/temp_data_home.h"

namespace {

using NimoSdk::CNimoApi;
using NimoSdk::CoreParams;
using NimoSdk::Core;

TEST(Signing, Md5MatchesTheRfc1321TestSuite) {
  const std::pair<const char*, const char*> suite[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& [text, digest] : suite) EXPECT_EQ(CNimoApi::Md5Hex(text), digest) << '"' << text << '"';
}

TEST(Signing, Md5DigestsTheBytesAsTheyAre) {
  EXPECT_EQ(CNimoApi::Md5Hex(std::string("a\0b", 3)), "70350f6027bce3713f6b76473084309b");  // not cut at NUL
  EXPECT_EQ(CNimoApi::Md5Hex("名字"), "689fad203a167d542c12bdc46f27e921");                    // UTF-8 bytes
  const std::string big(1 << 20, 'x');
  EXPECT_EQ(CNimoApi::Md5Hex(big).size(), 32u);
  EXPECT_EQ(CNimoApi::Md5Hex(big).find_first_not_of("0123456789abcdef"), std::string::npos);
}

// The core parameters as Init sets them, with the client id already stored.
class SigningWithCore : public ::testing::Test {
 protected:
  void Init(const std::string& appId, const std::string& appKey, const std::string& clientId) {
    nimo_test::WriteText(home_.SdkFolder() + "/SharedConf", "{\"ClientId\":\"" + clientId + "\"}");
    Core().InitGlobalParams(appId, appKey);
  }
  nimo_test::TempDataHome home_;
};

TEST_F(SigningWithCore, CommonParametersInTheirFixedOrderWithoutKeyOrSteamAppId) {
  Init("app1", "key1", "cid-1");
  EXPECT_EQ(CNimoApi::BuildCommonParams(),
            "appId=app1&os=Windows&sdkVer=SteamEXE_2.0.0&sdkType=html5&clientId=cid-1&runPlatform=html5"
            "&gamePlatform=steam");
  EXPECT_EQ(CNimoApi::BuildCommonParams(), CNimoApi::BuildCommonParams());  // byte-identical
}

TEST_F(SigningWithCore, ValuesAreInsertedUnescapedAndEmptyLeavesNothing) {
  Init("", "k", "a&b=c d/é");
  EXPECT_EQ(CNimoApi::BuildCommonParams(),
            "appId=&os=Windows&sdkVer=SteamEXE_2.0.0&sdkType=html5&clientId=a&b=c d/é&runPlatform=html5"
            "&gamePlatform=steam");
}

TEST_F(SigningWithCore, SnapshotIsACopyOfTheNineParameters) {
  Init("app1", "key1", "cid-1");
  const CoreParams p = CNimoApi::Snapshot();
  EXPECT_EQ(p.appId, "app1");
  EXPECT_EQ(p.appKey, "key1");
  EXPECT_EQ(p.os, "Windows");
  EXPECT_EQ(p.sdkVer, "SteamEXE_2.0.0");
  EXPECT_EQ(p.sdkType, "html5");
  EXPECT_EQ(p.clientId, "cid-1");
  EXPECT_EQ(p.runPlatform, "html5");
  EXPECT_EQ(p.gamePlatform, "steam");
  EXPECT_EQ(p.steamAppId, "0");  // Steam not running in this test

  Init("app2", "key2", "cid-1");
  EXPECT_EQ(p.appId, "app1");  // later changes do not reach a taken snapshot
  EXPECT_EQ(CNimoApi::Snapshot().appId, "app2");
}

// Sign texts join the listed values without keys or separators; the digests
// were worked out with `printf %s <text> | openssl md5`.
TEST_F(SigningWithCore, SignatureOfEachShape) {
  Init("app1", "key1", "cid-1");
  const CoreParams p = CNimoApi::Snapshot();

  // appKey right after appId (client configuration).
  EXPECT_EQ(CNimoApi::Md5Hex(p.appId + p.appKey + p.clientId + p.os + p.sdkVer + p.sdkType + p.runPlatform),
            "e8c31d33e6dc0c3ae6e835cb7a61ecd6");
  // appKey last, a JSON value and constants inside (products).
  const std::string merchant = R"({"merId":"480"})";
  EXPECT_EQ(CNimoApi::Md5Hex(p.sdkVer + p.sdkType + p.clientId + p.appId + p.os + p.runPlatform + p.gamePlatform +
                             merchant + "1" + "999" + p.appKey),
            "9b4cc97f24a99a957f60e05caa8951a6");
  // An empty entry (urlParams) adds nothing between its neighbours (attribution).
  EXPECT_EQ(CNimoApi::Md5Hex(p.appId + p.appKey + p.sdkVer + p.sdkType + p.os + "_unknown" + p.clientId +
                             p.runPlatform + p.gamePlatform + "" + "_unknown" + "_unknown" + "_unknown" + "-1" +
                             "_unknown" + "_unknown" + "_unknown"),
            "4ef4ebc2fe433856eef5f306227ae9b4");
  // An empty appId: the signature is still 32 digits, of the rest alone.
  Init("", "key1", "cid-1");
  const CoreParams q = CNimoApi::Snapshot();
  EXPECT_EQ(CNimoApi::Md5Hex(q.appId + q.appKey + q.clientId + q.os + q.sdkVer + q.sdkType + q.runPlatform),
            "5814f47366d90251a52beab97d075625");
  // "&" and "=" are hashed as they are.
  EXPECT_EQ(CNimoApi::Md5Hex("a&b=c" + std::string("k e y")), "06a68bd6203f592fba85f6f46d21e244");
}

}  // namespace
