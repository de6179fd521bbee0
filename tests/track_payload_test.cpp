// The event record as built for the wire: members, types, context merge,
// sequence numbers, hostile input.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "Sdk/CNimoCore.h"
#include "Sdk/CNimoTrack.h"
#include "Sdk/EventQueue.h"
#include "Sdk/EventSender.h"
#include "Sdk/NimoConfigUtils.h"
#include "Sdk/Singletons.h"
#include "support/LogCapture.h"
#include "support/temp_data_home.h"

using NimoSdk::CNimoTrack;
using NimoSdk::Core;
using NimoSdk::NimoConfigUtils;
using NimoSdk::Track;
using json = nlohmann::json;

namespace {

const double kNoValue = std::numeric_limits<double>::quiet_NaN();

std::string AppConfText() { return nimo_test::ReadText(NimoConfigUtils::GetAppConfigPath()); }

void SetStoredOrder(const json& order) {
  json conf = NimoConfigUtils::DefaultAppConfig();
  conf["EventOrder"] = order;
  NimoConfigUtils::WriteCofnigJson(conf, false);
}

// The SDK as the game sees it after Init: core parameters, tracker facts, a
// known time zone and no display. The same in a child process of the test.
class Payload : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "CST-8", 1);
    unsetenv("DISPLAY");
    NimoSdk::CNimoCore::InitLog(true);
    Core().InitGlobalParams("app-77", "key-77");
    Track().Init();
  }

  // Numbered as the tracker numbers a batch of one.
  static std::string Numbered(const std::string& draft) {
    return NimoSdk::EventQueue::WithOrder(draft, NimoSdk::EventSender::ReserveNumbers(1, 0));
  }

  json Build(const std::string& name, const std::string& params, double value = kNoValue) {
    std::string text = Numbered(Track().Draft(name, params, value));
    json j = json::parse(text, nullptr, false);
    EXPECT_TRUE(j.is_object()) << text;
    return j;
  }

  nimotest::LogCapture log_;
  nimo_test::TempDataHome home_;
};

}  // namespace

TEST_F(Payload, ValueAndLevelOnlyWhereTheyBelong) {
  Core().SetLevel(-5);
  json j = Build("zko_level_achieved", R"({"stage":3})", 2.5);
  ASSERT_TRUE(j["value"].is_number_float());
  EXPECT_EQ(j["value"].get<double>(), 2.5);
  EXPECT_EQ(j["context"].size(), 5u);  // level and stage beside our three
  EXPECT_TRUE(j["context"]["level"].is_number_integer());
  EXPECT_EQ(Build("zko_user_create", "{}")["context"]["level"], -5);
  for (const char* name : {"zko_user_import", "zko_self_zko_level_achieved", "level_up"})
    EXPECT_FALSE(Build(name, "{}")["context"].contains("level")) << name;
  EXPECT_FALSE(Build("e", "", kNoValue).contains("value"));
  EXPECT_FALSE(Build("e", "", -kNoValue).contains("value"));
  EXPECT_TRUE(Build("e", "", 0.0)["value"].is_number_float());
}

TEST_F(Payload, TheGamesMembersReplaceOursBadKeysAreLoggedAndKept) {
  json j = Build("my event", R"({"os":"MyOS","tz":{"nested":[1,2]},"b-key":1,"":4})");
  EXPECT_EQ(j["event"], "zko_self_my event");
  EXPECT_EQ(j["context"]["os"], "MyOS");
  EXPECT_EQ(j["context"]["tz"], json::parse(R"({"nested":[1,2]})"));
  EXPECT_EQ(j["context"]["b-key"], 1);
  EXPECT_EQ(j["context"][""], 4);
  EXPECT_EQ(j["context"]["resolution"], "0x0");
  EXPECT_EQ(log_.Errors(), (std::vector<std::string>{"Post Event Name Error:my event", "Post Event Param Error:",
                                                      "Post Event Param Error:b-key"}));
}

TEST_F(Payload, TextThatIsNoObjectAddsNothing) {
  const json plain = Build("e", "")["context"];
  for (const std::string params : {"{bad", "[1,2]", "5", "{} x", "null", " {} "}) {
    log_.Clear();
    EXPECT_EQ(Build("e", params)["context"], plain) << params;
    const bool quiet = params == "null" || params == " {} ";
    EXPECT_EQ(log_.Errors(), quiet ? std::vector<std::string>{}
                                   : std::vector<std::string>{"Post Event Param Error, Not Valid JSON:" + params});
  }
}

