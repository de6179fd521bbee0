// The C functions and the callback machinery behind both interfaces, and the library as a game
// loads it. The whole flow in each callback mode is tests/engines/c_flow.c's.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>

#include "Sdk/CNimoCore.h"
#include "Sdk/CNimoDelivery.h"
#include "Sdk/CNimoPay.h"
#include "Sdk/Singletons.h"
#include "nimosdk64.h"
#include "nimosdk64_c.h"
#include "platform/steam/steam_control.h"
#include "support/SdkHarness.h"
#include "support/TestCerts.h"

using namespace std::chrono_literals;
using nimo_test::Call;
using nimo_test::CallbackRecorder;
using nimo_test::Eventually;
using nimo_test::TestCerts;
using NimoSdk::Delivery;

namespace {

void* Tag(std::uintptr_t n) { return reinterpret_cast<void*>(n); }

class CApiTest : public nimo_test::SdkTest {
 protected:
  void UsePoll() {
    ASSERT_EQ(nimo_set_callback_mode(NIMO_CALLBACKS_ON_POLL), NIMO_SET_OK);
    whileWaiting = [] { nimo_run_callbacks(); };
  }
};

class PollConcurrency : public CApiTest {};

}  // namespace

TEST_F(PollConcurrency, DeliversOnlyOnThePollingThreadInOrder) {
  UsePoll();
  nimo_login(CallbackRecorder::CCallback, Tag(1));  // -401, queued rather than called now
  nimo_init(nimo_test::kSandboxAppId, nimo_test::kSandboxAppKey, CallbackRecorder::CCallback, Tag(2));
  NimoProxy::QueryProducts(CallbackRecorder::Callback);  // the C++ interface queues too
  ASSERT_TRUE(Eventually([] { return Delivery().QueuedCount() == 3; }));
  EXPECT_EQ(rec().Count(), 0u);  // nothing between polls
  EXPECT_EQ(nimo_set_callback_mode(7), NIMO_SET_INVALID);

  EXPECT_EQ(nimo_run_callbacks(), 3);
  ASSERT_EQ(rec().Count(), 3u);
  EXPECT_EQ(rec().Calls()[0].code, NIMO_NOT_INIT);
  for (const auto& c : rec().Calls()) EXPECT_EQ(c.thread, std::this_thread::get_id());
}

namespace {
std::atomic<bool> gInCallback{false};
void SleepingCallback(int code, std::wstring m, std::wstring d) {
  CallbackRecorder::Callback(code, std::move(m), std::move(d));
  gInCallback = true;
  std::this_thread::sleep_for(5s);
}
}  // namespace

