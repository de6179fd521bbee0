// Events as the data-collection server receives them: the whole SDK (through
// its exports) against the sandbox, which stores each event as it arrived.
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Sdk/CNimoCore.h"
#include "Sdk/EventQueue.h"
#include "Sdk/CNimoTrack.h"
#include "Sdk/NimoConfigUtils.h"
#include "Sdk/Singletons.h"
#include "nimosdk64.h"
#include "support/SdkHarness.h"
#include "support/child_process.h"
#include "platform/sys/FileLock.h"

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
  // This test again in a child process, against the same sandbox.
  pid_t SpawnChild(const std::string& mode, const std::string& extra = "") {
    auto env = ChildEnv();
    if (!extra.empty()) env.push_back(extra);
    return nimo_test::SpawnCurrentTest(mode, env);
  }
};

long long Number(const StoredEvent& e) {
  std::string order = e.json.value("eventOrder", "");
  return order.size() > 1 ? std::atoll(order.c_str() + 1) : -1;
}

// The game's events with a context member "i", in arrival order: (i, number).
std::vector<std::pair<int, long long>> Indexed(const std::vector<StoredEvent>& events) {
  std::vector<std::pair<int, long long>> out;
  for (const StoredEvent& e : events) {
    const json& c = e.json.is_object() ? e.json.value("context", json::object()) : json::object();
    if (c.contains("i") && c["i"].is_number_integer()) out.emplace_back(c["i"].get<int>(), Number(e));
  }
  return out;
}

void PostIndexed(int from, int to, const std::wstring& extra = L"") {
  for (int i = from; i < to; ++i)
    NimoProxy::PostEvent(L"queued", L"{\"i\":" + std::to_wstring(i) + extra + L"}", kNoValue);
}

// Counts AppConf's replacements (one per store cycle) while it lives, by their
// temporary files: events of one name would be merged.
class StoreCycles {
 public:
  StoreCycles() : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    const std::string conf = NimoSdk::NimoConfigUtils::GetAppConfigPath();
    inotify_add_watch(fd_, conf.substr(0, conf.rfind('/')).c_str(), IN_CREATE);
  }
  ~StoreCycles() { close(fd_); }
  int Count() {
    alignas(inotify_event) char buf[4096];
    for (ssize_t n; (n = read(fd_, buf, sizeof buf)) > 0;) {
      for (char* p = buf; p < buf + n;) {
        auto* e = reinterpret_cast<inotify_event*>(p);
        count_ += e->len > 0 && std::string(e->name).rfind(".AppConf.tmp-", 0) == 0 ? 1 : 0;
        p += sizeof(inotify_event) + e->len;
      }
    }
    return count_;
  }

 private:
  int fd_;
  int count_ = 0;
};

// Retries come after milliseconds instead of seconds.
void FastRetries(std::size_t maxEvents = 10000) {
  NimoSdk::EventSender::Settings s = Track().Sender().GetSettings();
  s.backoffMin = 10ms;
  s.backoffMax = 80ms;
  s.maxEvents = maxEvents;
  Track().Sender().SetSettings(s);
}

}  // namespace

// Init reads the client id on a worker; the start-up event and what the game
// does meanwhile still carry it.
TEST_F(TrackSandbox, StartupEventAndWhatIsMadeWhileTheClientIdIsReadCarryIt) {
  NimoProxy::Init(L"10001", L"sandbox-key-10001", nimo_test::CallbackRecorder::Callback);
  const std::wstring own = L"{\"deviceId\":\"\",\"fingerId\":\"\"}";  // the game's own members stay its own
  NimoProxy::PostEvent(L"early", own, kNoValue);
  NimoProxy::QueryProducts(nimo_test::CallbackRecorder::Callback);
  EXPECT_EQ(Next().code, 200);
  EXPECT_EQ(Next().code, 200);
  NimoProxy::PostEvent(L"later", own, kNoValue);
  const std::string id = NimoSdk::NimoConfigUtils::ReadConfigJson(true)["ClientId"];
  ASSERT_FALSE(id.empty());
  StoredEvent e = One("zko_startup");
  EXPECT_EQ(e.contentType, "text/plain;charset=UTF-8");
  ASSERT_TRUE(e.json["sdkTime"].is_number_integer());
  const std::string os = Track().Snapshot().os;
  EXPECT_EQ(e.text, R"({"appId":"10001","context":{"os":)" + json(os).dump() +
                        R"(,"resolution":"0x0","tz":"UTC+8"},"deviceId":")" + id +
                        R"(","event":"zko_startup","eventOrder":"n1","fingerId":")" + id +
                        R"(","gamePlatform":"steam","gameUserId":"_unknown","platform":"html5","sdkTime":)" +
                        std::to_string(e.json["sdkTime"].get<long long>()) +
                        R"(,"sdkType":"html5","sdkVersion":"SteamEXE_2.0.0","serverId":"_unknown","userId":-1})");
  const auto now = std::chrono::duration<double, std::milli>(std::chrono::system_clock::now().time_since_epoch());
  EXPECT_NEAR(e.json["sdkTime"].get<double>(), now.count(), 60000.0);  // milliseconds, about now
  for (const char* name : {"zko_self_early", "zko_self_later"}) {
    const json e = One(name).json;
    EXPECT_EQ(json({e["deviceId"], e["fingerId"], e["context"]["deviceId"], e["context"]["fingerId"]}),
              json({id, id, "", ""})) << name;
  }
  int forms = 0;
  for (const auto& r : Server().Requests()) {
    if (r.path.find("/sdkapi/") == std::string::npos) continue;
    ++forms;
    EXPECT_NE(r.body.find("clientId=" + id + "&"), std::string::npos) << r.path << " " << r.body;
  }
  EXPECT_GE(forms, 2);  // configuration and products
}

