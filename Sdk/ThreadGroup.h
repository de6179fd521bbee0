// Threads the core starts (the Steam pump, login waits) and stops at Exit.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/sync/Mutex.h"

namespace NimoSdk {

// A flag that sleeping threads can be woken by. Set once, never cleared.
class StopSignal {
 public:
  void Set();
  bool IsSet() const;
  // Sleeps up to d; returns true when the signal is (or becomes) set.
  bool WaitFor(std::chrono::milliseconds d) const;

 private:
  mutable nimo_sync::Mutex mutex_;
  mutable nimo_sync::CondVar cv_;
  bool set_ GUARDED_BY(mutex_) = false;
};

// Owns the threads it starts. JoinAll and JoinUntil wait for them, except the
// calling thread itself (a game callback may call Exit from one of them), which
// is detached. The group must outlive its threads (the core's live for the process).
class ThreadGroup {
 public:
  ThreadGroup() = default;
  ThreadGroup(const ThreadGroup&) = delete;
  ThreadGroup& operator=(const ThreadGroup&) = delete;
  ~ThreadGroup();

  // False when the thread cannot be created (why, if given, then says why).
  bool Spawn(std::function<void()> body, std::string* why = nullptr);
  void JoinAll();
  // Waits until every thread ended or the deadline passed; threads still running
  // then are detached and left to end on their own. True when all had ended.
  bool JoinUntil(std::chrono::steady_clock::time_point deadline);
  // Test seam: the next Spawn fails as if the system had no thread to give.
  void FailNextSpawn();

 private:
  struct Entry {
    std::thread thread;
    std::shared_ptr<bool> done;  // guarded by mutex_
  };
  void ReapLocked() REQUIRES(mutex_);

  nimo_sync::Mutex mutex_;
  nimo_sync::CondVar ended_;  // a thread finished its body
  std::vector<Entry> threads_ GUARDED_BY(mutex_);
  bool failNext_ GUARDED_BY(mutex_) = false;
};

}  // namespace NimoSdk
