#include "Sdk/ThreadGroup.h"

#include <cstdint>
#include <system_error>

#include "Sdk/LockRule.h"
#include "Sdk/NimoLog.h"
#include "Sdk/Session.h"

namespace NimoSdk {

void StopSignal::Set() {
  {
    nimo_sync::MutexLock lock(mutex_);
    set_ = true;
  }
  cv_.notify_all();
}

bool StopSignal::IsSet() const {
  nimo_sync::MutexLock lock(mutex_);
  return set_;
}

bool StopSignal::WaitFor(std::chrono::milliseconds d) const {
  nimo_sync::UniqueLock lock(mutex_);
  return cv_.wait_for(lock, d, [this]() REQUIRES(mutex_) { return set_; });
}

ThreadGroup::~ThreadGroup() { JoinAll(); }

void ThreadGroup::FailNextSpawn() {
  nimo_sync::MutexLock lock(mutex_);
  failNext_ = true;
}

bool ThreadGroup::Spawn(std::function<void()> body, std::string* why) {
  KeepLogForThreads();  // a thread started before Init (Steam's answer for the game's pump) logs too
  nimo_sync::MutexLock lock(mutex_);
  ReapLocked();
  if (failNext_) {
    failNext_ = false;
    if (why != nullptr) *why = "refused by the test seam";
    return false;
  }
  auto done = std::make_shared<bool>(false);
  const std::uint64_t session = session::OfThisThread();
  try {
    std::thread t([this, body = std::move(body), done, session] {
      {
        session::Scope scope(session);  // it works for the session that started it
        body();
      }
      nimo_sync::MutexLock l(mutex_);
      *done = true;
      ended_.notify_all();
    });
    threads_.push_back({std::move(t), done});
  } catch (const std::system_error& e) {
    if (why != nullptr) *why = e.what();
    return false;
  }
  return true;
}

void ThreadGroup::ReapLocked() {
  for (auto it = threads_.begin(); it != threads_.end();) {
    if (*it->done) {
      it->thread.join();  // already finished its body; join is immediate
      it = threads_.erase(it);
    } else {
      ++it;
    }
  }
}

void ThreadGroup::JoinAll() {
  CheckNoLocksHeld("waiting for threads that may be in a game callback");
  std::vector<Entry> threads;
  {
    nimo_sync::MutexLock lock(mutex_);
    threads.swap(threads_);
  }
  for (auto& e : threads) {
    if (e.thread.get_id() == std::this_thread::get_id()) {
      e.thread.detach();
    } else if (e.thread.joinable()) {
      e.thread.join();
    }
  }
}

bool ThreadGroup::JoinUntil(std::chrono::steady_clock::time_point deadline) {
  CheckNoLocksHeld("waiting for threads that may be in a game callback");
  const std::thread::id self = std::this_thread::get_id();
  std::vector<Entry> threads;
  bool all = true;
  {
    nimo_sync::UniqueLock lock(mutex_);
    ended_.wait_until(lock, deadline, [&]() REQUIRES(mutex_) {
      for (const auto& e : threads_) {
        if (!*e.done && e.thread.get_id() != self) return false;
      }
      return true;
    });
    threads.swap(threads_);
    for (auto& e : threads) {
      if (*e.done) continue;
      if (e.thread.get_id() != self) all = false;
      e.thread.detach();  // still running (or it is us): left to end on its own
    }
  }
  for (auto& e : threads) {
    if (e.thread.joinable()) e.thread.join();  // its body has ended; returns at once
  }
  return all;
}

}  // namespace NimoSdk