// Init returns before its start-up ran: what the game posts right after comes after
// the start-up event, with the facts Init set and the time it was posted.
TEST_F(TrackSandbox, EventsPostedRightAfterInitComeAfterTheStartupEvent) {
  NimoProxy::Init(L"10001", L"sandbox-key-10001", nimo_test::CallbackRecorder::Callback);
  const auto posted = std::chrono::duration<double, std::milli>(std::chrono::system_clock::now().time_since_epoch());
  NimoProxy::PostEvent(L"first", L"", kNoValue);
  NimoProxy::PostEvent(L"second", L"", kNoValue);
  EXPECT_EQ(Next().code, 200);
  EXPECT_EQ(One("zko_startup").json["eventOrder"], "n1");
  const StoredEvent first = One("zko_self_first");
  EXPECT_EQ(first.json["eventOrder"], "n2");
  EXPECT_EQ(first.json["appId"], "10001");
  EXPECT_EQ(first.json["gamePlatform"], "steam");
  EXPECT_EQ(first.json["context"]["tz"], "UTC+8");
  EXPECT_NEAR(first.json["sdkTime"].get<double>(), posted.count(), 1000.0);
  EXPECT_EQ(One("zko_self_second").json["eventOrder"], "n3");
}

// The login event carries the new user id; a game event the user facts, its value and the merged context.
TEST_F(TrackSandbox, LoginAndGameEventsCarryTheUserFacts) {
  InitAndLogin();
  StoredEvent login = One("zko_login");
  ASSERT_TRUE(login.json["userId"].is_number_integer());
  EXPECT_EQ(std::to_string(login.json["userId"].get<long long>()), Core().UserId());
  EXPECT_EQ(login.json["context"]["loginPlatform"], "STEAM");
  EXPECT_TRUE(login.json["context"]["puserId"].is_string());
  EXPECT_EQ(login.json["eventOrder"], "n2");
  NimoProxy::SetServerId(L"服务器1");
  NimoProxy::SetGameUserId(L"g-42");
  NimoProxy::SetNickName(L"Hero");
  NimoProxy::SetLevel(9);
  NimoProxy::PostEvent(L"zko_level_achieved", L"{\"stage\":3,\"os\":\"custom\",\"名\":\"值\"}", 2.5);
  StoredEvent e = One("zko_level_achieved");
  EXPECT_EQ(e.json["context"].dump(), R"({"level":9,"os":"custom","resolution":"0x0","stage":3,"tz":"UTC+8","名":"值"})");
  EXPECT_NE(e.text.find(R"("gameUserId":"g-42",)"), std::string::npos) << e.text;
  EXPECT_NE(e.text.find(R"(,"value":2.5})"), std::string::npos) << e.text;
  EXPECT_EQ(e.text.find("Hero"), std::string::npos);
  EXPECT_EQ(e.json["eventOrder"], "n3");
  // A logout does not take the facts back.
  NimoProxy::Logout();
  NimoProxy::PostEvent(L"after_logout", L"", kNoValue);
  StoredEvent after = One("zko_self_after_logout");
  EXPECT_EQ(after.json["userId"], login.json["userId"]);
  EXPECT_EQ(after.json["serverId"], "服务器1");  // also the wide text through the export
}

