#include "Sdk/EventHandOff.h"

#include <utility>

namespace NimoSdk {

std::uint64_t EventHandOff::Push(SharedEvent event) {
  std::uint64_t drop = 0;
  SharedEvent oldest;  // freed after the lock
  {
    nimo_sync::MutexLock hand(mutex_);
    if (closed_) {
      drop = 1;
    } else {
      pendingBytes_ += event->Bytes();
      pending_.push_back(std::move(event));
      // While the tracker cannot keep up (a file lock held elsewhere) memory
      // stays bounded: the oldest that are not being numbered go.
      while ((pending_.size() > maxEvents_ || pendingBytes_ > maxBytes_) && pending_.size() > 1) {
        pendingBytes_ -= pending_.front()->Bytes();
        oldest = std::move(pending_.front());
        pending_.pop_front();
        ++drop;
      }
    }
  }
  return drop;
}

void EventHandOff::SetBound(std::size_t maxEvents, std::size_t maxBytes) {
  nimo_sync::MutexLock hand(mutex_);
  maxEvents_ = maxEvents;
  maxBytes_ = maxBytes;
}

bool EventHandOff::Empty() {
  nimo_sync::MutexLock hand(mutex_);
  return pending_.empty();
}

std::size_t EventHandOff::TakeInto(std::deque<SharedEvent>& batch) {
  // A swap, so the caller's Post never waits behind a copy.
  nimo_sync::MutexLock hand(mutex_);
  batch.swap(pending_);
  pendingBytes_ = 0;
  return batch.size();
}

std::deque<SharedEvent> EventHandOff::Close() {
  std::deque<SharedEvent> drafts;
  nimo_sync::MutexLock hand(mutex_);
  closed_ = true;
  drafts.swap(pending_);
  pendingBytes_ = 0;
  return drafts;
}

}  // namespace NimoSdk
