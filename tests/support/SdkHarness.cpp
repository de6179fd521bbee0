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

void SdkTest::SetUp() {
  home_ = std::make_unique<TempDataHome>();
  const char* parentBase = std::getenv("NIMO_TEST_API_BASE");
  const char* parentTrack = std::getenv("NIMO_TEST_TRACK_URL");
  if (!ChildMode().empty() && parentBase != nullptr && parentTrack != nullptr) {
    // A second run of the game, talking to the parent's sandbox.
    NimoSdk::Api().UseUrls(parentBase, parentTrack);
  } else {
    sandbox_ = std::make_unique<TestSandbox>(SandboxOptions());
    ASSERT_TRUE(sandbox_->ok()) << sandbox_->error();
  }
  NimoSdk::Core().SetPumpPeriod(10ms);
  NimoSdk::Core().SetTicketPollPeriod(10ms);
  NimoSdk::Pay().SetRetryBackoff(20);
}

void SdkTest::TearDown() {
  NimoProxy::Exit();
  sandbox_.reset();
  home_.reset();
}

Call SdkTest::Next(std::chrono::milliseconds limit) {
  if (!rec().WaitFor(seen_ + 1, limit)) {
    ADD_FAILURE() << "no callback within " << limit.count() << " ms";
    return Call{-999999, "none", "", {}};
  }
  return rec().Calls()[seen_++];
}

bool SdkTest::NoMoreCallbacks(std::chrono::milliseconds d) {
  std::this_thread::sleep_for(d);
  return rec().Count() == seen_;
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

}  // namespace nimo_test
