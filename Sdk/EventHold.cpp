#include "Sdk/EventHold.h"

#include <utility>

namespace NimoSdk {

void EventHold::Changed() {
  idle_.store(begun_ == ended_ && !posting_ && held_.empty(), std::memory_order_release);
}

void EventHold::Hold() {
  nimo_sync::MutexLock lock(mutex_);
  ++begun_;
  Changed();
}

bool EventHold::Keep(Held event) {
  nimo_sync::MutexLock lock(mutex_);
  if (begun_ == ended_ && !posting_ && held_.empty()) return false;
  // A start-up that takes long must not let a game's stream of events grow without end.
  if (held_.size() >= kMaxHeld) held_.pop_front();
  event.start = begun_;
  held_.push_back(std::move(event));
  Changed();
  return true;
}

void EventHold::Release(const std::function<void(const Held&)>& post) {
  std::deque<Held> ready;
  {
    nimo_sync::MutexLock lock(mutex_);
    if (ended_ < begun_) ++ended_;
    if (posting_) return;  // the thread posting already takes what is ready now
    posting_ = true;
    Changed();
  }
  for (;;) {
    {
      nimo_sync::MutexLock lock(mutex_);
      while (!held_.empty() && held_.front().start <= ended_) {
        ready.push_back(std::move(held_.front()));
        held_.pop_front();
      }
      if (ready.empty()) {
        posting_ = false;
        Changed();
        return;
      }
    }
    // Outside the lock: drafting takes the tracker's and may log.
    for (const Held& event : ready) post(event);
    ready.clear();
  }
}

}  // namespace NimoSdk
