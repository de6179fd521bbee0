// The drafts the game's threads posted, not numbered yet: the hand-off to the
// tracker thread. Its lock guards nothing else and is held for a push or a
// swap only (taken after the sender's own when both are needed), so a post
// never waits for the disk, a file lock or the network.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "platform/sync/Mutex.h"

namespace NimoSdk {

class EventHandOff {
 public:
  EventHandOff(std::size_t maxEvents, std::size_t maxBytes) : maxEvents_(maxEvents), maxBytes_(maxBytes) {}
  EventHandOff(const EventHandOff&) = delete;
  EventHandOff& operator=(const EventHandOff&) = delete;

  // Returns how many drafts went: this one once closed, else the oldest beyond the bound.
  std::uint64_t Push(std::string draft);
  void SetBound(std::size_t maxEvents, std::size_t maxBytes);
  bool Empty();
  // Swaps the drafts into batch (empty); returns how many it holds.
  std::size_t TakeInto(std::deque<std::string>& batch);
  // Exit: later drafts are dropped; returns those still here.
  std::deque<std::string> Close();

 private:
  nimo_sync::Mutex mutex_;
  std::deque<std::string> pending_;
  std::size_t pendingBytes_ = 0;
  std::size_t maxEvents_;
  std::size_t maxBytes_;
  bool closed_ = false;                                      // Exit took the drafts; later ones are dropped
};

}  // namespace NimoSdk