TEST_F(Payload, RequiredParameterFindingsComeLastAndNeverBlock) {
  json j = Build("zko_user_create", R"({"nickname":"","registerTime":1700000000000,"x-y":1})");
  EXPECT_EQ(j["event"], "zko_user_create");
  EXPECT_EQ(j["context"]["nickname"], "");
  EXPECT_EQ(log_.Errors(), (std::vector<std::string>{"Post Event Param Error:x-y",
                                                      "Check Event Error, Param Value Incorrect, Name:nickname, Value:\"\""}));
  auto start = log_.StartingWith("Star Check Event Name:");
  EXPECT_EQ(start, std::vector<std::string>{
                       R"(Star Check Event Name:zko_user_create,Params:{"nickname":"","registerTime":1700000000000,"x-y":1})"});
}

TEST_F(Payload, NumbersContinueFromTheStoredCounter) {
  SetStoredOrder(4);
  EXPECT_EQ(Build("e", "")["eventOrder"], "n5");
  EXPECT_EQ(Build("bad name", "{")["eventOrder"], "n6");  // failing validation still takes one
  EXPECT_EQ(AppConfText(), R"({"AttributionFlag":0,"EventOrder":6})");
  SetStoredOrder(3000000000LL);  // beyond 32 bits: no wrap
  EXPECT_EQ(Build("e", "")["eventOrder"], "n3000000001");
  SetStoredOrder(std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(Build("e", "")["eventOrder"], "n1");
  for (const json& bad : {json("7"), json(3.5), json::array({1})}) {
    json conf = json::parse(R"({"AttributionFlag":1,"Extra":"kept"})");
    conf["EventOrder"] = bad;
    NimoConfigUtils::WriteCofnigJson(conf, false);
    EXPECT_EQ(Build("e", "")["eventOrder"], "n1") << bad.dump();
    EXPECT_EQ(AppConfText(), R"({"AttributionFlag":1,"EventOrder":1,"Extra":"kept"})");
  }
}

TEST_F(Payload, HostileInputNeverThrowsAndAlwaysGivesJson) {
  NimoSdk::CNimoCore::InitLog(false);  // megabytes of log lines help nobody here
  std::mt19937 rng(20240611);
  for (int i = 0; i < 300; ++i) {
    std::string name(rng() % 64, '\0'), params(rng() % 2048, '\0');
    for (char& c : name) c = static_cast<char>(rng());
    for (char& c : params) c = static_cast<char>(rng());
    if (i % 3 == 0) params = "{\"k\":\"" + params + "\"}";
    std::string text;
    EXPECT_NO_THROW(text = Numbered(Track().Draft(name, params, (i % 2) ? kNoValue : i * 0.5)));
    EXPECT_TRUE(json::accept(text));
  }
  EXPECT_EQ(Build(std::string("lv\xff\xc3"), "")["event"], "zko_self_lv\xEF\xBF\xBD\xEF\xBF\xBD");
  std::string deepObject;
  for (int i = 0; i < 200000; ++i) deepObject += "{\"a\":";
  deepObject += "1" + std::string(200000, '}');
  EXPECT_NO_THROW(Track().PostEvent("zko_user_info_update", deepObject, kNoValue));
}

TEST_F(Payload, NestingBeyondTheLimitIsTreatedAsInvalid) {
  const int limit = NimoSdk::kMaxParamDepth;
  // {"a": at depth 1, then limit-1 arrays: exactly the limit.
  std::string ok = "{\"a\":" + std::string(limit - 1, '[') + std::string(limit - 1, ']') + "}";
  EXPECT_TRUE(Build("e", ok)["context"]["a"].is_array());
  EXPECT_TRUE(log_.Errors().empty());
  std::string over = "{\"a\":" + std::string(limit, '[') + std::string(limit, ']') + "}";
  EXPECT_FALSE(Build("e", over)["context"].contains("a"));
  EXPECT_EQ(log_.Errors(), std::vector<std::string>{"Post Event Param Error, Not Valid JSON:" + over});
  // Brackets inside strings do not count.
  std::string quoted = "{\"a\":\"" + std::string(100000, '[') + "\\\"" + std::string(100000, '{') + "\"}";
  EXPECT_EQ(Build("e", quoted)["context"]["a"].get<std::string>().size(), 200001u);
}

class PayloadConcurrency : public Payload {};

TEST_F(PayloadConcurrency, FactsChangeWhilePosting) {
  NimoSdk::CNimoCore::InitLog(false);
  std::atomic<bool> stop{false};
  std::thread setter([&] {
    for (int i = 0; i < 300 && !stop; ++i) {
      Core().SetServerId("s" + std::to_string(i));
      Core().SetLevel(i);
      NimoSdk::Facts().SetSession("t", std::to_string(i));
      Track().SyncUserId();
    }
  });
  for (int i = 0; i < 100; ++i) {
    json j = Build("zko_level_achieved", "");
    EXPECT_TRUE(j["serverId"].is_string());
    EXPECT_TRUE(j["context"]["level"].is_number_integer());
  }
  stop = true;
  setter.join();
  Track().Init();  // a second Init while nothing else runs is harmless
}
