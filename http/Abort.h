// Lets another thread end a request in flight. Abort shuts the request's socket
// down, so the thread blocked on it wakes at once and Send fails; the socket
// itself is closed only by its owner, after Detach, so Abort never touches a
// descriptor number that has been reused. One handle per request; thread-safe.
#pragma once

#include <atomic>
#include <mutex>

namespace sion {

class AbortHandle {
 public:
  void Abort();
  bool Aborted() const { return aborted_.load(); }

  // Send registers its socket here. False (and the socket is shut down) when
  // Abort came first.
  bool Attach(int fd);
  // Must be called before the socket is closed.
  void Detach();

 private:
  std::atomic<bool> aborted_{false};
  std::mutex mutex_;
  int fd_ = -1;  // guarded by mutex_
};

}  // namespace sion
