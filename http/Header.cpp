#include "http/Header.h"

#include "http/Strings.h"

namespace sion {

void Header::Add(const std::string& key, const std::string& value) { pairs_.emplace_back(key, value); }

std::string Header::Get(const std::string& key) const {
  const std::string lowered = ToLower(key);
  for (auto it = pairs_.rbegin(); it != pairs_.rend(); ++it) {
    if (it->first == lowered) return it->second;
  }
  return {};
}

}  // namespace sion
