#include "support/ScriptedApi.h"

#include "Sdk/CNimoApi.h"
#include "Sdk/Singletons.h"

namespace nimo_test {

ScriptedApi::ScriptedApi()
    : server_([this](RawConn& conn) {
        std::string request = conn.ReadRequest();
        if (request.empty()) return;
        conn.Write(Route(request));
      }) {}

void ScriptedApi::Answer(const std::string& pathSuffix, const std::string& body) {
  std::lock_guard<std::mutex> lock(mutex_);
  bodies_[pathSuffix] = body;
}

void ScriptedApi::PointSdkAtIt() { NimoSdk::Api().UseUrls(server_.Url("/sdkapi"), server_.Url("/data/h5/v1.do")); }

int ScriptedApi::Count(const std::string& pathSuffix) {
  std::lock_guard<std::mutex> lock(mutex_);
  return counts_[pathSuffix];
}

std::string ScriptedApi::Route(const std::string& request) {
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
