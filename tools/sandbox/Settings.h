// The settings a control command changes while requests run: what the player
// does with a purchase, and whether every client is a test device. Safe from
// any thread; readers take a copy.
#pragma once

#include <functional>
#include <mutex>

#include "tools/sandbox/SteamSide.h"

namespace nimo_sandbox {

class Settings {
 public:
  struct Values {
    PlayerSettings player;
    bool testDevice = false;
  };

  Values Get() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return values_;
  }
  // Runs change on the values under the lock, so that a command changes them in one step.
  void Change(const std::function<void(Values&)>& change) {
    std::lock_guard<std::mutex> lock(mutex_);
    change(values_);
  }

 private:
  mutable std::mutex mutex_;
  Values values_;  // guarded by mutex_
};

}  // namespace nimo_sandbox
