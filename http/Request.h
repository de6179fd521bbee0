// One HTTP/1.1 request: the settings, the URL rule and the exact bytes written.
// Send opens a connection for this request alone and closes it after the answer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "http/Header.h"
#include "http/Response.h"

namespace sion {

class AbortHandle;

enum class Method { Get = 0, Post = 1, Put = 2, Delete = 3 };

class Request {
 public:
  std::vector<char> source;  // the serialised request, filled by Send
  std::string method;
  std::string path;      // from the URL at send time
  std::string protocol;  // "http" or "https"
  std::string ip;        // dotted IPv4 address, filled when connecting
  std::string url;
  std::string host;
  std::vector<char> body;
  std::string protocol_version = "HTTP/1.1";
  Header header;
  std::int32_t port = 80;

  // Setters chain.
  Request& SetUrl(const std::string& text);
  Request& SetBody(const std::string& text);
  Request& SetHeader(const Header& list);
  Request& SetMethod(Method m);  // an unknown value leaves the method unchanged

  // Performs the request. Throws std::invalid_argument (no method, bad URL) and
  // std::out_of_range (port beyond int) before any network use, sion::Error for
  // everything after. abort, when given, lets another thread end it at once.
  Response Send(AbortHandle* abort = nullptr);

  // The steps of Send that need no network, in its order; public for tests.
  void CheckMethod() const;
  void ParseUrl();   // fills protocol, host, port and path
  void Serialize();  // adds Host and Content-Length, then fills source
};

// The dotted text of host's first IPv4 address; sion::Error when it cannot be resolved.
std::string GetIpByHost(const std::string& host);

}  // namespace sion
