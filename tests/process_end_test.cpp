// The game ends without Exit (exit() or unloading the library) while requests are in flight or stuck on
// a server that never answers: the process must end promptly and cleanly every time, never by a signal.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "support/RawServer.h"
#include "support/child_process.h"

namespace {

using Callback = void (*)(int, std::wstring, std::wstring);
using InitFn = void (*)(std::wstring, std::wstring, Callback);
using QueryFn = void (*)(Callback);
using PostEventFn = void (*)(const std::wstring&, const std::wstring&, double);

void Ignore(int, std::wstring, std::wstring) {}

// The game: loads the library as games do, Inits, posts a burst of work, ends at a moment varying per run.
[[noreturn]] void PlayAndQuit(bool unload) {
  void* h = dlopen(NIMO_SDK_LIB, RTLD_NOW | RTLD_LOCAL);
  if (h == nullptr) std::_Exit(10);
  auto init = reinterpret_cast<InitFn>(
      dlsym(h, "_ZN9NimoProxy4InitENSt7__cxx1112basic_stringIwSt11char_traitsIwESaIwEEES5_PFviS5_S5_E"));
  auto query = reinterpret_cast<QueryFn>(
      dlsym(h, "_ZN9NimoProxy13QueryProductsEPFviNSt7__cxx1112basic_stringIwSt11char_traitsIwESaIwEEES5_E"));
  auto post = reinterpret_cast<PostEventFn>(
      dlsym(h, "_ZN9NimoProxy9PostEventERKNSt7__cxx1112basic_stringIwSt11char_traitsIwESaIwEEES7_d"));
  if (init == nullptr || query == nullptr || post == nullptr) std::_Exit(11);
  init(L"10001", L"key", Ignore);
  for (int i = 0; i < 10; ++i) {
    post(L"level_up", L"{\"level\":1}", 1.0);
    query(Ignore);
  }
  usleep(static_cast<useconds_t>(getpid() % 16) * 10000);
  if (unload) {
    dlclose(h);
    usleep(300000);  // the game goes on without the library
  }
  std::exit(0);
}

TEST(ProcessEnd, EndingWithoutExitNeverCrashesOrHangs) {
  const std::string mode = nimo_test::ChildMode();
  if (!mode.empty()) PlayAndQuit(mode == "unload");

  // Answers arrive while the game quits: some at once, some a little later, every third never.
  std::atomic<int> served{0};
  nimo_test::RawServer server([&served](nimo_test::RawConn& c) {
    const std::string request = c.ReadRequest();
    if (++served % 3 == 0) return c.WaitForClose();
    c.Sleep(std::chrono::milliseconds(request.size() * 7 % 200));
    const std::string body = R"({"code":200,"msg":"ok","isTestDevice":1})";
    c.Write("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
  }, nimo_test::TestCerts::Get().server);
  const std::vector<std::string> env = {"NIMOSDK_API_BASE_URL=" + server.Url("/sdkapi", "https", "localhost"),
                                        "NIMOSDK_TRACK_URL=" + server.Url("/data/h5/v1.do", "https", "localhost"),
                                        "NIMOSDK_CA_FILE=" + nimo_test::TestCerts::Get().caFile};
  for (const char* how : {"exit", "unload"}) {
    for (int run = 0; run < 12; ++run) {
      const auto start = std::chrono::steady_clock::now();
      pid_t pid = nimo_test::SpawnCurrentTest(how, env);
      ASSERT_GT(pid, 0);
      const int rc = nimo_test::WaitChild(pid, std::chrono::seconds(10));
      EXPECT_EQ(rc, 0) << how << " run " << run << (rc > 128 ? ": killed by a signal" : "");
      // Start-up and play take well under a second.
      EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3)) << how << " run " << run;
    }
  }
}

}  // namespace
