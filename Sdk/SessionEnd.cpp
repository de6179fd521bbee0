#include "Sdk/SessionEnd.h"

namespace NimoSdk {

std::shared_ptr<SessionEnd::State> SessionEnd::Current() const {
  nimo_sync::MutexLock lock(mutex_);
  return state_;
}

void SessionEnd::Renew() {
  nimo_sync::MutexLock lock(mutex_);
  state_ = std::make_shared<State>();
  exiting_ = false;
}

bool SessionEnd::SleepUnlessExit(std::chrono::milliseconds d) const {
  // Taken before the check: if this session ends from here on, its Exit sets it.
  const std::shared_ptr<State> state = Current();
  if (Exited()) return false;
  return !state->exitSignal.WaitFor(d) && !Exited();
}

}  // namespace NimoSdk
