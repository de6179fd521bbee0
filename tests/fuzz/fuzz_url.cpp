// The URL rule and the request bytes built from it: nothing a URL holds may
// end the request line early (no header smuggling).
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <string>

#include "http/Request.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  sion::Request r;
  r.SetUrl(std::string(reinterpret_cast<const char*>(data), size)).SetBody("a=1").SetMethod(sion::Method::Post);
  try {
    r.CheckMethod();
    r.ParseUrl();
  } catch (const std::exception&) {
    return 0;
  }
  if (r.protocol != "http" && r.protocol != "https") std::abort();
  r.Serialize();
  const std::string text(r.source.begin(), r.source.end());
  const std::size_t firstLineEnd = text.find("\r\n");
  if (text.find_first_of("\r\n") != firstLineEnd) std::abort();
  return 0;
}