// ---------------------------------------------------------------- the queue

class TrackSandboxConcurrency : public TrackSandbox {};

// Four game threads and a second process of the same game post at once: every
// number is handed out once, without a gap, in each thread's posting order.
TEST_F(TrackSandboxConcurrency, ThreadsAndASecondProcessGetExactConsecutiveNumbers) {
  constexpr int kThreads = 4, kEach = 50;
  const std::string seenFlag = home_->Root() + "/parent-saw-all";
  if (nimo_test::ChildMode() == "second") {
    ASSERT_EQ(InitAndWait().code, 200);
    PostIndexed(9000, 9000 + kEach, L",\"t\":9");  // indexes of its own
    EXPECT_TRUE(Eventually([&] { return std::ifstream(seenFlag).good(); }, 60s));
    return;
  }
  ASSERT_EQ(InitAndWait().code, 200);
  pid_t child = SpawnChild("second");
  ASSERT_GT(child, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t] { PostIndexed(t * 1000, t * 1000 + kEach, L",\"t\":" + std::to_wstring(t)); });
  for (auto& th : threads) th.join();
  const int total = (kThreads + 1) * kEach + 2;  // and two start-up events
  EXPECT_TRUE(Eventually([&] { return Server().Events().size() >= static_cast<std::size_t>(total); }, 60s))
      << Server().Events().size() << " of " << total;
  std::ofstream(seenFlag) << "1";
  EXPECT_EQ(nimo_test::WaitChild(child, 60s), 0);

  auto counters = Server().EventCounters();
  ASSERT_EQ(counters.size(), 1u);
  const auto& c = counters.begin()->second;
  EXPECT_EQ(c.events, total);
  EXPECT_EQ(c.distinct, total);
  EXPECT_EQ(c.duplicates + c.missing + c.malformed, 0);
  EXPECT_EQ(c.lowest, 1);
  EXPECT_EQ(c.highest, total);
  EXPECT_EQ(NimoSdk::NimoConfigUtils::ReadConfigJson(false)["EventOrder"], total);
  std::map<int, long long> byIndex;
  for (auto [i, n] : Indexed(Server().Events())) byIndex[i] = n;
  for (int t = 0; t < kThreads; ++t)
    for (int i = t * 1000 + 1; i < t * 1000 + kEach; ++i) EXPECT_LT(byIndex[i - 1], byIndex[i]) << i;
}

// A steady stream is numbered in batches: a store cycle (and a sync of the
// queue file) for many events, not one for every few.
TEST_F(TrackSandbox, AStreamOfEventsTakesFewStoreCycles) {
  ASSERT_EQ(InitAndWait().code, 200);
  ASSERT_TRUE(Eventually([&] { return Server().Events().size() == 1; }));
  StoreCycles cycles;
  const auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < 500; ++i) {  // about 0.5 s at 1 per ms
    PostIndexed(i, i + 1);
    std::this_thread::sleep_for(1ms);
  }
  const auto took = std::chrono::steady_clock::now() - t0;
  EXPECT_TRUE(Eventually([&] { return Server().Events().size() == 501; }, 30s)) << Server().Events().size();
  EXPECT_LE(cycles.Count(), took / 40ms + 5);  // one every 50 ms at most, where it used to be one per event
  EXPECT_EQ(NimoSdk::NimoConfigUtils::ReadConfigJson(false)["EventOrder"], 501);
}

// Another process holds the store's lock for 2 s: PostEvent does not wait for
// it, and the events follow once the lock is free.
TEST_F(TrackSandbox, PostEventNeverWaitsForTheStoreLock) {
  const std::string heldFlag = home_->Root() + "/held";
  if (nimo_test::ChildMode() == "holder") {
    nimo_sys::FileLock lock(std::getenv("NIMO_TEST_LOCK"));
    std::ofstream(heldFlag) << "1";
    std::this_thread::sleep_for(2s);
    return;
  }
  ASSERT_EQ(InitAndWait().code, 200);
  ASSERT_TRUE(Eventually([&] { return Server().Events().size() == 1; }));
  pid_t child = SpawnChild("holder", "NIMO_TEST_LOCK=" + NimoSdk::NimoConfigUtils::GetAppConfigPath() + ".lock");
  ASSERT_GT(child, 0);
  ASSERT_TRUE(Eventually([&] { return std::ifstream(heldFlag).good(); }));
  auto t0 = std::chrono::steady_clock::now();
  PostIndexed(0, 200);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);  // a hang guard: waiting would take 2 s
  EXPECT_EQ(Server().Events().size(), 1u);  // nothing could be numbered yet
  EXPECT_EQ(nimo_test::WaitChild(child, 30s), 0);
  EXPECT_TRUE(Eventually([&] { return Server().Events().size() == 201; }, 30s)) << Server().Events().size();
  EXPECT_EQ(Server().EventCounters().begin()->second.highest, 201);
}

