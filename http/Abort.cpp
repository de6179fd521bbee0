#include "http/Abort.h"

#include "platform/net/Resolver.h"
#include "platform/net/Socket.h"

namespace sion {

void AbortHandle::Abort() {
  nimo_sync::MutexLock lock(mutex_);
  aborted_ = true;
  nimo_net::ShutdownBoth(fd_);
  if (lookup_) lookup_->Cancel();
}

bool AbortHandle::AttachLookup(std::shared_ptr<nimo_net::Lookup> lookup) {
  nimo_sync::MutexLock lock(mutex_);
  lookup_ = std::move(lookup);
  if (aborted_ && lookup_) lookup_->Cancel();
  return !aborted_;
}

bool AbortHandle::Attach(int fd) {
  nimo_sync::MutexLock lock(mutex_);
  fd_ = fd;
  if (aborted_) nimo_net::ShutdownBoth(fd_);
  return !aborted_;
}

void AbortHandle::Detach() {
  nimo_sync::MutexLock lock(mutex_);
  fd_ = -1;
}

}  // namespace sion
