// The client's error types. Inside sion failures are exceptions; callers at
// its edge (the pool) turn them into text and keep the kind, so a caller can
// tell a refusal from a time-out without reading the (Chinese) message.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace sion {

enum class ErrorKind {
  Other,      // anything below: socket creation, poll errors, a bad URL
  Timeout,    // a connect, read, write or the whole request took too long
  Refused,    // the peer actively refused the connection
  Dns,        // the host name could not be resolved
  TlsVerify,  // the server's certificate was not accepted
  Tls,        // any other TLS failure
  Dropped,    // the peer closed or reset the connection before the answer was whole
  TooLarge,   // the answer passed one of our bounds
  Protocol,   // the answer did not follow HTTP/1.1
  Aborted,    // the request was cancelled (the pool stopped)
};

class Error : public std::exception {
 public:
  Error() = default;
  explicit Error(std::string message, ErrorKind kind = ErrorKind::Other, std::string detail = {})
      : message_(std::move(message)), detail_(std::move(detail)), kind_(kind) {}
  const char* what() const noexcept override { return message_.c_str(); }
  ErrorKind kind() const noexcept { return kind_; }
  // One English line for logs and the C interface; may be empty.
  const std::string& detail() const noexcept { return detail_; }

 private:
  std::string message_;
  std::string detail_;
  ErrorKind kind_ = ErrorKind::Other;
};

// The peer closed the connection before the answer was complete.
class PeerConnectionClose : public Error {
 public:
  PeerConnectionClose()
      : Error(std::string(), ErrorKind::Dropped, "connection closed by the server before the answer was complete") {}
};

}  // namespace sion
