// The sandbox publisher server inside a test process: started on 127.0.0.1 with
// a free port and a fresh state folder, with the SDK (API and track URLs, CA
// file) and the Steam stand-in (bridge address) pointed at it. Point the SDK at
// it before the first request: the CA file is read at the first TLS use.
//
//   nimo_test::TestSandbox sandbox;            // or TestSandbox(options)
//   ASSERT_TRUE(sandbox.ok());
//   sandbox->SetFault("login", {nimo_sandbox::FaultMode::Http502});
//   ... run the SDK ...
//   EXPECT_EQ(sandbox->Orders().size(), 1u);
//
// Set NIMO_SANDBOX_LOG=1 to see every request on stderr. The state folder is
// removed at the end unless the test failed (its path is printed then).
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "tools/sandbox/Sandbox.h"

namespace nimo_test {

// The default catalogue's games.
constexpr const char* kSandboxAppId = "10001";
constexpr const char* kSandboxAppKey = "sandbox-key-10001";
constexpr const char* kSandboxOtherAppId = "10002";
constexpr const char* kSandboxOtherAppKey = "sandbox-key-10002";

struct RawAnswer {
  int status = 0;     // HTTP status; 0 when no answer came
  std::string body;
  std::string error;  // why no answer came
};

class TestSandbox {
 public:
  // options.stateDir empty: a fresh folder under /tmp. pointSdk false leaves the
  // SDK and the stand-in alone (for tests of the server only).
  explicit TestSandbox(nimo_sandbox::Options options = {}, bool pointSdk = true);
  ~TestSandbox();
  TestSandbox(const TestSandbox&) = delete;
  TestSandbox& operator=(const TestSandbox&) = delete;

  bool ok() const { return ok_; }
  const std::string& error() const { return error_; }
  nimo_sandbox::Sandbox& Server() { return *server_; }
  nimo_sandbox::Sandbox* operator->() { return server_.get(); }
  const std::string& StateDir() const { return stateDir_; }

  // NimoSdk::Api().UseUrls, NIMOSDK_CA_FILE and steam_standin::SetBridge.
  void PointSdkAtIt();
  // Stops the server now (the destructor does it otherwise); returns how long it took.
  std::chrono::milliseconds Stop();

  // Plain HTTPS requests to the sandbox, verifying its certificate, from a
  // client that is not the SDK's. path as "/sdkapi/v22/init.do".
  RawAnswer Post(const std::string& path, const std::string& body,
                 const std::string& contentType = "application/x-www-form-urlencoded", int timeoutMs = 5000);
  RawAnswer Get(const std::string& path, int timeoutMs = 5000);

 private:
  std::unique_ptr<nimo_sandbox::Sandbox> server_;
  std::string stateDir_;
  bool ownsState_ = false;
  bool ok_ = false;
  bool stopped_ = false;
  std::string error_;
};

// A sandbox fault for `times` requests (-1: every one).
inline nimo_sandbox::Fault MakeFault(nimo_sandbox::FaultMode mode, int times = -1, int code = 500,
                                     std::string msg = "Sandbox fault", int delayMs = 0) {
  return {mode, delayMs, code, std::move(msg), times};
}

// The CA and server certificate all sandboxes of this process share, so that a
// second sandbox in one test is trusted by the SDK's once-built TLS context.
std::string SharedSandboxCertDir();

}  // namespace nimo_test
