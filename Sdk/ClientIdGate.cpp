#include "Sdk/ClientIdGate.h"

#include <easylogging++.h>

#include <chrono>

#include "Sdk/SessionEnd.h"

namespace NimoSdk {

bool ClientIdGate::StartReading() {
  nimo_sync::MutexLock lock(mutex_);
  if (idState_ != IdState::Unread) return false;
  idState_ = IdState::Reading;
  return true;
}

void ClientIdGate::StopReading() {
  {
    nimo_sync::MutexLock lock(mutex_);
    if (idState_ != IdState::Reading) return;
    idState_ = IdState::Unread;
  }
  idCv_.notify_all();
}

void ClientIdGate::MarkKnown() {
  {
    nimo_sync::MutexLock lock(mutex_);
    idState_ = IdState::Known;
  }
  idCv_.notify_all();
}

void ClientIdGate::AfterClientId(std::function<void()> task) {
  bool reading = false;
  {
    nimo_sync::MutexLock lock(mutex_);
    reading = idState_ == IdState::Reading;
  }
  if (!reading) {  // known, or nobody reads it: nothing to wait for
    task();
    return;
  }
  auto wait = [this, task] {
    constexpr auto kBound = std::chrono::seconds(10);
    bool inTime = false;
    {
      nimo_sync::UniqueLock lock(mutex_);
      inTime = idCv_.wait_for(lock, kBound,
                              [this]() REQUIRES(mutex_) { return idState_ != IdState::Reading || end_.Exited(); });
    }
    if (!inTime && !end_.Exited()) LOG(ERROR) << "Client id not read in time; the request goes without it.";
    task();
  };
  if (!waits_.Spawn(wait)) wait();
}

void ClientIdGate::WakeForExit() {
  {
    nimo_sync::MutexLock lock(mutex_);  // a waiter between its check and its wait still hears it
  }
  idCv_.notify_all();
}

void ClientIdGate::ForgetUnlessKnown() {
  nimo_sync::MutexLock lock(mutex_);
  if (idState_ != IdState::Known) idState_ = IdState::Unread;
}

}  // namespace NimoSdk
