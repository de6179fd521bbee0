// An ordered list of header pairs, kept exactly as added (duplicates too).
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace sion {

class Header {
 public:
  using Pair = std::pair<std::string, std::string>;

  // Appends at the end; no case change, no replacement.
  void Add(const std::string& key, const std::string& value);

  // The value last added under key lowered byte by byte, or "" when none. Only
  // pairs stored with lower-case keys can be found (the response side stores
  // its keys lowered).
  std::string Get(const std::string& key) const;

  const std::vector<Pair>& Pairs() const { return pairs_; }
  std::size_t Size() const { return pairs_.size(); }

 private:
  std::vector<Pair> pairs_;
};

}  // namespace sion
