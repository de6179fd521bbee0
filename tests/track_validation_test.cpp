// Event names, custom-event prefixes and the required-parameter checks, seen
// through their log lines.
#include <gtest/gtest.h>

#include <random>
// GCC 12 reports false maybe-uninitialized warnings inside <regex> when built
// with the sanitizers; the expression is only the reference here.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#include <string>
#include <vector>

#include "Sdk/CNimoCore.h"
#include "Sdk/CNimoTrack.h"
#include "support/LogCapture.h"

using NimoSdk::CNimoTrack;
using Lines = std::vector<std::string>;

namespace {

class Check : public ::testing::Test {
 protected:
  void SetUp() override {
    NimoSdk::CNimoCore::InitLog(true);
    track_.InitEventTable();
  }
  // The lines one check logs.
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

}  // namespace

// ---------------------------------------------------------------- zko_user_import

using TrackCheckUserImport = Check;

TEST_F(TrackCheckUserImport, ZeroAndOneLogOnlyTheStartLine) {
  auto lines = Run("zko_user_import", R"({"isFirstEnter":1})");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, el::Level::Info);
  EXPECT_EQ(lines[0].text, R"(Star Check Event Name:zko_user_import,Params:{"isFirstEnter":1})");
  EXPECT_EQ(Errors("zko_user_import", R"({"isFirstEnter":0,"other":"x"})"), Lines{});
}

TEST_F(TrackCheckUserImport, OtherNumbersAndTypesAreIncorrectWithTheirJsonText) {
  EXPECT_EQ(Errors("zko_user_import", R"({"isFirstEnter":2})"), Lines{kIncorrect + "isFirstEnter, Value:2"});
  EXPECT_EQ(Errors("zko_user_import", R"({"isFirstEnter":-1})"), Lines{kIncorrect + "isFirstEnter, Value:-1"});
  EXPECT_EQ(Errors("zko_user_import", R"({"isFirstEnter":"1"})"), Lines{kIncorrect + "isFirstEnter, Value:\"1\""});
  EXPECT_EQ(Errors("zko_user_import", R"({"isFirstEnter":1.0})"), Lines{kIncorrect + "isFirstEnter, Value:1.0"});
  EXPECT_EQ(Errors("zko_user_import", R"({"isFirstEnter":true})"), Lines{kIncorrect + "isFirstEnter, Value:true"});
  // Numbers whose low 32 bits are 0 or 1 are still not a flag.
  EXPECT_EQ(Errors("zko_user_import", R"({"isFirstEnter":4294967296})"),
            Lines{kIncorrect + "isFirstEnter, Value:4294967296"});
  EXPECT_EQ(Errors("zko_user_import", R"({"isFirstEnter":[1]})"), Lines{kIncorrect + "isFirstEnter, Value:[1]"});
}

TEST_F(TrackCheckUserImport, MissingMemberAndNonObjectsAreReportedAsMissing) {
  EXPECT_EQ(Errors("zko_user_import", R"({"isfirstenter":1})"), Lines{kMissing + "isFirstEnter"});
  EXPECT_EQ(Errors("zko_user_import", "[1,2]"), Lines{kMissing + "isFirstEnter"});
  EXPECT_EQ(Errors("zko_user_import", "null"), Lines{kMissing + "isFirstEnter"});
  EXPECT_EQ(Errors("zko_user_import", "7"), Lines{kMissing + "isFirstEnter"});
}

TEST_F(TrackCheckUserImport, TextThatIsNotJsonStopsTheCheck) {
  auto lines = Run("zko_user_import", "{isFirstEnter:1}");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].text, "Star Check Event Name:zko_user_import,Params:{isFirstEnter:1}");
  EXPECT_EQ(lines[1].level, el::Level::Error);
  EXPECT_EQ(lines[1].text, "Event Check Param Error, Params Not Json:{isFirstEnter:1}");
}

// ---------------------------------------------------------------- zko_user_create

using TrackCheckUserCreate = Check;