// An HTTP 200 is final whatever its body says: the event is not sent again.
TEST_F(TrackSandbox, AnAnswerOf200IsFinalWhateverItsBody) {
  FastRetries();
  Fail(nimo_sandbox::Endpoint::Track, nimo_sandbox::FaultMode::Code, -1, 1001);
  ASSERT_EQ(InitAndWait().code, 200);
  PostIndexed(0, 5);
  ASSERT_TRUE(Eventually([&] { return Server().RequestCount(nimo_sandbox::Endpoint::Track) >= 6; }));
  std::this_thread::sleep_for(300ms);  // a retry would have come by now
  EXPECT_EQ(Server().RequestCount(nimo_sandbox::Endpoint::Track), 6);
}

// An event the server refuses for good (too large for it, malformed, moved) is
// dropped, counted and marked done in the queue file; 408, 429 and 5xx are only
// "not now", and one event failing so for ever does not hold back the others.
TEST_F(TrackSandbox, RefusedEventsAreDroppedAndOneFailingForEverHoldsNoneBack) {
  FastRetries();
  ASSERT_EQ(InitAndWait().code, 200);
  NimoProxy::PostEvent(L"huge", L"{\"i\":-1,\"pad\":\"" + std::wstring(1100000, L'x') + L"\"}", kNoValue);
  const int statuses[] = {301, 400, 404, 414, 422, 408, 429, 500, 503, 503}, kRefused = 5;
  for (int i = 0; i < 10; ++i) {
    nimo_sandbox::Fault f = nimo_test::MakeFault(nimo_sandbox::FaultMode::Status, i < 9 ? 1 : -1, statuses[i]);
    f.match = "\"i\":" + std::to_string(i) + ",";
    Server().SetFault("track", f);
    PostIndexed(i, i + 1);
    ASSERT_TRUE(Eventually([&] { return i == 9 || Server().State()["settings"]["faults"].empty(); })) << i;
  }
  const int before = Server().RequestCount(nimo_sandbox::Endpoint::Track);
  ASSERT_TRUE(Eventually([&] { return Server().RequestCount(nimo_sandbox::Endpoint::Track) >= before + 3; }));
  PostIndexed(100, 120);  // while event 9 fails, one probe at a time
  ASSERT_TRUE(Eventually([&] { return Indexed(Server().Events()).size() >= 9 - kRefused + 20; }, 15s))
      << Indexed(Server().Events()).size();
  Server().ClearFaults();
  EXPECT_TRUE(Eventually([&] { return Indexed(Server().Events()).size() == 10 - kRefused + 20; }));
  std::this_thread::sleep_for(200ms);  // a refused one sent again would come now
  std::set<int> got;
  for (auto [i, n] : Indexed(Server().Events())) got.insert(i);
  EXPECT_EQ(got.size(), 10u - kRefused + 20);
  EXPECT_EQ(*got.begin(), kRefused);
  EXPECT_EQ(Track().Sender().Refused(), kRefused + 1u);
  NimoProxy::Exit();
  EXPECT_TRUE(NimoSdk::EventQueue::Parse(nimo_test::ReadText(home_->SdkFolder() + "/480/EventQueue")).live.empty());
}

// Events the game posts before Init wait for it, then are numbered in the
// game's own store; an Exit before Init files nothing under another game's.
TEST_F(TrackSandbox, EventsBeforeInitWaitForTheGamesStore) {
  if (nimo_test::ChildMode() == "no-init") {
    PostIndexed(100, 105);
    return;  // Exit at tear-down
  }
  pid_t child = SpawnChild("no-init");
  ASSERT_GT(child, 0);
  EXPECT_EQ(nimo_test::WaitChild(child, 30s), 0);
  PostIndexed(0, 3);
  ASSERT_EQ(InitAndWait().code, 200);
  EXPECT_TRUE(Eventually([&] { return Server().Events().size() == 4; })) << Server().Events().size();
  EXPECT_EQ(NimoSdk::NimoConfigUtils::ReadConfigJson(false)["EventOrder"], 4);  // and zko_startup
  for (const StoredEvent& e : Server().Events()) EXPECT_NE(e.json.value("deviceId", ""), "") << e.text;
  EXPECT_FALSE(std::filesystem::exists(home_->SdkFolder() + "/0"));
}

