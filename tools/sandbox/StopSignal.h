// Raised once when the sandbox stops, so that delays and hanging answers end
// at once instead of holding a server thread. Safe from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace nimo_sandbox {

class StopSignal {
 public:
  void Raise() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    cv_.notify_all();
  }

  // Waits ms; false when the sandbox began stopping meanwhile (or before).
  bool Sleep(int ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return !cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool stopping_ = false;  // guarded by mutex_
};

}  // namespace nimo_sandbox
