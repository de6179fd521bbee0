// Event names, custom-event prefixes and the required-parameter checks, seen
// through their log lines.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "Sdk/CNimoCore.h"
#include "Sdk/CNimoTrack.h"
#include "Sdk/Singletons.h"
#include "support/LogCapture.h"

using NimoSdk::CNimoTrack;
using Lines = std::vector<std::string>;

namespace {

class TrackCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    NimoSdk::CNimoCore::InitLog(true);
    track_.InitEventTable();
  }
  std::vector<nimotest::LogLine> Run(const std::string& name, const std::string& params) {
    log_.Clear();
    track_.CheckEventAndParams(name, params);
    return log_.Lines();
  }
  Lines Errors(const std::string& name, const std::string& params) {
    Run(name, params);
    return log_.Errors();
  }

  CNimoTrack track_{NimoSdk::Facts(), {}};  // sends nothing
  nimotest::LogCapture log_;
};

const std::string kIncorrect = "Check Event Error, Param Value Incorrect, Name:";
const std::string kMissing = "Check Event Error, Not Contain Musted Param, Name:";
const std::string kNotJson = "Event Check Param Error, Params Not Json:";

}  // namespace

TEST_F(TrackCheck, RequiredParametersOfEachBuiltInEvent) {
  struct Case {
    const char* name;
    std::string params;
    Lines errors;
  };
  const std::vector<Case> cases = {
      {"zko_user_import", R"({"isFirstEnter":0,"other":"x"})", {}},
      {"zko_user_import", R"({"isFirstEnter":2})", {kIncorrect + "isFirstEnter, Value:2"}},
      {"zko_user_import", R"({"isFirstEnter":"1"})", {kIncorrect + "isFirstEnter, Value:\"1\""}},
      {"zko_user_import", R"({"isFirstEnter":1.0})", {kIncorrect + "isFirstEnter, Value:1.0"}},
      {"zko_user_import", R"({"isFirstEnter":true})", {kIncorrect + "isFirstEnter, Value:true"}},
      // Low 32 bits of 1 are still not a flag.
      {"zko_user_import", R"({"isFirstEnter":4294967297})", {kIncorrect + "isFirstEnter, Value:4294967297"}},
      {"zko_user_import", R"({"isfirstenter":1})", {kMissing + "isFirstEnter"}},
      {"zko_user_import", "[1,2]", {kMissing + "isFirstEnter"}},
      {"zko_user_import", "{isFirstEnter:1}", {kNotJson + "{isFirstEnter:1}"}},
      {"zko_user_info_update", "", {kNotJson}},
      {"zko_user_create", R"({"nickname":"名字","registerTime":1700000000000})", {}},
      {"zko_user_create", R"({"nickname":"","registerTime":1700000000})",
       {kIncorrect + "nickname, Value:\"\"", kIncorrect + "registerTime, Value:1700000000"}},
      // Thirteen characters as printed, whatever the type.
      {"zko_user_create", R"({"nickname":"a","registerTime":1700000000000.0})",
       {kIncorrect + "registerTime, Value:1700000000000.0"}},
      {"zko_user_create", R"({"nickname":"a","registerTime":"1700000000000"})",
       {kIncorrect + "registerTime, Value:\"1700000000000\""}},
      {"zko_user_create", R"({"nickname":"a","registerTime":123456789.012})", {}},
      {"zko_user_create", R"({"nickname":5,"registerTime":1700000000000})", {kIncorrect + "nickname, Value:5"}},
      {"zko_user_create", "{}", {kMissing + "nickname", kMissing + "registerTime"}},
      {"zko_user_info_update", R"({"nickname":null})", {kIncorrect + "nickname, Value:null"}},
      {"zko_user_info_update", R"({"nick":"x"})", {kMissing + "nickname"}},
      {"zko_user_info_update", std::string("{\"nickname\":\"\xff\"}"), {kNotJson + "{\"nickname\":\"\xff\"}"}},
  };
  for (const Case& c : cases) EXPECT_EQ(Errors(c.name, c.params), c.errors) << c.name << " " << c.params;

  std::string deep = std::string(100000, '[') + std::string(100000, ']');
  EXPECT_EQ(Errors("zko_user_create", deep), Lines{kNotJson + deep});
}

TEST_F(TrackCheck, TheStartLineComesFirstAndOtherEventsLogNothing) {
  auto lines = Run("zko_user_import", R"({"isFirstEnter":1})");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, el::Level::Info);
  EXPECT_EQ(lines[0].text, R"(Star Check Event Name:zko_user_import,Params:{"isFirstEnter":1})");
  lines = Run("zko_user_import", "{x");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].text, "Star Check Event Name:zko_user_import,Params:{x");

  for (const char* name : {"zko_level_achieved", "zko_startup", "zko_login", "my_event", "zko_self_x", "", "ZKO_USER_CREATE"}) {
    EXPECT_TRUE(Run(name, "").empty()) << name;
    EXPECT_TRUE(Run(name, "not json").empty()) << name;
  }
  CNimoTrack before(NimoSdk::Facts(), {});  // no table yet: nothing is required
  log_.Clear();
  before.CheckEventAndParams("zko_user_create", "{}");
  EXPECT_TRUE(log_.Lines().empty());
}

TEST(TrackNames, BuiltinsStayCustomNamesGetThePrefixOnce) {
  CNimoTrack track(NimoSdk::Facts(), {});  // sends nothing
  EXPECT_EQ(track.ResolveEventName("zko_startup"), "zko_self_zko_startup");  // before the table
  track.InitEventTable();
  for (const char* name : {"zko_startup", "zko_login", "zko_user_import", "zko_user_create", "zko_user_info_update",
                           "zko_level_achieved", "zko_self_level_up"})
    EXPECT_EQ(track.ResolveEventName(name), name);
  for (const char* name : {"level_up", "zko_self_", "zko_self", "", "zko_startup "})
    EXPECT_EQ(track.ResolveEventName(name), std::string("zko_self_") + name);
}

TEST(TrackNames, MatchTakesLettersDigitsAndUnderscoreOnly) {
  for (const std::string ok : {"a", "z", "A", "Z", "0", "9", "_", "aZ09_x"})
    EXPECT_TRUE(CNimoTrack::MatchName(ok)) << ok;
  // The neighbours of each range, bytes above ASCII, control bytes and nothing at all.
  for (const std::string bad : {"", "@", "[", "`", "{", "/", ":", "a b", "a-b", "a\n", "\xc3\xa9", "\x80", "\xff"})
    EXPECT_FALSE(CNimoTrack::MatchName(bad)) << bad;
  EXPECT_FALSE(CNimoTrack::MatchName(std::string("a\0b", 3)));
  EXPECT_TRUE(CNimoTrack::MatchName(std::string(1000000, 'a')));  // long names do not exhaust the stack
}

TEST(TrackUserId, DecimalPrefixOrMinusOne) {
  const std::vector<std::pair<const char*, long long>> cases = {
      {"-1", -1}, {"  \t\n42abc", 42}, {"+7", 7}, {"007", 7}, {"12 34", 12},
      {"9223372036854775807", INT64_MAX}, {"-9223372036854775808", INT64_MIN},
      {"", -1}, {"abc", -1}, {"-", -1}, {"+-5", -1}, {"x12", -1},
      {"9223372036854775808", -1}, {"-9223372036854775809", -1}, {"99999999999999999999999", -1}};
  for (const auto& [text, id] : cases) EXPECT_EQ(CNimoTrack::ParseUserId(text), id) << text;
}
