// Where the response parser reads from: a connection, or bytes in memory in tests.
#pragma once

#include <cstddef>

namespace sion {

class Stream {
 public:
  virtual ~Stream() = default;
  // Reads up to size bytes (at least one); 0 means the peer has closed.
  // Throws sion::Error on failure or time-out.
  virtual std::size_t Read(char* buffer, std::size_t size) = 0;
  // After Read gave 0: false when the close may have cut the data short (a TLS
  // peer that closed without close_notify).
  virtual bool ClosedCleanly() const { return true; }
};

}  // namespace sion
