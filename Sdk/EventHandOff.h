// The events the game's threads posted, not numbered yet: the hand-off to the
// tracker thread. Its lock guards nothing else and is held for a push or a
// swap only (taken after the sender's own when both are needed), so a post
// never waits for the disk, a file lock or the network.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "Sdk/EventDraft.h"
#include "platform/sync/Mutex.h"

namespace NimoSdk {

class EventHandOff {
 public:
  EventHandOff(std::size_t maxEvents, std::size_t maxBytes) : maxEvents_(maxEvents), maxBytes_(maxBytes) {}
  EventHandOff(const EventHandOff&) = delete;
  EventHandOff& operator=(const EventHandOff&) = delete;

  // Returns how many events went: this one once closed, else the oldest beyond the bound.
  std::uint64_t Push(SharedEvent event);
  void SetBound(std::size_t maxEvents, std::size_t maxBytes);
  bool Empty();
  // Swaps the events into batch (empty); returns how many it holds.
  std::size_t TakeInto(std::deque<SharedEvent>& batch);
  // Exit: later events are dropped; returns those still here.
  std::deque<SharedEvent> Close();

 private:
  nimo_sync::Mutex mutex_;
  std::deque<SharedEvent> pending_ GUARDED_BY(mutex_);
  std::size_t pendingBytes_ GUARDED_BY(mutex_) = 0;
  std::size_t maxEvents_ GUARDED_BY(mutex_);
  std::size_t maxBytes_ GUARDED_BY(mutex_);
  bool closed_ GUARDED_BY(mutex_) = false;  // Exit took the events; later ones are dropped
};

}  // namespace NimoSdk