// The queue keeps the newest events up to its bound; the oldest go, counted.
TEST_F(TrackSandbox, FullQueueDropsTheOldestAndCountsThem) {
  FastRetries(20);
  Fail(nimo_sandbox::Endpoint::Track, nimo_sandbox::FaultMode::Http502);
  ASSERT_EQ(InitAndWait().code, 200);
  PostIndexed(0, 50);
  EXPECT_TRUE(Eventually([] { return Track().Sender().Dropped() == 31; })) << Track().Sender().Dropped();
  Server().ClearFaults();
  EXPECT_TRUE(Eventually([&] { return Server().Events().size() >= 20; }, 30s));
  std::this_thread::sleep_for(200ms);
  auto got = Indexed(Server().Events());
  EXPECT_EQ(Server().Events().size(), 20u);
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(std::max_element(got.begin(), got.end())->first, 49);
  EXPECT_EQ(Track().Sender().Dropped(), 31u);
}

// A queue file with a record torn by a crash, a corrupt one and a delivered
// one: the whole, undelivered records are sent with their numbers, and new
// numbers continue above them.
TEST_F(TrackSandbox, TornQueueFileKeepsEveryWholeRecord) {
  using NimoSdk::EventQueue;
  const std::string folder = home_->SdkFolder() + "/480";
  std::filesystem::create_directories(folder);
  std::string corrupt = EventQueue::EventRecord(7, R"({"event":"old_c","eventOrder":"n7"})");
  corrupt[10] = 'X';
  nimo_test::WriteText(folder + "/EventQueue",
                       EventQueue::EventRecord(5, R"({"event":"old_a","eventOrder":"n5"})") +
                           EventQueue::EventRecord(6, R"({"event":"old_b","eventOrder":"n6"})") +
                           EventQueue::DoneRecord(5) + corrupt + "garbage\n" +
                           EventQueue::EventRecord(8, R"({"event":"old_d","eventOrder":"n8"})") +
                           EventQueue::EventRecord(9, R"({"event":"old_e","eventOrder":"n9"})").substr(0, 20));
  ASSERT_EQ(InitAndWait().code, 200);
  ASSERT_TRUE(Eventually([&] { return Server().Events().size() >= 3; }));
  std::this_thread::sleep_for(200ms);
  std::vector<std::string> got;
  for (const StoredEvent& e : Server().Events()) got.push_back(e.json.value("event", "") + "=" + e.json.value("eventOrder", ""));
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, (std::vector<std::string>{"old_b=n6", "old_d=n8", "zko_startup=n9"}));
  EXPECT_EQ(EventQueue::Parse(nimo_test::ReadText(folder + "/EventQueue")).skipped, 0);
}

// Exit with thousands of events unsent returns within its bound and keeps
// them; the next start sends every one.
TEST_F(TrackSandbox, ExitSavesUnsentEventsForTheNextStart) {
  constexpr int kEvents = 2500;  // sent again at about 130 a second on an idle machine
  const std::string seenFlag = home_->Root() + "/parent-saw-all";
  if (nimo_test::ChildMode() == "next-start") {
    ASSERT_EQ(InitAndWait().code, 200);
    EXPECT_TRUE(Eventually([&] { return std::ifstream(seenFlag).good(); }, 60s));
    return;
  }
  Fail(nimo_sandbox::Endpoint::Track, nimo_sandbox::FaultMode::Http502);
  ASSERT_EQ(InitAndWait().code, 200);
  PostIndexed(0, kEvents);
  auto t0 = std::chrono::steady_clock::now();
  NimoProxy::Exit();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
  Server().ClearFaults();

  pid_t child = SpawnChild("next-start");
  ASSERT_GT(child, 0);
  EXPECT_TRUE(Eventually([&] { return Indexed(Server().Events()).size() >= kEvents; }, 60s))
      << Indexed(Server().Events()).size();
  std::ofstream(seenFlag) << "1";
  EXPECT_EQ(nimo_test::WaitChild(child, 30s), 0);
  const auto got = Indexed(Server().Events());
  std::set<int> indexes;
  for (auto [i, n] : got) indexes.insert(i);
  EXPECT_EQ(indexes.size(), static_cast<std::size_t>(kEvents));
  EXPECT_EQ(got.size(), static_cast<std::size_t>(kEvents));  // so none twice
}
