// The local configuration store on real files in a temporary XDG_DATA_HOME.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <set>
#include <thread>
#include <vector>

#include "Sdk/CNimoCore.h"
#include "Sdk/NimoConfigUtils.h"
#include "Sdk/NimoLog.h"
#include "Sdk/Singletons.h"
#include "platform/steam/steam_api.h"
#include "platform/steam/steam_control.h"
#include "support/LogCapture.h"
#include "support/child_process.h"
#include "support/temp_data_home.h"

namespace {

using NimoSdk::NimoConfigUtils;
using json = nlohmann::json;
using nimo_test::ReadText;
using nimo_test::WriteText;
namespace fs = std::filesystem;

std::int64_t IncrementEventOrder() {
  std::int64_t n = 0;
  NimoConfigUtils::Update(false, [&](json& doc) {
    n = NimoConfigUtils::IntOr(doc, "EventOrder", 0) + 1;
    doc["EventOrder"] = n;
  });
  return n;
}

int ModeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 0777) : -1;
}

class ConfigStore : public ::testing::Test {
 protected:
  nimo_test::TempDataHome home_;
  std::string AppConf() const { return home_.SdkFolder() + "/0/AppConf"; }
  std::string SharedConf() const { return home_.SdkFolder() + "/SharedConf"; }
  std::string GameFolder() const { return home_.SdkFolder() + "/0"; }
};

TEST_F(ConfigStore, FirstRunCreatesPrivateFoldersAndDefaultFiles) {
  ASSERT_FALSE(fs::exists(home_.DataHome()));
  EXPECT_EQ(NimoConfigUtils::GetAppConfigPath(), AppConf());
  EXPECT_EQ(NimoConfigUtils::GetSharedConfigPath(), SharedConf());
  for (const std::string& folder : {home_.SdkFolder(), GameFolder(), home_.DataHome()})  // missing parents too
    EXPECT_EQ(ModeOf(folder), 0700) << folder;
  // Reading gives the defaults and writes nothing.
  EXPECT_EQ(NimoConfigUtils::ReadConfigJson(false).dump(), R"({"AttributionFlag":0,"EventOrder":0})");
  EXPECT_EQ(NimoConfigUtils::ReadConfigJson(true).dump(), R"({"ClientId":""})");
  EXPECT_FALSE(fs::exists(AppConf()) || fs::exists(SharedConf()));

  EXPECT_EQ(IncrementEventOrder(), 1);
  EXPECT_EQ(ReadText(AppConf()), R"({"AttributionFlag":0,"EventOrder":1})");
  NimoConfigUtils::WriteCofnigJson(json{{"ClientId", "abc"}}, true);
  EXPECT_EQ(ReadText(SharedConf()), R"({"ClientId":"abc"})");
  EXPECT_TRUE(nimo_test::FilesNamed(home_.SdkFolder(), ".tmp-").empty());
  EXPECT_TRUE(nimo_test::FilesNamed(GameFolder(), ".tmp-").empty());
}

TEST_F(ConfigStore, DataFolderFallbacks) {
  const std::string underHome = home_.Root() + "/home/.local/share/NimoSteamExeSdk";
  ::setenv("XDG_DATA_HOME", "relative/is/ignored", 1);
  EXPECT_EQ(NimoConfigUtils::GetDataFolder(), underHome);
  EXPECT_TRUE(fs::is_directory(underHome));
  ::unsetenv("XDG_DATA_HOME");
  EXPECT_EQ(NimoConfigUtils::GetDataFolder(), underHome);

  ::setenv("XDG_DATA_HOME", home_.DataHome().c_str(), 1);
  WriteText(home_.DataHome(), "a file where the folder should be");
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(NimoConfigUtils::GetDataFolder(), NimoConfigUtils::FallbackFolder());
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "无法创建文件夹\n");

  if (fs::exists(NimoConfigUtils::FallbackFolder())) GTEST_SKIP() << "this machine provides the fallback folder";
  ::unsetenv("XDG_DATA_HOME");
  ::unsetenv("HOME");  // without any home: the fixed fallback, never created
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(NimoConfigUtils::GetDataFolder(), NimoConfigUtils::FallbackFolder());
  EXPECT_EQ(NimoConfigUtils::ReadConfigJson(false), NimoConfigUtils::DefaultAppConfig());
  EXPECT_EQ(IncrementEventOrder(), 1);  // the caller still gets its value
  EXPECT_EQ(IncrementEventOrder(), 1);  // but nothing was stored
  std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.rfind("无法获取AppData\\Local路径\n", 0), 0u) << out;
  EXPECT_FALSE(fs::exists(NimoConfigUtils::FallbackFolder()));
}

