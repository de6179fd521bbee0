#include "support/SandboxFixture.h"

#define CPPHTTPLIB_OPENSSL_SUPPORT
#include <gtest/gtest.h>
#include <httplib.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>

#include "Sdk/CNimoApi.h"
#include "Sdk/Singletons.h"
#include "platform/steam/steam_control.h"

namespace nimo_test {
namespace {

std::string MakeTempDir(const char* prefix) {
  std::string pattern = (std::filesystem::temp_directory_path() / (std::string(prefix) + "XXXXXX")).string();
  char* made = ::mkdtemp(pattern.data());
  return made != nullptr ? std::string(made) : std::string();
}

RawAnswer Request(nimo_sandbox::Sandbox& s, const std::function<httplib::Result(httplib::SSLClient&)>& send,
                  int timeoutMs) {
  httplib::SSLClient client("127.0.0.1", s.Port());
  client.set_ca_cert_path(s.CaFile().c_str());
  client.enable_server_certificate_verification(true);
  client.set_connection_timeout(std::chrono::milliseconds(timeoutMs));
  client.set_read_timeout(std::chrono::milliseconds(timeoutMs));
  client.set_write_timeout(std::chrono::milliseconds(timeoutMs));
  httplib::Result r = send(client);
  RawAnswer a;
  if (r) {
    a.status = r->status;
    a.body = r->body;
  } else {
    a.error = httplib::to_string(r.error());
  }
  return a;
}

}  // namespace

std::string SharedSandboxCertDir() {
  struct Dir {
    std::string path = MakeTempDir("nimo-sandbox-certs-");
    ~Dir() {
      std::error_code ec;
      if (!path.empty()) std::filesystem::remove_all(path, ec);
    }
  };
  static const Dir dir;
  return dir.path;
}

TestSandbox::TestSandbox(nimo_sandbox::Options options, bool pointSdk) {
  if (options.stateDir.empty()) {
    options.stateDir = MakeTempDir("nimo-sandbox-");
    ownsState_ = true;
  }
  if (options.certDir.empty()) options.certDir = SharedSandboxCertDir();
  const char* verbose = std::getenv("NIMO_SANDBOX_LOG");
  if (verbose != nullptr && *verbose != '\0' && *verbose != '0' && !options.log) {
    options.log = [](const std::string& line) { std::fprintf(stderr, "[sandbox] %s\n", line.c_str()); };
  }
  stateDir_ = options.stateDir;
  server_ = std::make_unique<nimo_sandbox::Sandbox>(std::move(options));
  ok_ = server_->Start(&error_);
  if (!ok_) {
    ADD_FAILURE() << "sandbox did not start: " << error_;
    return;
  }
  if (pointSdk) PointSdkAtIt();
}

TestSandbox::~TestSandbox() {
  Stop();
  if (!ownsState_) return;
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  bool failed = info != nullptr && info->result() != nullptr && info->result()->Failed();
  if (failed) {
    std::fprintf(stderr, "sandbox state kept in %s\n", stateDir_.c_str());
  } else {
    std::error_code ec;
    std::filesystem::remove_all(stateDir_, ec);
  }
}

void TestSandbox::PointSdkAtIt() {
  NimoSdk::Api().UseUrls(server_->BaseUrl(), server_->TrackUrl());
  ::setenv("NIMOSDK_CA_FILE", server_->CaFile().c_str(), 1);
  steam_standin::SetBridge(server_->SteamBridge());
}

std::chrono::milliseconds TestSandbox::Stop() {
  auto began = std::chrono::steady_clock::now();
  if (!stopped_ && server_) server_->Stop();
  stopped_ = true;
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began);
}

RawAnswer TestSandbox::Post(const std::string& path, const std::string& body, const std::string& contentType,
                            int timeoutMs) {
  return Request(
      *server_, [&](httplib::SSLClient& c) { return c.Post(path.c_str(), body, contentType.c_str()); }, timeoutMs);
}

RawAnswer TestSandbox::Get(const std::string& path, int timeoutMs) {
  return Request(*server_, [&](httplib::SSLClient& c) { return c.Get(path.c_str()); }, timeoutMs);
}

}  // namespace nimo_test