TEST_F(TrackCheckUserCreate, EmptyNicknameIsIncorrectThirteenDigitTimeIsFine) {
  EXPECT_EQ(Errors("zko_user_create", R"({"nickname":"","registerTime":1700000000000})"),
            Lines{kIncorrect + "nickname, Value:\"\""});
  EXPECT_EQ(Errors("zko_user_create", R"({"nickname":"Hero","registerTime":1700000000000})"), Lines{});
}

TEST_F(TrackCheckUserCreate, RegisterTimeMustPrintAsThirteenCharacters) {
  EXPECT_EQ(Errors("zko_user_create", R"({"nickname":"","registerTime":1700000000})"),
            (Lines{kIncorrect + "nickname, Value:\"\"", kIncorrect + "registerTime, Value:1700000000"}));
  // Fifteen characters once printed as a float.
  EXPECT_EQ(Errors("zko_user_create", R"({"nickname":"a","registerTime":1700000000000.0})"),
            Lines{kIncorrect + "registerTime, Value:1700000000000.0"});
  EXPECT_EQ(Errors("zko_user_create", R"({"nickname":"a","registerTime":"1700000000000"})"),
            Lines{kIncorrect + "registerTime, Value:\"1700000000000\""});
  // Thirteen printed characters, even as a float, pass the rule.
  EXPECT_EQ(Errors("zko_user_create", R"({"nickname":"a","registerTime":123456789.012})"), Lines{});
}

TEST_F(TrackCheckUserCreate, NicknameMustBeAString) {
  EXPECT_EQ(Errors("zko_user_create", R"({"nickname":5,"registerTime":1700000000000})"),
            Lines{kIncorrect + "nickname, Value:5"});
  EXPECT_EQ(Errors("zko_user_create", R"({"nickname":"名字","registerTime":1700000000000})"), Lines{});
}

TEST_F(TrackCheckUserCreate, EmptyObjectMissesBothInKeyOrder) {
  EXPECT_EQ(Errors("zko_user_create", "{}"), (Lines{kMissing + "nickname", kMissing + "registerTime"}));
  EXPECT_EQ(Errors("zko_user_create", R"({"registerTime":1700000000000})"), Lines{kMissing + "nickname"});
}

// ---------------------------------------------------------------- zko_user_info_update

using TrackCheckUserInfoUpdate = Check;

TEST_F(TrackCheckUserInfoUpdate, EmptyTextIsNotJsonWithNothingAfterTheColon) {
  auto lines = Run("zko_user_info_update", "");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].text, "Star Check Event Name:zko_user_info_update,Params:");
  EXPECT_EQ(lines[1].text, "Event Check Param Error, Params Not Json:");
}

TEST_F(TrackCheckUserInfoUpdate, NicknameRule) {
  EXPECT_EQ(Errors("zko_user_info_update", R"({"nickname":"x"})"), Lines{});
  EXPECT_EQ(Errors("zko_user_info_update", R"({"nickname":null})"), Lines{kIncorrect + "nickname, Value:null"});
  EXPECT_EQ(Errors("zko_user_info_update", R"({"nick":"x"})"), Lines{kMissing + "nickname"});
}

// ---------------------------------------------------------------- events without required parameters

using TrackCheckOthers = Check;

TEST_F(TrackCheckOthers, LogNothing) {
  for (const char* name : {"zko_level_achieved", "zko_startup", "zko_login", "my_event", "zko_self_x", "", "ZKO_USER_CREATE"}) {
    EXPECT_TRUE(Run(name, "").empty()) << name;
    EXPECT_TRUE(Run(name, "not json").empty()) << name;
  }
}

TEST(TrackCheckBeforeTable, NothingIsRequiredYet) {
  NimoSdk::CNimoCore::InitLog(true);
  nimotest::LogCapture log;
  CNimoTrack track;
  track.CheckEventAndParams("zko_user_create", "{}");
  EXPECT_TRUE(log.Lines().empty());
}

TEST_F(Check, HostileParameterTextNeverThrows) {
  std::string deep(100000, '[');
  deep += std::string(100000, ']');
  EXPECT_EQ(Errors("zko_user_create", deep), Lines{"Event Check Param Error, Params Not Json:" + deep});
  EXPECT_EQ(Errors("zko_user_info_update", std::string("{\"nickname\":\"\xff\"}")),
            Lines{std::string("Event Check Param Error, Params Not Json:{\"nickname\":\"\xff\"}")});
}