TEST_F(ConfigStore, PerGameFolderThatCannotBeCreatedFallsBackToDataFolder) {
  NimoSdk::ConfigureLog(true);
  WriteText(GameFolder(), "not a folder");
  nimotest::LogCapture log;
  EXPECT_EQ(NimoConfigUtils::GetAppConfigPath(), home_.SdkFolder() + "/AppConf");
  EXPECT_EQ(log.Errors(),
            std::vector<std::string>{"Cant Create Path:" + GameFolder() + ", Be Default:" + home_.SdkFolder()});
}

TEST_F(ConfigStore, PerGameFolderIsNamedBySteamAppIdAlsoAfterSteamWentDown) {
  EXPECT_EQ(NimoConfigUtils::GetAppConfigPath(), AppConf());  // before Steam: "0"
  steam_standin::SetAppId(730);
  ASSERT_EQ(SteamAPI_InitFlat(), 0);
  const std::string expected = home_.SdkFolder() + "/730/AppConf";
  EXPECT_EQ(NimoConfigUtils::GetAppConfigPath(), expected);
  NimoSdk::Core().InitGlobalParams("app", "key");
  SteamAPI_Shutdown();
  ASSERT_EQ(SteamUtils(), nullptr);
  EXPECT_EQ(NimoConfigUtils::GetAppConfigPath(), expected);  // from the core's steamAppId
  EXPECT_EQ(ModeOf(home_.SdkFolder() + "/730"), 0700);
}

TEST_F(ConfigStore, UnknownKeysSurviveEveryWriteAndOutputIsCompact) {
  WriteText(AppConf(), "{\n  \"EventOrder\": 7,\n  \"AttributionFlag\": 1,\n  \"custom\": {\"a\": [1, 2]},\n"
                       "  \"名字\": \"值\"\n}\n");
  EXPECT_EQ(IncrementEventOrder(), 8);
  const std::string expected = R"({"AttributionFlag":1,"EventOrder":8,"custom":{"a":[1,2]},"名字":"值"})";
  EXPECT_EQ(ReadText(AppConf()), expected);
  // The plain cycle of direct callers keeps them as well.
  json doc = NimoConfigUtils::ReadConfigJson(false);
  doc["AttributionFlag"] = 1;
  NimoConfigUtils::WriteCofnigJson(doc, false);
  EXPECT_EQ(ReadText(AppConf()), expected);
}

// levels objects, each holding the next under "a", around inner.
std::string Nest(int levels, const std::string& inner) {
  std::string out;
  for (int i = 0; i < levels; ++i) out += "{\"a\":";
  return out + inner + std::string(static_cast<std::size_t>(levels), '}');
}

TEST_F(ConfigStore, InvalidFilesReadAsDefaultsAndValidNonObjectsAsThemselves) {
  const json defaults = NimoConfigUtils::DefaultAppConfig();
  // Deeply nested (2 million levels, which crashed the game at every start),
  // too deep within the size limit, and too large although well formed.
  const std::string invalid[] = {"{", "", "{\"EventOrder\":1", "not json", "{} trailing", "\xff\xfe",
                                 std::string(2000000, '[') + std::string(2000000, ']'), Nest(65, "0"),
                                 R"({"EventOrder":3,"pad":")" + std::string(70000, 'x') + "\"}"};
  for (const std::string& text : invalid) {
    SCOPED_TRACE(text.substr(0, 20));
    WriteText(AppConf(), text);
    EXPECT_EQ(NimoConfigUtils::ReadConfigJson(false), defaults);
    EXPECT_EQ(IncrementEventOrder(), 1);  // a change starts from the defaults
    EXPECT_EQ(ReadText(AppConf()), R"({"AttributionFlag":0,"EventOrder":1})");
  }
  WriteText(AppConf(), Nest(63, "0"));  // within the limit: read as it is
  EXPECT_TRUE(NimoConfigUtils::ReadConfigJson(false).is_object());
  WriteText(AppConf(), "[1,2]");
  EXPECT_EQ(NimoConfigUtils::ReadConfigJson(false), json::array({1, 2}));
  EXPECT_EQ(IncrementEventOrder(), 1);  // but a change of a non-object starts from the defaults
  EXPECT_EQ(ReadText(AppConf()), R"({"AttributionFlag":0,"EventOrder":1})");
  // A folder or a FIFO where the file should be is unreadable, not an error or a hang; a write fails cleanly.
  fs::remove(AppConf());
  WriteText(AppConf() + "/inside", "x");
  EXPECT_EQ(NimoConfigUtils::ReadConfigJson(false), defaults);
  EXPECT_EQ(IncrementEventOrder(), 1);
  EXPECT_EQ(ReadText(AppConf() + "/inside"), "x");
  EXPECT_TRUE(nimo_test::FilesNamed(GameFolder(), ".tmp-").empty());
  fs::remove_all(AppConf());
  ASSERT_EQ(mkfifo(AppConf().c_str(), 0600), 0);
  EXPECT_EQ(NimoConfigUtils::ReadConfigJson(false), defaults);
}

