// How a session ends: the signals its Exit sets, and what our threads watch to
// stop at once when it comes.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "Sdk/Session.h"
#include "Sdk/ThreadGroup.h"
#include "platform/sync/Mutex.h"

namespace NimoSdk {

class SessionEnd {
 public:
  // What one session's Exit works with; a new session gets a new one, so an
  // ended session's threads and its Exit keep theirs.
  struct State {
    StopSignal exitSignal;    // set once by Exit; wakes the pump and login waits at once
    StopSignal exitFinished;  // that Exit has answered every open operation
    std::atomic<bool> exitDone{false};
    std::atomic<std::thread::id> exitThread{};  // the thread of the Exit that does the work
    std::atomic<bool> stopped{false};           // Exit stopped our threads: a new Init may begin
  };

  SessionEnd() = default;
  SessionEnd(const SessionEnd&) = delete;
  SessionEnd& operator=(const SessionEnd&) = delete;

  // The state of the current session.
  std::shared_ptr<State> Current() const;
  // The next session: a new state and the exit flag off, which a reader of the
  // state sees together.
  void Renew();
  // Exit began (set once per session, before anything of Exit's is stopped).
  void MarkExit() { exiting_ = true; }
  bool Exiting() const { return exiting_.load(); }

  // Sleeps up to d; false when Exit was called (at once, not after d).
  bool SleepUnlessExit(std::chrono::milliseconds d) const;
  // Exit was called, or the calling thread works for a session that has ended.
  bool Exited() const { return exiting_.load() || session::Stale(); }

 private:
  std::atomic<bool> exiting_{false};
  mutable nimo_sync::Mutex mutex_;
  std::shared_ptr<State> state_ GUARDED_BY(mutex_) = std::make_shared<State>();
};

}  // namespace NimoSdk