// ---------------------------------------------------------------- names

TEST(TrackResolveName, BuiltinsStayCustomNamesGetThePrefixOnce) {
  CNimoTrack track;
  track.InitEventTable();
  for (const char* name : {"zko_startup", "zko_login", "zko_user_import", "zko_user_create", "zko_user_info_update",
                           "zko_level_achieved"})
    EXPECT_EQ(track.ResolveEventName(name), name);
  EXPECT_EQ(track.ResolveEventName("level_up"), "zko_self_level_up");
  EXPECT_EQ(track.ResolveEventName("zko_self_level_up"), "zko_self_level_up");
  EXPECT_EQ(track.ResolveEventName("zko_self_"), "zko_self_zko_self_");
  EXPECT_EQ(track.ResolveEventName("zko_self"), "zko_self_zko_self");
  EXPECT_EQ(track.ResolveEventName("a-b"), "zko_self_a-b");
  EXPECT_EQ(track.ResolveEventName(""), "zko_self_");
  EXPECT_EQ(track.ResolveEventName("zko_startup "), "zko_self_zko_startup ");
}

TEST(TrackResolveName, BeforeTheTableEveryNameIsCustom) {
  CNimoTrack track;
  EXPECT_EQ(track.ResolveEventName("zko_startup"), "zko_self_zko_startup");
  EXPECT_EQ(track.ResolveEventName("zko_self_x"), "zko_self_x");
}

TEST(TrackMatchName, Examples) {
  EXPECT_TRUE(CNimoTrack::MatchName("level_up"));
  EXPECT_TRUE(CNimoTrack::MatchName("A_9"));
  EXPECT_TRUE(CNimoTrack::MatchName("_"));
  EXPECT_FALSE(CNimoTrack::MatchName(""));
  EXPECT_FALSE(CNimoTrack::MatchName("level up"));
  EXPECT_FALSE(CNimoTrack::MatchName("a-b"));
  EXPECT_FALSE(CNimoTrack::MatchName("abc\n"));
  EXPECT_FALSE(CNimoTrack::MatchName(std::string("ab\0c", 4)));
  EXPECT_FALSE(CNimoTrack::MatchName("é"));
  EXPECT_TRUE(CNimoTrack::MatchName(std::string(1000000, 'a')));  // long names do not exhaust the stack
}

TEST(TrackMatchName, AgreesWithTheRegularExpression) {
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

// ---------------------------------------------------------------- user id

TEST(TrackUserId, DecimalPrefixWithLeadingSpace) {
  EXPECT_EQ(CNimoTrack::ParseUserId("-1"), -1);
  EXPECT_EQ(CNimoTrack::ParseUserId("12345"), 12345);
  EXPECT_EQ(CNimoTrack::ParseUserId("  \t\n42abc"), 42);
  EXPECT_EQ(CNimoTrack::ParseUserId("+7"), 7);
  EXPECT_EQ(CNimoTrack::ParseUserId("007"), 7);
  EXPECT_EQ(CNimoTrack::ParseUserId("9223372036854775807"), 9223372036854775807LL);
  EXPECT_EQ(CNimoTrack::ParseUserId("-9223372036854775808"), INT64_MIN);
  EXPECT_EQ(CNimoTrack::ParseUserId("12 34"), 12);
}

TEST(TrackUserId, NoNumberOrOutOfRangeIsMinusOne) {
  EXPECT_EQ(CNimoTrack::ParseUserId(""), -1);
  EXPECT_EQ(CNimoTrack::ParseUserId("abc"), -1);
  EXPECT_EQ(CNimoTrack::ParseUserId("-"), -1);
  EXPECT_EQ(CNimoTrack::ParseUserId("+-5"), -1);
  EXPECT_EQ(CNimoTrack::ParseUserId("x12"), -1);
  EXPECT_EQ(CNimoTrack::ParseUserId("9223372036854775808"), -1);
  EXPECT_EQ(CNimoTrack::ParseUserId("-9223372036854775809"), -1);
  EXPECT_EQ(CNimoTrack::ParseUserId("99999999999999999999999"), -1);
}
