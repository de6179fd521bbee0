// The SDK's only way to its servers: one POST through the process-wide pool.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "Sdk/HttpResp.h"

namespace sion {
class Header;
class Async;
struct AsyncResponse;
}  // namespace sion

namespace NimoSdk {

class CNimoHttp {
 public:
  // Returns at once; callback later runs on a pool worker with the answer. A null
  // header means one "content-type: application/x-www-form-urlencoded"; a given
  // list is copied before the call returns.
  static void PostCallback(const std::string& url, const std::string& body, std::function<void(HttpResp)> callback,
                           sion::Header* header);
  // As PostCallback, for analytics: sent by the pool's low-priority workers,
  // never by the six that carry login and payment requests.
  static void PostInBackground(const std::string& url, const std::string& body,
                               std::function<void(HttpResp)> callback, sion::Header* header);

  // The record a completed request becomes (the handler's argument).
  static HttpResp ToHttpResp(const sion::AsyncResponse& answer);

  // The process-wide pool of six workers, and four below the game's priority
  // for analytics: InitSdk starts it, Exit stops it (each session has its own).
  static sion::Async& Pool();
  // Never throw. StartPool is false when the pool was already started (or could
  // not be); StopPool returns by deadline whatever the network does.
  static bool StartPool();
  static void StopPool(std::chrono::steady_clock::time_point deadline);
  // A new session: a stopped pool is replaced by a fresh one, not started yet.
  static void RenewPool();

 private:
  static void Post(bool background, const std::string& url, const std::string& body,
                   std::function<void(HttpResp)> callback, sion::Header* header);
  static std::function<void(sion::AsyncResponse)> SionCallback(std::function<void(HttpResp)> callback,
                                                              const std::string& url);
};

}  // namespace NimoSdk
