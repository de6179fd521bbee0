// Events as the data-collection server receives them: the whole SDK (through
// its exports) against the sandbox, which stores each event as it arrived.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "Sdk/CNimoCore.h"
#include "Sdk/CNimoTrack.h"
#include "Sdk/NimoConfigUtils.h"
#include "Sdk/Singletons.h"
#include "nimosdk64.h"
#include "support/SdkHarness.h"
#include "support/child_process.h"

using namespace std::chrono_literals;
using nimo_sandbox::StoredEvent;
using nimo_test::Eventually;
using NimoSdk::Core;
using NimoSdk::Track;
using json = nlohmann::json;

namespace {

const double kNoValue = std::numeric_limits<double>::quiet_NaN();

class TrackSandbox : public nimo_test::SdkTest {
 protected:
  void SetUp() override {
    setenv("TZ", "CST-8", 1);
    unsetenv("DISPLAY");
    nimo_test::SdkTest::SetUp();
  }

  std::vector<StoredEvent> Named(const std::string& event) {
    std::vector<StoredEvent> out;
    for (const StoredEvent& e : Server().Events())
      if (e.json.is_object() && e.json.value("event", "") == event) out.push_back(e);
    return out;
  }
  // The one event of that name, once it has arrived.
  StoredEvent One(const std::string& event) {
    EXPECT_TRUE(Eventually([&] { return !Named(event).empty(); })) << event << " never arrived";
    auto all = Named(event);
    EXPECT_EQ(all.size(), 1u) << event;
    return all.empty() ? StoredEvent{} : all.front();
  }
};

std::string Quoted(const std::string& s) { return json(s).dump(); }

}  // namespace

TEST_F(TrackSandbox, StartupEventTextAsReceived) {
  ASSERT_EQ(InitAndWait().code, 200);
  StoredEvent e = One("zko_startup");
  EXPECT_EQ(e.contentType, "text/plain;charset=UTF-8");
  const std::string clientId = NimoSdk::NimoConfigUtils::ReadConfigJson(true)["ClientId"];
  ASSERT_FALSE(clientId.empty());
  ASSERT_TRUE(e.json["sdkTime"].is_number_integer());
  const std::string os = Track().Snapshot().os;
  EXPECT_EQ(e.text, R"({"appId":"10001","context":{"os":)" + Quoted(os) +
                        R"(,"resolution":"0x0","tz":"UTC+8"},"deviceId":")" + clientId +
                        R"(","event":"zko_startup","eventOrder":"n1","fingerId":")" + clientId +
                        R"(","gamePlatform":"steam","gameUserId":"_unknown","platform":"html5","sdkTime":)" +
                        std::to_string(e.json["sdkTime"].get<long long>()) +
                        R"(,"sdkType":"html5","sdkVersion":"SteamEXE_2.0.0","serverId":"_unknown","userId":-1})");
  // A millisecond time stamp of about now.
  long long now = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::system_clock::now().time_since_epoch()).count();
  EXPECT_NEAR(static_cast<double>(e.json["sdkTime"].get<long long>()), static_cast<double>(now), 60000.0);
}

TEST_F(TrackSandbox, GameEventWithValueUserFactsAndMergedContext) {
  ASSERT_EQ(InitAndWait().code, 200);
  NimoProxy::SetServerId(L"服务器1");
  NimoProxy::SetGameUserId(L"g-42");
  NimoProxy::SetNickName(L"Hero");
  NimoProxy::SetLevel(9);
  NimoProxy::PostEvent(L"zko_level_achieved", L"{\"stage\":3,\"os\":\"custom\",\"名\":\"值\"}", 2.5);
  StoredEvent e = One("zko_level_achieved");
  EXPECT_NE(e.text.find(R"("context":{"level":9,"os":"custom","resolution":"0x0","stage":3,"tz":"UTC+8","名":"值"})"),
            std::string::npos)
      << e.text;
  EXPECT_NE(e.text.find(R"("gameUserId":"g-42",)"), std::string::npos) << e.text;
  EXPECT_NE(e.text.find(R"("serverId":"服务器1","userId":-1,"value":2.5})"), std::string::npos) << e.text;
  EXPECT_EQ(e.text.find("Hero"), std::string::npos);
  EXPECT_EQ(e.json["eventOrder"], "n2");

  NimoProxy::PostEvent(L"level up", L"", kNoValue);
  StoredEvent custom = One("zko_self_level up");
  EXPECT_FALSE(custom.json.contains("value"));
  EXPECT_EQ(custom.json["context"].size(), 3u);
  EXPECT_EQ(custom.json["eventOrder"], "n3");
}

