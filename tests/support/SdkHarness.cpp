#include "support/SdkHarness.h"

#include <cstdlib>

#include "Sdk/CNimoApi.h"
#include "Sdk/CNimoCore.h"
#include "Sdk/CNimoPay.h"
#include "Sdk/Singletons.h"
#include "nimosdk64.h"
#include "support/child_process.h"

namespace nimo_test {

using namespace std::chrono_literals;

void CallbackTest::SetUp() {
  home_ = std::make_unique<TempDataHome>();
  NimoSdk::Core().SetPumpPeriod(10ms);
  NimoSdk::Core().SetTicketPollPeriod(10ms);
  NimoSdk::Pay().SetRetryBackoff(20);
}

void CallbackTest::TearDown() {
  NimoProxy::Exit();
  home_.reset();
}

Call CallbackTest::Next(std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (whileWaiting && rec().Count() <= seen_ && std::chrono::steady_clock::now() < end) {
    whileWaiting();
    std::this_thread::sleep_for(2ms);
  }
  if (!rec().WaitFor(seen_ + 1, whileWaiting ? 0ms : limit)) {
    ADD_FAILURE() << "no callback within " << limit.count() << " ms";
    return Call{-999999, "none", "", {}, nullptr};
  }
  return rec().Calls()[seen_++];
}

Call CallbackTest::ExpectNext(int code, const char* message) {
  Call call = Next();
  EXPECT_EQ(call.code, code) << call.message << " " << call.data;
  EXPECT_TRUE(message == nullptr || call.message == message) << call.message;
  return call;
}

bool CallbackTest::NoMoreCallbacks(std::chrono::milliseconds d) {
  std::this_thread::sleep_for(d);
  return rec().Count() == seen_;
}

void SdkTest::SetUp() {
  CallbackTest::SetUp();
  const char* parentBase = std::getenv("NIMO_TEST_API_BASE");
  const char* parentTrack = std::getenv("NIMO_TEST_TRACK_URL");
  if (!ChildMode().empty() && parentBase != nullptr && parentTrack != nullptr) {
    // A second run of the game, talking to the parent's sandbox.
    NimoSdk::Api().UseUrls(parentBase, parentTrack);
  } else {
    sandbox_ = std::make_unique<TestSandbox>();
    ASSERT_TRUE(sandbox_->ok()) << sandbox_->error();
  }
}

void SdkTest::TearDown() {
  NimoProxy::Exit();
  sandbox_.reset();
  CallbackTest::TearDown();
}

Call SdkTest::InitAndWait(const std::string& appId, const std::string& appKey) {
  NimoProxy::Init(std::wstring(appId.begin(), appId.end()), std::wstring(appKey.begin(), appKey.end()),
                  CallbackRecorder::Callback);
  return Next();
}

Call SdkTest::LoginAndWait() {
  NimoProxy::Login(CallbackRecorder::Callback);
  return Next();
}

void SdkTest::InitAndLogin() {
  Call init = InitAndWait();
  ASSERT_EQ(init.code, 200) << init.message;
  Call login = LoginAndWait();
  ASSERT_EQ(login.code, 200) << login.message << " " << login.data;
}

ScriptedTest::ScriptedTest()
    : server_([this](RawConn& conn) {
        std::string request = conn.ReadRequest();
        if (!request.empty()) conn.Write(Route(request));
      }) {}

void ScriptedTest::SetUp() {
  CallbackTest::SetUp();
  NimoSdk::Api().UseUrls(server_.Url("/sdkapi"), server_.Url("/data/h5/v1.do"));
}

void ScriptedTest::Answer(const std::string& pathSuffix, const std::string& body) {
  std::lock_guard<std::mutex> lock(mutex_);
  bodies_[pathSuffix] = body;
}

int ScriptedTest::Count(const std::string& pathSuffix) {
  std::lock_guard<std::mutex> lock(mutex_);
  return counts_[pathSuffix];
}

std::string ScriptedTest::Route(const std::string& request) {
  std::string line = request.substr(0, request.find("\r\n"));
  std::string path = line.substr(line.find(' ') + 1);
  path = path.substr(0, path.find(' '));
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& [suffix, body] : bodies_) {
    if (path.size() >= suffix.size() && path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0) {
      ++counts_[suffix];
      return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    }
  }
  return "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
}

}  // namespace nimo_test