TEST_F(CApiTest, ExitReturnsWithinASecondWhileAGameCallbackBlocks) {
  ASSERT_EQ(InitAndWait().code, 200);
  steam_standin::SetTicketAnswer(k_EResultAccessDenied, 0);
  NimoProxy::Login(SleepingCallback);  // -404 on the login wait thread, which then sleeps 5 s
  ASSERT_TRUE(Eventually([] { return gInCallback.load(); }));
  auto start = std::chrono::steady_clock::now();
  NimoProxy::Exit();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

TEST_F(CApiTest, GameOwnedSteamIsPumpedByTheGameAndNeverShutDownByUs) {
  ASSERT_EQ(nimo_set_steam_owner(NIMO_STEAM_OWNED_BY_GAME), NIMO_SET_OK);
  EXPECT_EQ(nimo_set_steam_owner(3), NIMO_SET_INVALID);
  nimo_init(nimo_test::kSandboxAppId, nimo_test::kSandboxAppKey, CallbackRecorder::CCallback, nullptr);
  ExpectNext(NIMO_STEAM_INIT_FAILURE, "Steam Init Failure!");  // the game has not started it yet
  ASSERT_EQ(SteamAPI_InitFlat(), 0);
  const int initCalls = steam_standin::InitCalls();
  nimo_init(nimo_test::kSandboxAppId, nimo_test::kSandboxAppKey, CallbackRecorder::CCallback, nullptr);
  ExpectNext(NIMO_OK);
  EXPECT_EQ(nimo_set_steam_owner(NIMO_STEAM_OWNED_BY_SDK), NIMO_SET_TOO_LATE);
  EXPECT_EQ(steam_standin::InitCalls(), initCalls);
  const int pumps = steam_standin::PumpCalls();
  nimo_login(CallbackRecorder::CCallback, nullptr);
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(steam_standin::PumpCalls(), pumps);  // no pump of ours
  EXPECT_EQ(rec().Count(), seen_);               // the ticket answer waits for the game's pump
  whileWaiting = [] { SteamAPI_RunCallbacks(); };
  ExpectNext(NIMO_OK);
  EXPECT_EQ(steam_standin::LastDispatchThread(), std::this_thread::get_id());
  // Purchases through the game's pump: Purchase.GameOwnedSteamPumpNeverWaitsForTheJournal; its Steam
  // left up at Exit: the random games.
}

TEST_F(CApiTest, NullAndInvalidUtf8Strings) {
  EXPECT_STREQ(nimo_version(), "2.0.0");
  nimo_init(nimo_test::kSandboxAppId, nimo_test::kSandboxAppKey, CallbackRecorder::CCallback, nullptr);
  ASSERT_EQ(Next().code, NIMO_OK);
  nimo_set_server_id(nullptr);
  nimo_set_nick_name(nullptr);
  nimo_set_game_user_id("\xff\xfeplayer");
  nimo_post_event("stage\xc3", "{\"k\":\"\xe4\xb8\"}", NAN);
  nimo_post_event(nullptr, nullptr, 1.0);
  nimo_call_pay(nullptr, nullptr, CallbackRecorder::CCallback, nullptr);
  ExpectNext(NIMO_NOT_LOGIN);
  nimo_init(nullptr, nullptr, nullptr, nullptr);  // no callback: nothing to call
  const std::string bad = "\xef\xbf\xbd";           // U+FFFD
  ASSERT_TRUE(Eventually([this] { return Server().Events().size() >= 3; }));
  nlohmann::json named, valued;
  for (const auto& e : Server().Events()) {
    if (e.json.value("event", "").rfind("zko_self_stage", 0) == 0) named = e.json;
    if (e.json.contains("value")) valued = e.json;
  }
  EXPECT_EQ(named["event"], "zko_self_stage" + bad);
  EXPECT_EQ(named["gameUserId"], bad + bad + "player");
  EXPECT_EQ(named["serverId"], "_unknown");
  EXPECT_EQ(named["context"]["k"], bad);
  EXPECT_EQ(valued["value"], 1.0);
}

// ---- settings: game's options, environment, defaults ----

namespace {

// Where the settings come from, and what Init then reaches. The built-in URLs
// point at a closed port; "sandbox" and "dead" name where a source points.
struct OptionsRow {
  const char* name;
  const char* gameUrls;     // api_base_url/track_url set by the game, or null
  const char* envUrls;      // NIMOSDK_API_BASE_URL/_TRACK_URL (with the sandbox's NIMOSDK_CA_FILE), or null
  const char* environment;  // "use" / "ignore"
  const char* gameCa;       // "sandbox", "foreign" (did not sign the server) or null
  const char* caOnly;
  bool systemTrustsSandbox;  // the system store holds the sandbox's CA
  int expect;
  const char* reason;  // in the message, or null
};

void PrintTo(const OptionsRow& row, std::ostream* os) { *os << row.name; }

class OptionsReach : public CApiTest, public ::testing::WithParamInterface<OptionsRow> {};

}  // namespace

TEST_P(OptionsReach, InitReachesWhatTheSettingsInForceSay) {
  const OptionsRow& r = GetParam();
  const std::string dead = "https://127.0.0.1:1";
  auto where = [&](const std::string& to, const char* path) {
    return to != "sandbox" ? dead + path : path == std::string("/sdkapi") ? Server().BaseUrl() : Server().TrackUrl();
  };
  NimoSdk::Api().UseUrls(dead + "/sdkapi", dead + "/data/h5/v1.do");
  ::unsetenv("NIMOSDK_CA_FILE");
  if (r.envUrls != nullptr) {
    ::setenv("NIMOSDK_API_BASE_URL", where(r.envUrls, "/sdkapi").c_str(), 1);
    ::setenv("NIMOSDK_TRACK_URL", where(r.envUrls, "/data/h5/v1.do").c_str(), 1);
    ::setenv("NIMOSDK_CA_FILE", Server().CaFile().c_str(), 1);
  }
  if (r.systemTrustsSandbox) ::setenv("SSL_CERT_FILE", Server().CaFile().c_str(), 1);
  if (r.gameUrls != nullptr) {
    ASSERT_EQ(nimo_set_option("api_base_url", where(r.gameUrls, "/sdkapi").c_str()), NIMO_SET_OK);
    ASSERT_EQ(nimo_set_option("track_url", where(r.gameUrls, "/data/h5/v1.do").c_str()), NIMO_SET_OK);
  }
  if (r.gameCa != nullptr) {
    const std::string ca = std::string(r.gameCa) == "sandbox" ? Server().CaFile() : TestCerts::Get().selfSigned.cert;
    ASSERT_EQ(nimo_set_option("ca_file", ca.c_str()), NIMO_SET_OK);
  }
  ASSERT_EQ(nimo_set_option("ca_only", r.caOnly), NIMO_SET_OK);
  ASSERT_EQ(nimo_set_option("environment", r.environment), NIMO_SET_OK);
  Call init = InitAndWait();
  EXPECT_EQ(init.code, r.expect) << init.message;
  EXPECT_TRUE(r.reason == nullptr || init.message.find(r.reason) != std::string::npos) << init.message;
}

INSTANTIATE_TEST_SUITE_P(
    Sources, OptionsReach,
    ::testing::Values(
        OptionsRow{"GameAlone", "sandbox", nullptr, "use", "sandbox", "0", false, NIMO_OK, nullptr},
        OptionsRow{"GameOverIgnoredEnvironment", "sandbox", "dead", "ignore", "sandbox", "0", false, NIMO_OK, nullptr},
        OptionsRow{"GameWinsOverEnvironment", "sandbox", "dead", "use", "sandbox", "0", false, NIMO_OK, nullptr},
        OptionsRow{"EnvironmentAlone", nullptr, "sandbox", "use", nullptr, "0", false, NIMO_OK, nullptr},
        OptionsRow{"EnvironmentIgnored", nullptr, "sandbox", "ignore", nullptr, "0", false, NIMO_HTTP_ERROR, nullptr},
        OptionsRow{"SystemStoreWhenNotPinned", "sandbox", nullptr, "use", "foreign", "0", true, NIMO_OK, nullptr},
        OptionsRow{"PinnedToAnotherCa", "sandbox", nullptr, "use", "foreign", "1", true, NIMO_HTTP_ERROR,
                   "证书验证未通过"}),
    [](const ::testing::TestParamInfo<OptionsRow>& info) { return std::string(info.param.name); });

TEST_F(CApiTest, OptionsAreCheckedAndFixedFromInitUntilExitReturned) {
  const std::string notPem = "not-a-certificate.pem";
  std::ofstream(notPem) << "-----BEGIN CERTIFICATE-----\nnonsense\n";
  const std::pair<const char*, std::string> bad[] = {
      {"api_base_url", "ftp://h/x"},     {"api_base_url", "https://"},        {"api_base_url", "https://u:p@h/"},
      {"api_base_url", "https://h:0/"},  {"track_url", "https://h:99999/"},   {"track_url", "https://h/a b"},
      {"io_timeout_ms", "0"},            {"io_timeout_ms", "-5"},             {"request_timeout_ms", "86400001"},
      {"connect_timeout_ms", "12ms"},    {"ca_only", "yes"},                  {"environment", "off"},
      {"ca_file", "/nonexistent/ca.pem"}, {"ca_file", notPem},                {"no_such_option", "1"}};
  for (const auto& [name, value] : bad) EXPECT_EQ(nimo_set_option(name, value.c_str()), NIMO_SET_INVALID) << name;

  char buf[32] = "x";
  EXPECT_EQ(nimo_get_option("no_such_option", buf, sizeof buf), -1);
  EXPECT_STREQ(buf, "");
  ASSERT_EQ(nimo_set_option("track_url", "https://h.example/\xc3\xa9t\xc3\xa9/"), NIMO_SET_OK);
  EXPECT_EQ(nimo_get_option("track_url", nullptr, 0), 24);
  EXPECT_EQ(nimo_get_option("track_url", buf, 20), 24);
  EXPECT_STREQ(buf, "https://h.example/");  // never half a character
  ASSERT_EQ(nimo_set_option("track_url", nullptr), NIMO_SET_OK);  // back to the default
  EXPECT_EQ(nimo_get_option("track_url", nullptr, 0), static_cast<int>(Server().TrackUrl().size()));
  ASSERT_EQ(nimo_set_option("api_base_url", (Server().BaseUrl() + "/").c_str()), NIMO_SET_OK);
  ASSERT_EQ(nimo_set_option("io_timeout_ms", "05000"), NIMO_SET_OK);

  ASSERT_EQ(InitAndWait().code, NIMO_OK);  // the final "/" of the base went
  EXPECT_EQ(nimo_set_option("io_timeout_ms", "6000"), NIMO_SET_TOO_LATE);
  EXPECT_EQ(nimo_set_option("io_timeout_ms", "x"), NIMO_SET_INVALID);
  EXPECT_EQ(nimo_get_option("io_timeout_ms", buf, sizeof buf), 4);
  EXPECT_STREQ(buf, "5000");
  nimo_exit();
  EXPECT_EQ(nimo_set_option("io_timeout_ms", "6000"), NIMO_SET_OK);
  EXPECT_EQ(nimo_get_option("io_timeout_ms", buf, sizeof buf), 4);
  EXPECT_STREQ(buf, "6000");
}

namespace {

// Mangled names of the exported C++ signatures.
const std::array<const char*, 12> kExports = {
    "_ZN9NimoProxy4InitENSt7__cxx1112basic_stringIwSt11char_traitsIwESaIwEEES5_PFviS5_S5_E",
    "_ZN9NimoProxy4ExitEv",
    "_ZN9NimoProxy5LoginEPFviNSt7__cxx1112basic_stringIwSt11char_traitsIwESaIwEEES5_E",
    "_ZN9NimoProxy6LogoutEv",
    "_ZN9NimoProxy7CallPayENSt7__cxx1112basic_stringIwSt11char_traitsIwESaIwEEES5_PFviS5_S5_E",
    "_ZN9NimoProxy14IsPayAvailableEv",
    "_ZN9NimoProxy9PostEventERKNSt7__cxx1112basic_stringIwSt11char_traitsIwESaIwEEES7_d",
    "_ZN9NimoProxy13QueryProductsEPFviNSt7__cxx1112basic_stringIwSt11char_traitsIwESaIwEEES5_E",
    "_ZN9NimoProxy13SetGameUserIdENSt7__cxx1112basic_stringIwSt11char_traitsIwESaIwEEE",
    "_ZN9NimoProxy8SetLevelEi",
    "_ZN9NimoProxy11SetNickNameENSt7__cxx1112basic_stringIwSt11char_traitsIwESaIwEEE",
    "_ZN9NimoProxy11SetServerIdENSt7__cxx1112basic_stringIwSt11char_traitsIwESaIwEEE",
};

const std::array<const char*, 21> kCFunctions = {
    "nimo_version",          "nimo_set_callback_mode", "nimo_set_steam_owner", "nimo_run_callbacks",
    "nimo_failure_reason",
    "nimo_init",             "nimo_exit",              "nimo_login",           "nimo_logout",
    "nimo_call_pay",         "nimo_is_pay_available",  "nimo_post_event",      "nimo_query_products",
    "nimo_set_game_user_id", "nimo_set_level",         "nimo_set_nick_name",   "nimo_set_server_id",
    "nimo_set_option",       "nimo_get_option",        "nimo_set_purchase_listener", "nimo_finish_purchase",
};

std::set<std::string> DefinedDynamicSymbols(const std::string& lib) {
  std::set<std::string> out;
  std::unique_ptr<FILE, int (*)(FILE*)> p(popen(("nm -D --defined-only '" + lib + "'").c_str(), "r"), pclose);
  char line[4096];
  while (p && std::fgets(line, sizeof line, p.get()) != nullptr) {
    std::string s(line);
    s.erase(s.find_last_not_of("\r\n") + 1);
    out.insert(s.substr(s.rfind(' ') + 1));  // the name, after the address and type
  }
  return out;
}

// The exported function of that name, as type F. The library is loaded once and
// never closed, as a game does: its singletons live as long as the process.
template <class F>
F Fn(const char* name) {
  static void* handle = dlopen(NIMO_SDK_LIB, RTLD_NOW | RTLD_LOCAL);
  return reinterpret_cast<F>(handle != nullptr ? dlsym(handle, name) : nullptr);
}

}  // namespace

TEST(Exports, ExactlyOursAreExported) {
  std::set<std::string> syms = DefinedDynamicSymbols(NIMO_SDK_LIB);
  ASSERT_FALSE(syms.empty());
  std::set<std::string> expected(kExports.begin(), kExports.end());
  expected.insert(kCFunctions.begin(), kCFunctions.end());
  for (const std::string& s : syms) {
    if (s == "_init" || s == "_fini" || s.rfind("__", 0) == 0) continue;  // toolchain and sanitizer runtime
    EXPECT_TRUE(expected.count(s) == 1) << "unexpected export: " << s;
  }
  for (const std::string& e : expected) EXPECT_TRUE(syms.count(e) == 1) << "missing export: " << e;
}

TEST(Exports, EveryCallBeforeInitIsSafe) {
  ASSERT_NE(Fn<void*>(kExports[1]), nullptr) << dlerror();
  Fn<void (*)(NimoProxy::ResultCallback)>(kExports[2])(nullptr);  // a null callback is never called
  Fn<void (*)(std::wstring, std::wstring, NimoProxy::ResultCallback)>(kExports[4])(L"p1", L"ext", nullptr);
  Fn<void (*)(std::wstring)>(kExports[10])(std::wstring(L"n\0ick", 5));
  Fn<void (*)(int)>(kExports[9])(-5);
  Fn<void (*)()>(kExports[3])();
  Fn<void (*)(const std::wstring&, const std::wstring&, double)>(kExports[6])(L"level_up", L"{not json", std::nan(""));
  EXPECT_FALSE(Fn<bool (*)()>(kExports[5])());

  auto exitSdk = Fn<void (*)()>(kExports[1]);
  exitSdk();
  exitSdk();  // a second Exit does nothing
}
