#include <easylogging++.h>
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "Sdk/CNimoCore.h"
#include "support/temp_data_home.h"

namespace {

// Unique per run: nimolog.log outlives the process.
std::string Unique(const char* tag) {
  return tag + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
}

// The lines of out that hold token, each matching pattern; their number.
int MatchingLines(const std::string& out, const std::string& token, const std::regex& pattern) {
  std::istringstream lines(out);
  int n = 0;
  for (std::string l; std::getline(lines, l);) {
    if (l.find(token) == std::string::npos) continue;
    EXPECT_TRUE(std::regex_match(l, pattern)) << l;
    ++n;
  }
  return n;
}

TEST(LogSetup, DisabledReachesNeitherThenEnabledReachesFileAndStdoutWithTheFormat) {
  NimoSdk::CNimoCore::InitLog(false);
  std::string token = Unique("log");
  testing::internal::CaptureStdout();
  LOG(INFO) << "quiet " << token;
  LOG(ERROR) << "quiet " << token;
  NimoSdk::CNimoCore::InitLog(true);
  LOG(INFO) << "hello " << token;
  LOG(WARNING) << "warn " << token;
  LOG(ERROR) << "中文 " << token;
  std::string out = testing::internal::GetCapturedStdout();
  const std::regex format(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} \[(INFO|WARNING|ERROR)\]: .*)");
  EXPECT_EQ(MatchingLines(out, token, format), 3);
  EXPECT_NE(out.find("[ERROR]: 中文 " + token), std::string::npos);
  el::Loggers::getLogger("default")->flush();
  std::string file = nimo_test::ReadText("nimolog.log");
  EXPECT_NE(file.find("[INFO]: hello " + token), std::string::npos);
  EXPECT_NE(file.find("[WARNING]: warn " + token), std::string::npos);
  EXPECT_EQ(file.find("quiet " + token), std::string::npos);
}

TEST(LogConcurrency, RecordsFromManyThreadsNeverShareALine) {
  NimoSdk::CNimoCore::InitLog(true);
  std::string token = Unique("mt");
  testing::internal::CaptureStdout();
  std::vector<std::thread> threads;
  for (int t = 0; t < 9; ++t) {
    threads.emplace_back([t, &token] {
      for (int i = 0; i < 50; ++i) LOG(INFO) << token << " t" << t << " i" << i << " end";
    });
  }
  for (auto& th : threads) th.join();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(MatchingLines(out, token, std::regex(R"(.* \[INFO\]: \S+ t\d i\d+ end)")), 9 * 50);
}

}  // namespace