TEST_F(ConfigStore, WrongTypedKeysBehaveAsTheirDefaults) {
  for (const std::string value : {"\"12\"", "1.5", "true", "null", "[3]", "{}", "18446744073709551615"}) {
    WriteText(AppConf(), R"({"AttributionFlag":)" + value + R"(,"EventOrder":)" + value + "}");
    EXPECT_EQ(NimoConfigUtils::IntOr(NimoConfigUtils::ReadConfigJson(false), "AttributionFlag", 0), 0) << value;
    EXPECT_EQ(IncrementEventOrder(), 1) << value;
  }
  WriteText(AppConf(), R"({"AttributionFlag":1,"EventOrder":-4})");
  EXPECT_EQ(IncrementEventOrder(), -3);  // integers are used as they are
  EXPECT_EQ(NimoConfigUtils::IntOr(json::array(), "EventOrder", 5), 5);
}

TEST_F(ConfigStore, CycleThatChangesNothingDoesNotWriteAndOneThatThrowsWritesNothing) {
  WriteText(AppConf(), R"({"AttributionFlag":1,"EventOrder":3})");
  const unsigned long inode = nimo_test::InodeOf(AppConf());
  json result = NimoConfigUtils::Update(false, [](json& doc) { doc["AttributionFlag"] = 1; });
  EXPECT_EQ(result.dump(), R"({"AttributionFlag":1,"EventOrder":3})");
  EXPECT_EQ(nimo_test::InodeOf(AppConf()), inode);
  NimoConfigUtils::Update(false, [](json& doc) { doc["AttributionFlag"] = 0; });
  EXPECT_NE(nimo_test::InodeOf(AppConf()), inode);  // replaced, never rewritten in place

  WriteText(AppConf(), R"({"AttributionFlag":0,"EventOrder":"x"})");
  auto change = [](json& doc) {
    doc["AttributionFlag"] = 1;
    doc["EventOrder"] = doc["EventOrder"].get<int>() + 1;
  };
  EXPECT_THROW(NimoConfigUtils::Update(false, change), json::type_error);
  EXPECT_EQ(ReadText(AppConf()), R"({"AttributionFlag":0,"EventOrder":"x"})");
  EXPECT_EQ(IncrementEventOrder(), 1);  // and the store is not left locked
}

