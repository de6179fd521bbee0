// The product catalogue through QueryProducts: loaded once, Steam channels only,
// failures reported and retried, unreadable answers never leaving the game waiting.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "Sdk/CNimoPay.h"
#include "Sdk/Singletons.h"
#include "nimosdk64.h"
#include "support/SdkHarness.h"

using nimo_sandbox::Endpoint;
using nimo_sandbox::FaultMode;
using nimo_test::Call;
using nimo_test::CallbackRecorder;
using nimo_test::Eventually;
using NimoSdk::Pay;
using json = nlohmann::json;

namespace {

template <class Base>
class Querying : public Base {
 protected:
  Call Query() {
    NimoProxy::QueryProducts(CallbackRecorder::Callback);
    return this->Next();
  }
};
class Catalogue : public Querying<nimo_test::SdkTest> {};
class CatalogueAnswers : public Querying<nimo_test::ScriptedTest> {};

}  // namespace

TEST_F(Catalogue, LoadedOnceThenAnsweredFromTheCacheAlsoAfterExit) {
  ASSERT_EQ(InitAndWait().code, 200);
  ASSERT_TRUE(Eventually([] { return Pay().IsProductsLoaded(); }));
  for (int i = 0; i < 3; ++i) {
    NimoProxy::QueryProducts(CallbackRecorder::Callback);
    ASSERT_EQ(rec().Count(), seen_ + 1) << "cached answers come at once";
    EXPECT_EQ(ExpectNext(200, "Success").thread, std::this_thread::get_id());
  }
  NimoProxy::Exit();
  NimoProxy::QueryProducts(CallbackRecorder::Callback);
  ASSERT_EQ(rec().Count(), seen_ + 1);
  EXPECT_EQ(Next().code, 200);
  EXPECT_EQ(Server().RequestCount(Endpoint::Products), 1);
}

TEST_F(Catalogue, OnlySteamChannelsWithTheGamesFields) {
  ASSERT_EQ(InitAndWait().code, 200);
  auto call = Query();
  ASSERT_EQ(call.code, 200);
  json j = json::parse(call.data);
  // gem_* and vip_month have a "STEAM" channel; starter_pack only WEB; lucky_box "steam".
  std::set<std::string> ids;
  for (const auto& p : j["productList"]) {
    ids.insert(p["productId"].get<std::string>());
    EXPECT_EQ(p.size(), 4u) << p.dump();  // currency code and channel id stay inside
  }
  EXPECT_EQ(ids, (std::set<std::string>{"gem_60", "gem_300", "gem_980", "vip_month"}));
  EXPECT_EQ(call.data, j.dump());  // compact, keys sorted, UTF-8 kept
}

TEST_F(Catalogue, FailuresReachTheGameAndTheNextQueryRetries) {
  Fail(Endpoint::Products, FaultMode::Code, 2, 1001, "catalogue busy");  // the preload and one query
  ASSERT_EQ(InitAndWait().code, 200);
  ASSERT_TRUE(Eventually([&] { return Server().RequestCount(Endpoint::Products) == 1; }));
  NimoProxy::QueryProducts(CallbackRecorder::Callback);
  EXPECT_NE(ExpectNext(1001, "catalogue busy").data.find("1001"), std::string::npos);  // the whole answer body
  EXPECT_FALSE(Pay().IsProductsLoaded());
  EXPECT_EQ(Query().code, 200);
  EXPECT_EQ(Server().RequestCount(Endpoint::Products), 3);
}

// --- answers written by hand ---

TEST_F(CatalogueAnswers, DuplicatesKeepTheLaterAndSeveralSteamChannelsTheLast) {
  Answer("/v10/pay/products.do", R"({"code":200,"productList":[
    {"productId":"a","productName":"first","gameCurrencyAmount":1,"payChannel":[{"name":"STEAM","channelProductId":"c1"}]},
    {"productId":"a","productName":"second","gameCurrencyAmount":2.9,"payChannel":[{"name":"STEAM","channelProductId":"c2"}]},
    {"productId":"b","productName":"two","gameCurrencyAmount":true,
     "payChannel":[{"name":"STEAM","channelProductId":"x"},{"channelProductId":"noname"},{"name":"STEAM","channelProductId":"y"}]},
    null,
    {"productId":"c","payChannel":null}
  ]})");
  auto call = Query();
  ASSERT_EQ(call.code, 200);
  json j = json::parse(call.data);
  ASSERT_EQ(j["productList"].size(), 2u);
  for (const auto& p : j["productList"]) {
    if (p["productId"] == "a") {
      EXPECT_EQ(p["productName"], "second");
      EXPECT_EQ(p["gameCurrencyAmount"], 2);  // fraction cut off
      EXPECT_EQ(p["productDesc"], "");
    } else {
      EXPECT_EQ(p["productId"], "b");
      EXPECT_EQ(p["gameCurrencyAmount"], 1);  // a boolean counts as 0 or 1
    }
  }
}

TEST_F(CatalogueAnswers, UnreadableAnswersGiveOneParseErrorAndLeaveTheCacheAlone) {
  const char* bodies[] = {
      R"({"code":200,"productList":{"a":1}})",                                          // not a list
      R"({"code":200,"productList":[{"productId":5,"payChannel":[{"name":"STEAM"}]}]})",  // wrong type
      R"({"code":200,"productList":[[1,2]]})",                                            // element not an object
      R"({"code":200,"productList":[{"productId":"p","payChannel":[7]}]})",               // channel not an object
      R"({"code":200,"productList":[{"productId":"p","gameCurrencyAmount":"9","payChannel":[{"name":"STEAM"}]}]})",
  };
  for (const char* body : bodies) {
    SCOPED_TRACE(body);
    Answer("/v10/pay/products.do", body);
    NimoProxy::QueryProducts(CallbackRecorder::Callback);
    EXPECT_EQ(ExpectNext(-501, "Server JSON Parse Error.").data, "");
    EXPECT_FALSE(Pay().IsProductsLoaded());
    EXPECT_EQ(Pay().ProductCount(), 0u);
  }
  Answer("/v10/pay/products.do", R"({"code":200})");  // no list at all: an empty catalogue
  EXPECT_EQ(Query().data, R"({"code":200,"msg":"Success"})");
  EXPECT_TRUE(Pay().IsProductsLoaded());
  Query();
  EXPECT_EQ(Count("/v10/pay/products.do"), std::size(bodies) + 1);  // loaded, so asked no more
}
