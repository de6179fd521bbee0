// The client's error types. Inside sion failures are exceptions; callers at
// its edge (the pool) turn them into text.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace sion {

class Error : public std::exception {
 public:
  Error() = default;
  explicit Error(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// The peer closed the connection before the answer was complete.
class PeerConnectionClose : public Error {
 public:
  PeerConnectionClose() = default;
};

}  // namespace sion