// Exceeding RLIMIT_FSIZE fails a write at that very byte, as a full disk would
// (also for root): interrupted at the start, inside and at the last byte.
TEST_F(ConfigStore, WriteThatRunsOutOfSpaceAtAnyByteLeavesTheOldFile) {
  NimoSdk::ConfigureLog(true);
  const std::string old = R"({"AttributionFlag":1,"EventOrder":41,"keep":"me"})";
  WriteText(AppConf(), old);
  json next = json::parse(old);
  next["EventOrder"] = 42;
  next["pad"] = std::string(4096, 'x');
  const rlim_t size = next.dump().size();
  ::signal(SIGXFSZ, SIG_IGN);
  rlimit saved {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  for (rlim_t limit : {rlim_t{0}, rlim_t{1}, rlim_t{64}, size / 2, size - 1}) {
    rlimit small = saved;
    small.rlim_cur = limit;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    nimotest::LogCapture log;
    json result = NimoConfigUtils::Update(false, [&](json& doc) { doc = next; });
    NimoConfigUtils::WriteCofnigJson(next, false);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_EQ(result["EventOrder"], 42);  // the caller carries on with its value
    EXPECT_EQ(ReadText(AppConf()), old) << "limit " << limit;
    EXPECT_TRUE(nimo_test::FilesNamed(GameFolder(), ".tmp-").empty());
    EXPECT_TRUE(log.StartingWith("Write Config Json Success.").empty()) << "limit " << limit;
  }
  nimotest::LogCapture log;
  NimoConfigUtils::WriteCofnigJson(next, false);  // with room again
  EXPECT_EQ(ReadText(AppConf()), next.dump());
  EXPECT_EQ(log.Infos(), std::vector<std::string>{"Write Config Json Success. " + next.dump()});
}

constexpr std::size_t kPad = 256 << 10;

// A readable AppConf as the writer below leaves it: an object with an integer
// EventOrder and, in every other write, a pad of full length.
::testing::AssertionResult IsWhole(const std::string& text) {
  json doc = json::parse(text, nullptr, false);
  if (!doc.is_object() || !doc.contains("EventOrder") || !doc["EventOrder"].is_number_integer())
    return ::testing::AssertionFailure() << "unreadable, " << text.size() << " bytes";
  if (doc.contains("pad") && doc["pad"].get<std::string>().size() != kPad)
    return ::testing::AssertionFailure() << "short pad";
  return ::testing::AssertionSuccess();
}

void WriteAlternately(int count, std::chrono::seconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  for (int i = 0; i < count && std::chrono::steady_clock::now() < end; ++i) {
    json doc = {{"EventOrder", i}, {"AttributionFlag", 1}};
    if (i % 2 == 0) doc["pad"] = std::string(kPad, static_cast<char>('a' + i % 26));
    NimoConfigUtils::WriteCofnigJson(doc, false);
  }
}

class ConfigStoreConcurrency : public ConfigStore {};

TEST_F(ConfigStoreConcurrency, ReadersNeverSeeATornFile) {
  NimoSdk::ConfigureLog(false);
  NimoConfigUtils::WriteCofnigJson(json{{"EventOrder", 0}}, false);
  std::atomic<bool> done{false};
  std::atomic<int> reads{0}, torn{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 2; ++r) {
    readers.emplace_back([&] {
      while (!done.load()) {
        torn += IsWhole(ReadText(AppConf())) ? 0 : 1;
        reads++;
      }
    });
  }
  WriteAlternately(40, std::chrono::seconds(30));
  done = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(torn.load(), 0) << "of " << reads.load() << " reads";
  EXPECT_GT(reads.load(), 0);
}

// Every number handed out once, by the threads of this process and of others.
std::set<std::int64_t> IncrementFromThreads(int threads, int each) {
  std::mutex mutex;
  std::set<std::int64_t> seen;
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t)
    pool.emplace_back([&] {
      for (int i = 0; i < each; ++i) {
        std::int64_t n = IncrementEventOrder();
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_TRUE(seen.insert(n).second) << n;
      }
    });
  for (auto& t : pool) t.join();
  return seen;
}

TEST_F(ConfigStoreConcurrency, ThreadsAndProcessesLoseNoIncrement) {
  NimoSdk::ConfigureLog(false);
  if (nimo_test::ChildMode() == "increment") {
    IncrementFromThreads(4, 100);
    return;
  }
  WriteText(AppConf(), R"({"AttributionFlag":1,"EventOrder":0,"keep":"me"})");
  EXPECT_EQ(IncrementFromThreads(8, 100).size(), 800u);
  std::vector<pid_t> children;
  for (int c = 0; c < 2; ++c) children.push_back(nimo_test::SpawnCurrentTest("increment"));
  IncrementFromThreads(4, 100);
  for (pid_t pid : children) EXPECT_EQ(nimo_test::WaitChild(pid, std::chrono::seconds(100)), 0);
  EXPECT_EQ(ReadText(AppConf()), R"({"AttributionFlag":1,"EventOrder":2000,"keep":"me"})");
}

}  // namespace
