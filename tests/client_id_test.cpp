// The client id: derived from the machine id, stored in SharedConf, reused.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <set>
#include <thread>
#include <vector>

#include "Sdk/NimoLog.h"
#include "Sdk/NimoUtils.h"
#include "platform/sys/MachineId.h"
#include "support/CallbackRecorder.h"
#include "support/LogCapture.h"
#include "support/child_process.h"
#include "support/temp_data_home.h"

namespace {

using NimoSdk::NimoUtils;
using nimo_test::ReadText;
using nimo_test::WriteText;
namespace fs = std::filesystem;

// Worked out with `printf %s <id> | openssl dgst -sha256 -hmac nimosdk64/ClientId/v1`, first 32 digits.
constexpr char kMachineA[] = "0123456789abcdef0123456789abcdef";
constexpr char kClientIdA[] = "6bf02556d68de9235f4c11f87f695435";
constexpr char kMachineB[] = "00112233445566778899aabbccddeeff";
constexpr char kClientIdB[] = "6b801ca80934d4da7374153d8c49f38d";

class ClientId : public ::testing::Test {
 protected:
  void SetUp() override { UseMachineId(kMachineA); }
  void TearDown() override { nimo_sys::SetMachineIdFilesForTest({}); }

  // The id files the reader looks at: a first that is missing, then ours.
  void UseMachineId(const std::string& content) {
    WriteText(MachineIdFile(), content);
    nimo_sys::SetMachineIdFilesForTest({home_.Root() + "/etc/missing", MachineIdFile()});
  }
  void UseNoMachineId() { nimo_sys::SetMachineIdFilesForTest({home_.Root() + "/none-a", home_.Root() + "/none-b"}); }
  std::string MachineIdFile() const { return home_.Root() + "/dbus/machine-id"; }
  std::string SharedConf() const { return home_.SdkFolder() + "/SharedConf"; }

