// CNimoCore's end of a session (Exit, within its one deadline) and the start of
// the next (an Init after it).
#include "Sdk/CNimoCore.h"

#include <easylogging++.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "Sdk/CNimoDelivery.h"
#include "Sdk/CNimoHttp.h"
#include "Sdk/CNimoPay.h"
#include "Sdk/CNimoTrack.h"
#include "Sdk/ExitDeadline.h"
#include "Sdk/LockRule.h"
#include "Sdk/NimoOptions.h"
#include "Sdk/ResultCode.h"
#include "Sdk/Session.h"

namespace NimoSdk {

void CNimoCore::CloseStarts(std::chrono::steady_clock::time_point startsBy,
                            std::chrono::steady_clock::time_point end) {
  nimo_sync::UniqueLock lock(startMutex_);
  if (startThread_.load() != std::this_thread::get_id()) {
    // Polled: the start-up's step changes without telling us.
    while (starting_) {
      const auto now = std::chrono::steady_clock::now();
      if (now >= end || (now >= startsBy && steamStep_.load() == kInSteam)) break;
      startsEnded_.wait_until(lock, std::min(end, now + std::chrono::milliseconds(5)));
    }
  }
  startsClosed_ = true;
}

bool CNimoCore::PassStarts(std::chrono::steady_clock::time_point deadline) {
  // Polled rather than a timed lock, which the thread checker cannot follow.
  nimo_sync::UniqueLock lock(initMutex_, std::defer_lock);
  while (!lock.try_lock()) {
    // Past the deadline, only our own steps are waited for: they end soon.
    int step = kInSteam;
    if (std::chrono::steady_clock::now() >= deadline && steamStep_.compare_exchange_strong(step, kLeftByExit))
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  exitPassed_ = true;
  return true;
}

bool CNimoCore::StartUpRunning() {
  nimo_sync::MutexLock lock(startMutex_);
  return starting_;
}

void CNimoCore::Exit() {
  // Exit waits for threads that may be inside a game callback.
  CheckNoLocksHeld("Exit");
  const std::shared_ptr<SessionEnd::State> state = end_.Current();
  if (state->exitDone.exchange(true)) {
    // Exit under way on another thread: once this returns the game polls a last
    // time or unloads us, so wait for it (bounded). From its own callbacks, return.
    if (state->exitThread.load() != std::this_thread::get_id()) state->exitFinished.WaitFor(std::chrono::seconds(2));
    return;
  }
  state->exitThread = std::this_thread::get_id();
  // Every wait below ends by this one deadline, so Exit returns within a second.
  const ExitDeadline deadline(std::chrono::milliseconds(950));
  end_.MarkExit();
  idGate_.WakeForExit();
  // From here on only Exit answers the operations still open; no thread of ours
  // calls the game while Exit waits.
  std::vector<std::shared_ptr<OpenOperation>> open = delivery_.BeginExit();
  state->exitSignal.Set();
  // The start-ups Init handed off end first (Steam, the services, the start-up
  // event), as when they ran inside the call; those still to come do nothing.
  const auto startsBy = deadline.Share(std::chrono::milliseconds(400));
  CloseStarts(startsBy, deadline.End());
  if (PassStarts(startsBy)) {
    // The pump may be in a game callback: it gets a share, the events their time.
    steam_.Shutdown(deadline.Share(std::chrono::milliseconds(250)));
  } else {
    LOG(WARNING) << "A start-up is still in Steam's initialisation; Exit goes on, the start-up undoes it.";
  }
  track_.Shutdown(deadline.Share(std::chrono::milliseconds(400)));  // events in memory go to the queue file
  CNimoHttp::StopPool(deadline.End());
  pay_.StopPayThread(deadline.End());
  pay_.ReleaseUnfinished();
  if (!waits_.JoinUntil(deadline.End())) {
    LOG(WARNING) << "A login wait thread is still in a game callback; left to end.";
  }
  // The player is forgotten with the session (as Logout); facts set from now
  // on are for the next session.
  facts_.ForgetPlayer();
  LOG(INFO) << "Excute Exit.";
  // The settings of the game may change for the next session; an Init from
  // here on (from one of the callbacks below, say) begins it.
  steam_.Thaw();
  delivery_.Thaw();
  options_.Thaw();
  state->stopped = true;
  delivery_.EndAtExit(open, ResultCode::kProcessExit, "Process Exit!");
  state->exitFinished.Set();
}

bool CNimoCore::StartNewSession() {
  // A start-up Exit left in Steam's initialisation holds initMutex_: not on the game's thread.
  if (steamStep_.load() == kLeftByExit) return false;
  nimo_sync::MutexLock initLock(initMutex_);
  if (!end_.Exiting()) return true;  // another Init began it
  if (!end_.Current()->stopped.load() || steamStep_.load() == kLeftByExit) return false;
  exitPassed_ = false;
  // Our threads of the ended session are stopped or left to end; any still in a
  // game callback finds its session stale from here on.
  session::Begin();
  CNimoHttp::RenewPool();
  track_.BeginSession();
  pay_.BeginSession();
  steamUp_ = false;
  servicesUp_ = false;
  {
    nimo_sync::MutexLock lock(startMutex_);
    startsClosed_ = false;
  }
  steam_.BeginSession();
  isInit_ = false;
  facts_.BeginSession([this] {
    login_.ForgetTickets();
    idGate_.ForgetUnlessKnown();  // read again
    end_.Renew();                 // the exit flag off, last, with the state the next Exit takes
  });
  LOG(INFO) << "New session after Exit.";
  return true;
}

}  // namespace NimoSdk
