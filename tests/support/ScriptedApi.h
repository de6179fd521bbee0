// A plain-HTTP stand-in for the publisher's API whose answers a test writes by
// hand, byte for byte: for answers no sound server would give.
#pragma once

#include <map>
#include <mutex>
#include <string>

#include "support/RawServer.h"

namespace nimo_test {

class ScriptedApi {
 public:
  ScriptedApi();
  // Answers requests whose path ends with pathSuffix ("/v10/pay/products.do")
  // with HTTP 200 and this body; unknown paths get 404.
  void Answer(const std::string& pathSuffix, const std::string& body);
  // Points the SDK's API and track URLs here.
  void PointSdkAtIt();
  int Count(const std::string& pathSuffix);

 private:
  std::string Route(const std::string& request);

  std::mutex mutex_;
  std::map<std::string, std::string> bodies_;  // guarded by mutex_
  std::map<std::string, int> counts_;          // guarded by mutex_
  RawServer server_;
};

}  // namespace nimo_test
