// Lets another thread end a request in flight. Abort shuts the request's socket
// down, so the thread blocked on it wakes at once and Send fails; the socket
// itself is closed only by its owner, after Detach, so Abort never touches a
// descriptor number that has been reused. One handle per request; thread-safe.
#pragma once

#include <atomic>
#include <memory>

#include "platform/sync/Mutex.h"

namespace nimo_net {
class Lookup;
}

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

  // The same for a name lookup: Abort cancels its wait. False (and the wait is
  // cancelled) when Abort came first; null detaches.
  bool AttachLookup(std::shared_ptr<nimo_net::Lookup> lookup);

 private:
  std::atomic<bool> aborted_{false};
  nimo_sync::Mutex mutex_;
  int fd_ GUARDED_BY(mutex_) = -1;
  std::shared_ptr<nimo_net::Lookup> lookup_ GUARDED_BY(mutex_);
};

}  // namespace sion
