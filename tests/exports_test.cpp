// The library as a game sees it: loaded with dlopen, the twelve C++ exports resolved
// by their mangled names and the nimo_* C functions by theirs, nothing else of ours
// visible, and every call safe before Init.
#include <cxxabi.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <memory>
#include <set>
#include <string>

namespace {

using Callback = void (*)(int, std::wstring, std::wstring);

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

const std::array<const char*, 16> kCFunctions = {
    "nimo_version",          "nimo_set_callback_mode", "nimo_set_steam_owner", "nimo_run_callbacks",
    "nimo_init",             "nimo_exit",              "nimo_login",           "nimo_logout",
    "nimo_call_pay",         "nimo_is_pay_available",  "nimo_post_event",      "nimo_query_products",
    "nimo_set_game_user_id", "nimo_set_level",         "nimo_set_nick_name",   "nimo_set_server_id",
};

// Loaded once and never closed, as a game does: the SDK's singletons live as
// long as the process, so unloading would only strand them.
void* Library() {
  static void* handle = dlopen(NIMO_SDK_LIB, RTLD_NOW | RTLD_LOCAL);
  return handle;
}

std::set<std::string> DefinedDynamicSymbols(const std::string& lib) {
  std::set<std::string> out;
  std::string cmd = "nm -D --defined-only '" + lib + "'";
  std::unique_ptr<FILE, int (*)(FILE*)> p(popen(cmd.c_str(), "r"), pclose);
  if (!p) return out;
  char line[4096];
  while (std::fgets(line, sizeof line, p.get()) != nullptr) {
    std::string s(line);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    auto sp = s.rfind(' ');
    if (sp != std::string::npos) out.insert(s.substr(sp + 1));
  }
  return out;
}

int gCalls = 0;
void CountingCallback(int, std::wstring, std::wstring) { ++gCalls; }

}  // namespace

TEST(Exports, AllResolveByName) {
  void* h = Library();
  ASSERT_NE(h, nullptr) << dlerror();
  for (const char* name : kExports) EXPECT_NE(dlsym(h, name), nullptr) << name;
  for (const char* name : kCFunctions) EXPECT_NE(dlsym(h, name), nullptr) << name;
}

TEST(Exports, NothingElseOfOursIsExported) {
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
  void* h = Library();
  ASSERT_NE(h, nullptr) << dlerror();
  auto sym = [&](int i) { return dlsym(h, kExports[static_cast<std::size_t>(i)]); };
  auto login = reinterpret_cast<void (*)(Callback)>(sym(2));
  auto logout = reinterpret_cast<void (*)()>(sym(3));
  auto callPay = reinterpret_cast<void (*)(std::wstring, std::wstring, Callback)>(sym(4));
  auto isPay = reinterpret_cast<bool (*)()>(sym(5));
  auto postEvent = reinterpret_cast<void (*)(const std::wstring&, const std::wstring&, double)>(sym(6));
  auto setGameUserId = reinterpret_cast<void (*)(std::wstring)>(sym(8));
  auto setLevel = reinterpret_cast<void (*)(int)>(sym(9));
  auto setNick = reinterpret_cast<void (*)(std::wstring)>(sym(10));
  auto setServer = reinterpret_cast<void (*)(std::wstring)>(sym(11));
  auto exitSdk = reinterpret_cast<void (*)()>(sym(1));

  EXPECT_FALSE(isPay());
  gCalls = 0;
  login(CountingCallback);
  EXPECT_EQ(gCalls, 1);  // -401 on the calling thread
  login(nullptr);        // a null callback is never called
  callPay(L"p1", L"ext", CountingCallback);
  EXPECT_EQ(gCalls, 2);
  callPay(L"p1", L"ext", nullptr);
  setGameUserId(L"u");
  setLevel(-5);
  setNick(std::wstring(L"n\0ick", 5));
  setServer(L"");
  logout();
  postEvent(L"level_up", L"{not json", std::nan(""));
  EXPECT_FALSE(isPay());

  // The C functions, with null strings.
  using CCallback = void (*)(int, const char*, const char*, void*);
  auto cLogin = reinterpret_cast<void (*)(CCallback, void*)>(dlsym(h, "nimo_login"));
  auto cPay = reinterpret_cast<void (*)(const char*, const char*, CCallback, void*)>(dlsym(h, "nimo_call_pay"));
  auto cSetNick = reinterpret_cast<void (*)(const char*)>(dlsym(h, "nimo_set_nick_name"));
  auto cPost = reinterpret_cast<void (*)(const char*, const char*, double)>(dlsym(h, "nimo_post_event"));
  auto cPoll = reinterpret_cast<int (*)()>(dlsym(h, "nimo_run_callbacks"));
  auto cIsPay = reinterpret_cast<int (*)()>(dlsym(h, "nimo_is_pay_available"));
  CCallback counting = [](int, const char*, const char*, void* user) { ++*static_cast<int*>(user); };
  int cCalls = 0;
  cLogin(counting, &cCalls);
  cPay(nullptr, nullptr, counting, &cCalls);
  cPay("p", "e", nullptr, nullptr);
  cSetNick(nullptr);
  cPost(nullptr, nullptr, std::nan(""));
  EXPECT_EQ(cCalls, 2);
  EXPECT_EQ(cPoll(), 0);
  EXPECT_EQ(cIsPay(), 0);
  exitSdk();
  exitSdk();  // a second Exit does nothing
}
