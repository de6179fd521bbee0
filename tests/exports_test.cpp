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

// The exported function of that name, as type F. The library is loaded once and
// never closed, as a game does: its singletons live as long as the process.
template <class F>
F Fn(const char* name) {
  static void* handle = dlopen(NIMO_SDK_LIB, RTLD_NOW | RTLD_LOCAL);
  return reinterpret_cast<F>(handle != nullptr ? dlsym(handle, name) : nullptr);
}

int gCalls = 0;
void CountingCallback(int, std::wstring, std::wstring) { ++gCalls; }

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
  auto isPay = Fn<bool (*)()>(kExports[5]);
  auto login = Fn<void (*)(Callback)>(kExports[2]);
  auto callPay = Fn<void (*)(std::wstring, std::wstring, Callback)>(kExports[4]);
  EXPECT_FALSE(isPay());
  login(CountingCallback);
  EXPECT_EQ(gCalls, 1);  // -401 on the calling thread
  login(nullptr);        // a null callback is never called
  callPay(L"p1", L"ext", CountingCallback);
  EXPECT_EQ(gCalls, 2);
  callPay(L"p1", L"ext", nullptr);
  Fn<void (*)(std::wstring)>(kExports[8])(L"u");
  Fn<void (*)(int)>(kExports[9])(-5);
  Fn<void (*)(std::wstring)>(kExports[10])(std::wstring(L"n\0ick", 5));
  Fn<void (*)(std::wstring)>(kExports[11])(L"");
  Fn<void (*)()>(kExports[3])();
  Fn<void (*)(const std::wstring&, const std::wstring&, double)>(kExports[6])(L"level_up", L"{not json", std::nan(""));
  EXPECT_FALSE(isPay());

  // The C functions, with null strings.
  using CCallback = void (*)(int, const char*, const char*, void*);
  CCallback counting = [](int, const char*, const char*, void* user) { ++*static_cast<int*>(user); };
  int cCalls = 0;
  Fn<void (*)(CCallback, void*)>("nimo_login")(counting, &cCalls);
  auto cPay = Fn<void (*)(const char*, const char*, CCallback, void*)>("nimo_call_pay");
  cPay(nullptr, nullptr, counting, &cCalls);
  cPay("p", "e", nullptr, nullptr);
  Fn<void (*)(const char*)>("nimo_set_nick_name")(nullptr);
  Fn<void (*)(const char*, const char*, double)>("nimo_post_event")(nullptr, nullptr, std::nan(""));
  EXPECT_EQ(cCalls, 2);
  EXPECT_EQ(Fn<int (*)()>("nimo_run_callbacks")(), 0);
  EXPECT_EQ(Fn<int (*)()>("nimo_is_pay_available")(), 0);
  auto exitSdk = Fn<void (*)()>(kExports[1]);
  exitSdk();
  exitSdk();  // a second Exit does nothing
}