TEST_F(TrackSandbox, LoginEventCarriesTheNewUserId) {
  InitAndLogin();
  StoredEvent e = One("zko_login");
  ASSERT_TRUE(e.json["userId"].is_number_integer());
  EXPECT_EQ(std::to_string(e.json["userId"].get<long long>()), Core().UserId());
  EXPECT_EQ(e.json["context"]["loginPlatform"], "STEAM");
  EXPECT_TRUE(e.json["context"]["puserId"].is_string());
  EXPECT_EQ(e.json["eventOrder"], "n2");
  // Later events carry it too; a logout does not take it back.
  NimoProxy::Logout();
  NimoProxy::PostEvent(L"after_logout", L"", kNoValue);
  EXPECT_EQ(One("zko_self_after_logout").json["userId"], e.json["userId"]);
}

TEST_F(TrackSandbox, NumbersContinueAcrossRunsOfTheGame) {
  const std::string seenFlag = home_->Root() + "/parent-saw-second-run";
  if (nimo_test::ChildMode() == "second-run") {
    ASSERT_EQ(InitAndWait().code, 200);
    NimoProxy::PostEvent(L"second_run", L"", kNoValue);
    // Stay up (the pool would drop what is still queued) until the parent saw it.
    EXPECT_TRUE(Eventually([&] { return std::ifstream(seenFlag).good(); }, 30s));
    return;
  }
  ASSERT_EQ(InitAndWait().code, 200);
  NimoProxy::PostEvent(L"first_run", L"", kNoValue);
  EXPECT_EQ(One("zko_self_first_run").json["eventOrder"], "n2");

  pid_t child = nimo_test::SpawnCurrentTest(
      "second-run", {"NIMO_TEST_API_BASE=" + Server().BaseUrl(), "NIMO_TEST_TRACK_URL=" + Server().TrackUrl(),
                     "NIMOSDK_CA_FILE=" + Server().CaFile()});
  ASSERT_GT(child, 0);
  EXPECT_TRUE(Eventually([&] { return !Named("zko_self_second_run").empty(); }, 30s));
  std::ofstream(seenFlag) << "1";
  EXPECT_EQ(nimo_test::WaitChild(child, 40s), 0);
  auto startups = Named("zko_startup");
  ASSERT_EQ(startups.size(), 2u);
  EXPECT_EQ(startups[1].json["eventOrder"], "n3");
  EXPECT_EQ(Named("zko_self_second_run").at(0).json["eventOrder"], "n4");
  EXPECT_EQ(NimoSdk::NimoConfigUtils::ReadConfigJson(false)["EventOrder"], 4);
}

class TrackSandboxConcurrency : public TrackSandbox {};

// Several game threads posting through the export at once: every event arrives
// and no number is sent twice or skipped.
TEST_F(TrackSandboxConcurrency, ThreadsPostingAtOnceAllArriveWithDistinctNumbers) {
  ASSERT_EQ(InitAndWait().code, 200);
  constexpr int kThreads = 4, kEach = 40;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kEach; ++i) {
        NimoProxy::PostEvent(L"burst", L"{\"thread\":" + std::to_wstring(t) + L"}", i);
        if (i % 10 == 0) NimoProxy::SetLevel(i);
      }
    });
  }
  for (auto& th : threads) th.join();
  const int total = kThreads * kEach + 1;  // and the start-up event
  ASSERT_TRUE(Eventually([&] { return Server().Events().size() >= static_cast<std::size_t>(total); }, 60s))
      << Server().Events().size() << " of " << total;
  auto counters = Server().EventCounters();
  ASSERT_EQ(counters.size(), 1u);
  const auto& c = counters.begin()->second;
  EXPECT_EQ(c.events, total);
  EXPECT_EQ(c.distinct, total);
  EXPECT_EQ(c.duplicates, 0);
  EXPECT_EQ(c.missing, 0);
  EXPECT_EQ(c.lowest, 1);
  EXPECT_EQ(c.highest, total);
  EXPECT_EQ(NimoSdk::NimoConfigUtils::ReadConfigJson(false)["EventOrder"], total);
}
