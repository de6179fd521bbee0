// Signed request bodies for the sandbox's default game, made with the SDK's own
// builders, for tests that talk to the sandbox without the SDK's transport.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "Sdk/CNimoApi.h"
#include "support/SandboxFixture.h"

namespace nimo_test {

constexpr const char* kTestSteamId = "76561197960287930";

// The core parameters of the sandbox's game "10001" on client "test-client", Steam app 480.
NimoSdk::CoreParams SandboxParams(const std::string& appId = kSandboxAppId, const std::string& appKey = kSandboxAppKey);

// A create-order record for productId as the SDK fills it.
NimoSdk::CreateOrderParams OrderFor(const std::string& productId);

// A pay-result record for an order the sandbox answered with.
NimoSdk::PayResultParams ReportFor(const nimo_sandbox::Order& order, const std::string& status);

// POST and parse; a non-JSON answer gives a discarded value.
nlohmann::json CallSandbox(TestSandbox& sandbox, nimo_sandbox::Endpoint endpoint, const std::string& body);

struct SandboxLogin {
  std::string token;
  std::string userId;  // decimal text of the numeric id
};
// Logs steamId in (game "10001" unless params say otherwise); empty userId when refused.
SandboxLogin LoginAtSandbox(TestSandbox& sandbox, const std::string& steamId = kTestSteamId,
                            const NimoSdk::CoreParams& params = SandboxParams());

// A sandbox of its own, not pointed at by the SDK, for tests of the server alone.
class SandboxServerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(sb.ok()) << sb.error(); }
  // Logs steamId in and orders productId; the sandbox's order record.
  nimo_sandbox::Order Order(const std::string& productId = "gem_60", const std::string& steamId = kTestSteamId);
  // Reports the order's outcome as the SDK would; the answer.
  nlohmann::json Report(const nimo_sandbox::Order& order, const std::string& status);

  TestSandbox sb{{}, false};
  NimoSdk::CoreParams p = SandboxParams();
};

}  // namespace nimo_test
