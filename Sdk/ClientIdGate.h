// Init reads the client id on a worker (the shared store's file lock may be held
// by another game); the requests that carry it wait here until it is known.
#pragma once

#include <functional>

#include "Sdk/ThreadGroup.h"
#include "platform/sync/Mutex.h"

namespace NimoSdk {

class SessionEnd;

class ClientIdGate {
 public:
  // end: whether Exit began; waits: the threads Exit joins, where tasks wait.
  ClientIdGate(const SessionEnd& end, ThreadGroup& waits) : end_(end), waits_(waits) {}
  ClientIdGate(const ClientIdGate&) = delete;
  ClientIdGate& operator=(const ClientIdGate&) = delete;

  // True when the id was unread: the caller reads it now, and tasks wait for it.
  bool StartReading();
  // The reader did not read it after all (Steam did not start): waiting tasks go.
  void StopReading();
  // The id is known (the core has published it): waiting tasks go.
  void MarkKnown();
  // Runs task at once when the id is known or nobody is reading it, else on a
  // worker once it is known, Exit began, or a bound passed.
  void AfterClientId(std::function<void()> task);
  // Exit began: waiting tasks go at once.
  void WakeForExit();
  // A new session reads the id again, unless it is known.
  void ForgetUnlessKnown();

 private:
  enum class IdState { Unread, Reading, Known };

  const SessionEnd& end_;
  ThreadGroup& waits_;
  nimo_sync::Mutex mutex_;
  IdState idState_ GUARDED_BY(mutex_) = IdState::Unread;
  nimo_sync::CondVar idCv_;  // with mutex_: the id became known or unread, or Exit began
};

}  // namespace NimoSdk
