#include <easylogging++.h>
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "Sdk/CNimoCore.h"
#include "nimosdk64_c.h"
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

// A fresh working folder, as a game starting elsewhere has.
std::string FreshFolder() {
  char pattern[] = "/tmp/nimo-log-XXXXXX";
  const char* dir = mkdtemp(pattern);
  return dir != nullptr && chdir(dir) == 0 ? dir : "";
}

std::atomic<int> gInitCode{0};
void OnInit(int code, const char*, const char*, void*) { gInitCode = code; }

// Loading the library and an Init without a test device leave the game's folder as it was.
TEST(LogSetup, NoFileAtLoadNorAfterInitWithoutATestDevice) {
  ASSERT_FALSE(FreshFolder().empty());
  void* lib = dlopen(NIMO_SDK_LIB, RTLD_NOW | RTLD_LOCAL);  // its statics run here, in the fresh folder
  ASSERT_NE(lib, nullptr) << dlerror();
  EXPECT_EQ(nimo_test::InodeOf("nimolog.log"), 0u);
  auto init = reinterpret_cast<void (*)(const char*, const char*, nimo_callback, void*)>(dlsym(lib, "nimo_init"));
  ASSERT_NE(init, nullptr);
  init("app", "key", OnInit, nullptr);
  for (int i = 0; i < 2000 && gInitCode == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_NE(gInitCode.load(), 0);
  EXPECT_EQ(nimo_test::InodeOf("nimolog.log"), 0u);
  reinterpret_cast<void (*)()>(dlsym(lib, "nimo_exit"))();
}

TEST(LogSetup, DisabledReachesNeitherThenEnabledReachesFileAndStdoutWithTheFormat) {
  ASSERT_FALSE(FreshFolder().empty());
  NimoSdk::CNimoCore::InitLog(false);
  std::string token = Unique("log");
  testing::internal::CaptureStdout();
  LOG(INFO) << "quiet " << token;
  LOG(ERROR) << "quiet " << token;
  EXPECT_EQ(nimo_test::InodeOf("nimolog.log"), 0u);  // created with the first line, not before
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
