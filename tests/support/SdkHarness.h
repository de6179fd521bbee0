// End-to-end tests of the SDK: a temporary home for its files, the sandbox server
// with the SDK and the Steam stand-in pointed at it, short test periods, and the
// game's callbacks recorded.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "support/CallbackRecorder.h"
#include "support/SandboxFixture.h"
#include "support/temp_data_home.h"

namespace nimo_test {

class SdkTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Override to start the sandbox differently.
  virtual nimo_sandbox::Options SandboxOptions() { return {}; }

  // Init with the sandbox game's keys; waits for its one callback.
  Call InitAndWait(const std::string& appId = kSandboxAppId, const std::string& appKey = kSandboxAppKey);
  // Login; waits for its one callback.
  Call LoginAndWait();
  // Init and login, both expected to succeed.
  void InitAndLogin();
  // Waits for the next callback after the ones already seen; fails the test when none comes.
  Call Next(std::chrono::milliseconds limit = std::chrono::seconds(10));
  // No further callback within d.
  bool NoMoreCallbacks(std::chrono::milliseconds d = std::chrono::milliseconds(300));

  nimo_sandbox::Sandbox& Server() { return sandbox_->Server(); }
  CallbackRecorder& rec() { return CallbackRecorder::Get(); }

  std::unique_ptr<TempDataHome> home_;
  std::unique_ptr<TestSandbox> sandbox_;
  std::size_t seen_ = 0;
};

}  // namespace nimo_test
