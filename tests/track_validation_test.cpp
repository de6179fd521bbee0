// Event names, custom-event prefixes, user ids and the required-parameter
// checks, seen through their log lines.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
// GCC 12 reports false maybe-uninitialized warnings inside <regex> when built
// with the sanitizers; the expression is only the reference here.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "Sdk/CNimoCore.h"
#include "Sdk/CNimoTrack.h"
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
    Lines out;
    for (const auto& l : Run(name, params))
      if (l.level == el::Level::Error) out.push_back(l.text);
    return out;
  }

  CNimoTrack track_;
  nimotest::LogCapture log_;
};

const std::string kIncorrect = "Check Event Error, Param Value Incorrect, Name:";
const std::string kMissing = "Check Event Error, Not Contain Musted Param, Name:";
const std::string kNotJson = "Event Check Param Error, Params Not Json:";

}  // namespace

TEST_F(TrackCheck, StartLineThenNotJsonStopsTheCheck) {
  auto lines = Run("zko_user_import", R"({"isFirstEnter":1})");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, el::Level::Info);
  EXPECT_EQ(lines[0].text, R"(Star Check Event Name:zko_user_import,Params:{"isFirstEnter":1})");
  lines = Run("zko_user_import", "{isFirstEnter:1}");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].text, "Star Check Event Name:zko_user_import,Params:{isFirstEnter:1}");
  EXPECT_EQ(lines[1].level, el::Level::Error);
  EXPECT_EQ(lines[1].text, kNotJson + "{isFirstEnter:1}");
}

TEST_F(TrackCheck, RequiredParameterRules) {
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  const std::string badUtf8 = "{\"nickname\":\"\xff\"}";
  struct Case {
    const char* name;
    std::string params;
    Lines errors;
  };
  const std::vector<Case> cases = {
      {"zko_user_import", R"({"isFirstEnter":0,"other":"x"})", {}},
      {"zko_user_import", R"({"isFirstEnter":2})", {kIncorrect + "isFirstEnter, Value:2"}},
      {"zko_user_import", R"({"isFirstEnter":-1})", {kIncorrect + "isFirstEnter, Value:-1"}},
      {"zko_user_import", R"({"isFirstEnter":"1"})", {kIncorrect + "isFirstEnter, Value:\"1\""}},
      {"zko_user_import", R"({"isFirstEnter":1.0})", {kIncorrect + "isFirstEnter, Value:1.0"}},
      {"zko_user_import", R"({"isFirstEnter":true})", {kIncorrect + "isFirstEnter, Value:true"}},
      // Low 32 bits of 0 are still not a flag.
      {"zko_user_import", R"({"isFirstEnter":4294967296})", {kIncorrect + "isFirstEnter, Value:4294967296"}},
      {"zko_user_import", R"({"isfirstenter":1})", {kMissing + "isFirstEnter"}},
      {"zko_user_import", "[1,2]", {kMissing + "isFirstEnter"}},
      {"zko_user_create", R"({"nickname":"名字","registerTime":1700000000000})", {}},
      {"zko_user_create", R"({"nickname":"","registerTime":1700000000})",
       {kIncorrect + "nickname, Value:\"\"", kIncorrect + "registerTime, Value:1700000000"}},
      // The time stamp rule counts printed characters, floats too.
      {"zko_user_create", R"({"nickname":"a","registerTime":1700000000000.0})",
       {kIncorrect + "registerTime, Value:1700000000000.0"}},
      {"zko_user_create", R"({"nickname":"a","registerTime":123456789.012})", {}},
      {"zko_user_create", R"({"nickname":"a","registerTime":"1700000000000"})",
       {kIncorrect + "registerTime, Value:\"1700000000000\""}},
      {"zko_user_create", R"({"nickname":5,"registerTime":1700000000000})", {kIncorrect + "nickname, Value:5"}},
      {"zko_user_create", "{}", {kMissing + "nickname", kMissing + "registerTime"}},
      {"zko_user_info_update", R"({"nickname":"x"})", {}},
      {"zko_user_info_update", R"({"nickname":null})", {kIncorrect + "nickname, Value:null"}},
      {"zko_user_info_update", R"({"nick":"x"})", {kMissing + "nickname"}},
      {"zko_user_info_update", "", {kNotJson}},
      {"zko_user_create", deep, {kNotJson + deep}},
      {"zko_user_info_update", badUtf8, {kNotJson + badUtf8}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + c.params.substr(0, 60));
    EXPECT_EQ(Errors(c.name, c.params), c.errors);
  }
}

TEST_F(TrackCheck, OtherEventsAndAnEmptyTableLogNothing) {
  for (const char* name : {"zko_level_achieved", "zko_startup", "zko_login", "my_event", "", "ZKO_USER_CREATE"}) {
    EXPECT_TRUE(Run(name, "not json").empty()) << name;
  }
  log_.Clear();
  CNimoTrack noTable;
  noTable.CheckEventAndParams("zko_user_create", "{}");
  EXPECT_TRUE(log_.Lines().empty());
}

TEST(TrackNames, ResolvedNames) {
  CNimoTrack track;
  EXPECT_EQ(track.ResolveEventName("zko_startup"), "zko_self_zko_startup");  // before the table
  track.InitEventTable();
  for (const char* name : {"zko_startup", "zko_login", "zko_user_import", "zko_user_create", "zko_user_info_update",
                           "zko_level_achieved"})
    EXPECT_EQ(track.ResolveEventName(name), name);
  const std::vector<std::pair<std::string, std::string>> custom = {
      {"level_up", "zko_self_level_up"}, {"zko_self_level_up", "zko_self_level_up"},
      {"zko_self_", "zko_self_zko_self_"}, {"zko_self", "zko_self_zko_self"},
      {"", "zko_self_"},                 {"zko_startup ", "zko_self_zko_startup "}};
  for (const auto& [name, resolved] : custom) EXPECT_EQ(track.ResolveEventName(name), resolved) << name;
}

TEST(TrackNames, MatchAgreesWithTheRegularExpression) {
  EXPECT_TRUE(CNimoTrack::MatchName(std::string(1000000, 'a')));  // long names do not exhaust the stack
  EXPECT_FALSE(CNimoTrack::MatchName(std::string("ab\0c", 4)));
  const std::regex pattern("^[a-zA-Z0-9_]+$", std::regex::ECMAScript);
  const std::string alphabet = std::string("aZz09_-$^ \n\t.\xc3\xa9\x80\xff") + std::string(1, '\0');
  std::mt19937 rng(7);
  for (int i = 0; i < 5000; ++i) {
    std::string s;
    int len = static_cast<int>(rng() % 6);
    for (int k = 0; k < len; ++k) s.push_back(alphabet[rng() % alphabet.size()]);
    EXPECT_EQ(CNimoTrack::MatchName(s), std::regex_match(s, pattern)) << '"' << s << '"';
  }
}

TEST(TrackUserId, DecimalPrefixOrMinusOne) {
  const std::vector<std::pair<std::string, std::int64_t>> cases = {
      {"12345", 12345},
      {"  \t\n42abc", 42},
      {"+7", 7},
      {"-1", -1},
      {"12 34", 12},
      {"9223372036854775807", INT64_MAX},
      {"-9223372036854775808", INT64_MIN},
      {"", -1},
      {"x12", -1},
      {"-", -1},
      {"+-5", -1},
      {"9223372036854775808", -1},
      {"-9223372036854775809", -1},
  };
  for (const auto& [text, id] : cases) EXPECT_EQ(CNimoTrack::ParseUserId(text), id) << '"' << text << '"';
}
