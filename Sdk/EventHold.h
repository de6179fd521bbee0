// Events the game posts while an Init's start-up still runs on our thread. They
// are drafted once that start-up has set the facts they carry and posted its own
// event, so they are numbered after it, as if Init had done it all in the call.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include "platform/sync/Mutex.h"

namespace NimoSdk {

class EventHold {
 public:
  struct Held {
    std::string name;
    std::string params;
    double value = 0;
    std::int64_t sdkTime = 0;  // when the game posted it (milliseconds since the epoch)
    std::uint64_t start = 0;   // the start-up it waits for
  };

  EventHold() = default;
  EventHold(const EventHold&) = delete;
  EventHold& operator=(const EventHold&) = delete;

  // An Init hands its start-up to our thread: events from here on wait for it.
  void Hold();
  // True when Keep would not keep an event: no start-up to wait for, nothing
  // held. Without a lock, so a post after start-up pays no more than this.
  bool Idle() const { return idle_.load(std::memory_order_acquire); }
  // Keeps the event when a start-up is still to come (or held ones are being
  // posted); false when the caller posts it at once.
  bool Keep(Held event);
  // The oldest start-up ended: the events that waited for it go to post, in order.
  void Release(const std::function<void(const Held&)>& post);

 private:
  static constexpr std::size_t kMaxHeld = 10000;  // the oldest go beyond it

  nimo_sync::Mutex mutex_;
  std::deque<Held> held_ GUARDED_BY(mutex_);
  std::uint64_t begun_ GUARDED_BY(mutex_) = 0;  // start-ups handed off
  std::uint64_t ended_ GUARDED_BY(mutex_) = 0;  // start-ups released
  bool posting_ GUARDED_BY(mutex_) = false;     // Release posts outside the lock
  // The state above at its last change, set under the lock; true after the
  // held events went to post, so a post that reads it comes after them.
  std::atomic<bool> idle_{true};

  void Changed() REQUIRES(mutex_);
};

}  // namespace NimoSdk
