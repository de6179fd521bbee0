// End-to-end tests of the SDK: a temporary home for its files, the game's
// callbacks recorded, and the SDK pointed either at the sandbox server (SdkTest)
// or at a plain-HTTP stand-in whose answers a test writes by hand (ScriptedTest).
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/CallbackRecorder.h"
#include "support/RawServer.h"
#include "support/SandboxFixture.h"
#include "support/temp_data_home.h"

namespace nimo_test {

// The recorder's view shared by the fixtures below; Exit at the end of each test.
class CallbackTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Waits for the next callback after the ones already seen, calling whileWaiting
  // (when set) all the while; fails the test when none comes.
  Call Next(std::chrono::milliseconds limit = std::chrono::seconds(10));
  // Next, expected with this code and, unless null, this message.
  Call ExpectNext(int code, const char* message = nullptr);
  // No further callback within d.
  bool NoMoreCallbacks(std::chrono::milliseconds d = std::chrono::milliseconds(300));
  CallbackRecorder& rec() { return CallbackRecorder::Get(); }

  std::unique_ptr<TempDataHome> home_;
  std::size_t seen_ = 0;
  std::function<void()> whileWaiting;  // e.g. the game's poll or its Steam pump
};

class SdkTest : public CallbackTest {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Init with the sandbox game's keys; waits for its one callback.
  Call InitAndWait(const std::string& appId = kSandboxAppId, const std::string& appKey = kSandboxAppKey);
  // Login; waits for its one callback.
  Call LoginAndWait();
  // Init and login, both expected to succeed.
  void InitAndLogin();
  void Fail(nimo_sandbox::Endpoint e, nimo_sandbox::FaultMode mode, int times = -1, int code = 500,
            std::string msg = "Sandbox fault") {
    Server().SetFault(e, MakeFault(mode, times, code, std::move(msg)));
  }

  nimo_sandbox::Sandbox& Server() { return sandbox_->Server(); }
  // For a later run of the game in a child process (SpawnCurrentTest): this sandbox.
  std::vector<std::string> ChildEnv() {
    return {"NIMO_TEST_API_BASE=" + Server().BaseUrl(), "NIMO_TEST_TRACK_URL=" + Server().TrackUrl(),
            "NIMOSDK_CA_FILE=" + Server().CaFile(), "NIMO_STEAM_BRIDGE=" + Server().SteamBridge()};
  }

  std::unique_ptr<TestSandbox> sandbox_;
};

// The SDK against a plain-HTTP stand-in for the publisher's API whose answers a
// test writes by hand: for answers no sound server would give.
class ScriptedTest : public CallbackTest {
 protected:
  ScriptedTest();
  void SetUp() override;
  // Answers requests whose path ends with pathSuffix ("/v10/pay/products.do")
  // with HTTP 200 and this body; unknown paths get 404.
  void Answer(const std::string& pathSuffix, const std::string& body);
  int Count(const std::string& pathSuffix);

 private:
  std::string Route(const std::string& request);

  std::mutex mutex_;
  std::map<std::string, std::string> bodies_;  // guarded by mutex_
  std::map<std::string, int> counts_;          // guarded by mutex_
  RawServer server_;
};

}  // namespace nimo_test