  nimo_test::TempDataHome home_;
};

TEST_F(ClientId, MachineIdIsReadTrimmedFromTheFirstFileHoldingOne) {
  UseMachineId(std::string(kMachineB) + "\n");
  EXPECT_EQ(NimoUtils::GetMachineGuid(), kMachineB);
  WriteText(home_.Root() + "/etc/missing", " " + std::string(kMachineA) + "\r\n");
  EXPECT_EQ(NimoUtils::GetMachineGuid(), kMachineA);
  WriteText(home_.Root() + "/etc/missing", "");  // as some images ship it
  EXPECT_EQ(NimoUtils::GetMachineGuid(), kMachineB);
}

TEST_F(ClientId, UnusableMachineIdGivesEmptyWithItsMessage) {
  struct Case {
    std::function<void()> prepare;
    const char* message;
  };
  const Case cases[] = {
      {[&] { UseNoMachineId(); }, "Failed to open machine id file\n"},
      {[&] { UseMachineId("uninitialized\n"); }, "Incorrect machine id format\n"},
      {[&] {
         fs::remove(MachineIdFile());
         fs::create_directories(MachineIdFile());
         nimo_sys::SetMachineIdFilesForTest({MachineIdFile()});
       },
       "Failed to query machine id size\n"},
      {[&] {  // two bad files: the first one's failure is reported
         WriteText(home_.Root() + "/first", "uninitialized\n");
         nimo_sys::SetMachineIdFilesForTest({home_.Root() + "/first", MachineIdFile()});
       },
       "Incorrect machine id format\n"},
  };
  for (const Case& c : cases) {
    c.prepare();
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(NimoUtils::GetMachineGuid(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.message);
  }
}

TEST_F(ClientId, FreshIdIsDerivedFromMachineIdWithoutRevealingItAndDerivedAgainWhenLost) {
  EXPECT_EQ(NimoUtils::GetClientId(), kClientIdA);
  EXPECT_EQ(ReadText(SharedConf()), std::string(R"({"ClientId":")") + kClientIdA + "\"}");
  fs::remove(SharedConf());
  UseMachineId(std::string(kMachineB) + "\n");
  EXPECT_EQ(NimoUtils::GetClientId(), kClientIdB);
}

TEST_F(ClientId, StoredIdIsReturnedUnchangedAndNotRewritten) {
  NimoSdk::ConfigureLog(true);
  const std::string stored = R"({"ClientId":"3D1219C7-c4c5-404a-aa1f-6d2a48adfda4","other":[1]})";
  WriteText(SharedConf(), stored);
  const unsigned long inode = nimo_test::InodeOf(SharedConf());
  nimotest::LogCapture log;
  EXPECT_EQ(NimoUtils::GetClientId(), "3D1219C7-c4c5-404a-aa1f-6d2a48adfda4");
  EXPECT_EQ(log.Infos(), std::vector<std::string>{"Read ClientId :3D1219C7-c4c5-404a-aa1f-6d2a48adfda4"});
  EXPECT_EQ(ReadText(SharedConf()), stored);
  EXPECT_EQ(nimo_test::InodeOf(SharedConf()), inode);
}

TEST_F(ClientId, MissingEmptyOrWrongTypedStoredIdIsReplacedKeepingOtherKeys) {
  const std::string kept = std::string(R"({"ClientId":")") + kClientIdA + R"(","other":1})";
  const std::string fresh = std::string(R"({"ClientId":")") + kClientIdA + "\"}";
  const std::pair<const char*, std::string> cases[] = {
      {R"({"ClientId":"","other":1})", kept}, {R"({"ClientId":5,"other":1})", kept},
      {R"({"other":1})", kept},                {"[\"abc\"]", fresh},
      {"{", fresh},
  };
  for (const auto& [text, after] : cases) {
    WriteText(SharedConf(), text);
    EXPECT_EQ(NimoUtils::GetClientId(), kClientIdA) << text;
    EXPECT_EQ(ReadText(SharedConf()), after) << text;
  }
}

TEST_F(ClientId, WithoutMachineIdARandomUuidIsUsedAndThenKept) {
  NimoSdk::ConfigureLog(true);
  UseNoMachineId();
  nimotest::LogCapture log;
  const std::string id = NimoUtils::GetClientId();
  ASSERT_TRUE(id.size() == 32 && id.find_first_not_of("0123456789abcdef") == std::string::npos) << id;
  EXPECT_EQ(id[12], '4');                                          // version 4
  EXPECT_NE(std::string("89ab").find(id[16]), std::string::npos);  // RFC 4122 variant
  EXPECT_EQ(log.At(el::Level::Warning), std::vector<std::string>{"MachineGUID is empty, try uuid ..."});
  const std::vector<std::string> infos = log.Infos();
  ASSERT_EQ(infos.size(), 3u);
  EXPECT_EQ(infos[2], "Init ClientId :" + id);
  EXPECT_EQ(NimoUtils::GetClientId(), id);  // now read back
  fs::remove(SharedConf());
  EXPECT_NE(NimoUtils::GetClientId(), id);  // random, so only the file keeps it
}

// Two games starting at once on a machine without machine id must not end up
// with two random ids; the later one, a fresh load of the SDK, reads the first's.
class ClientIdConcurrency : public ClientId {};

// Threads wait at the start line until release() returns, then all ask at once.
template <class Release>
std::set<std::string> RaceForClientId(int threads, Release release) {
  std::atomic<bool> go{false};
  std::vector<std::string> ids(threads);
  std::vector<std::thread> pool;
  for (int i = 0; i < threads; ++i)
    pool.emplace_back([&ids, &go, i] {
      while (!go.load()) std::this_thread::yield();
      ids[i] = NimoUtils::GetClientId();
    });
  release();
  go = true;
  for (auto& t : pool) t.join();
  return std::set<std::string>(ids.begin(), ids.end());
}

TEST_F(ClientIdConcurrency, ProcessesAndThreadsStartingTogetherAgreeOnOneId) {
  UseNoMachineId();
  NimoSdk::ConfigureLog(false);
  const std::string ready = home_.Root() + "/ready", go = home_.Root() + "/go", out = home_.Root() + "/child-id";
  if (nimo_test::ChildMode() == "race") {
    auto ids = RaceForClientId(4, [&] {
      WriteText(ready, "");
      nimo_test::Eventually([&] { return fs::exists(go); }, std::chrono::seconds(20));
    });
    WriteText(out, ids.size() == 1 ? *ids.begin() : "disagree");
    return;
  }
  pid_t pid = nimo_test::SpawnCurrentTest("race");
  auto ids = RaceForClientId(4, [&] {
    nimo_test::Eventually([&] { return fs::exists(ready); }, std::chrono::seconds(20));
    WriteText(go, "");
  });
  ASSERT_EQ(nimo_test::WaitChild(pid, std::chrono::seconds(60)), 0);
  ASSERT_EQ(ids.size(), 1u);
  EXPECT_EQ(ReadText(out), *ids.begin());
  EXPECT_EQ(ReadText(SharedConf()), R"({"ClientId":")" + *ids.begin() + "\"}");
}

}  // namespace
