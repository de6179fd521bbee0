#include "http/Abort.h"

#include "platform/net/Socket.h"

namespace sion {

void AbortHandle::Abort() {
  std::lock_guard<std::mutex> lock(mutex_);
  aborted_ = true;
  posix_net::ShutdownBoth(fd_);
}

bool AbortHandle::Attach(int fd) {
  std::lock_guard<std::mutex> lock(mutex_);
  fd_ = fd;
  if (aborted_) posix_net::ShutdownBoth(fd_);
  return !aborted_;
}

void AbortHandle::Detach() {
  std::lock_guard<std::mutex> lock(mutex_);
  fd_ = -1;
}

}  // namespace sion
