// The pay thread: Steam's answers, handed over by whoever pumps Steam (ours or
// the game's thread), wait in a queue for it, so that pump never waits for a
// file lock or the disk; it also expires the answers the order book holds.
// One per session: Exit stops it (it journals the answers still queued), Init
// after Exit allows a new one.
//
// Its state is guarded by the pay lock, shared with the order book (the
// thread waits on it for held answers), which the owner gives.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <utility>

#include "Sdk/OrderBook.h"
#include "Sdk/PurchaseJournal.h"
#include "Sdk/SessionEnd.h"
#include "Sdk/ThreadGroup.h"
#include "platform/sync/Mutex.h"

namespace NimoSdk {

class PayThread {
 public:
  // What the thread does with each Steam answer (status, Steam order id).
  using Deliver = std::function<void(std::string status, std::string steamOrderId)>;
  // end: during Exit the thread journals answers rather than report them.
  PayThread(nimo_sync::Mutex& payLock, OrderBook& book, PurchaseJournal& journal, const SessionEnd& end,
            Deliver deliver);

  // Queues Steam's answer for the thread (started on first need); without a
  // thread of ours it is delivered on the calling thread.
  void OnSteamAnswer(std::string status, std::string steamOrderId);
  // The order book holds new answers: the thread (started if need be) expires them.
  void WakeForHeldAnswers();
  // Exit: the thread journals the answers still queued and ends; waits for it
  // until the deadline.
  void Stop(std::chrono::steady_clock::time_point deadline);
  // Init after Exit, with the pay lock held: a new thread may start. Then
  // WakeAll, without the lock, so that a late thread of the ended session leaves.
  void BeginSessionLocked();
  void WakeAll();

 private:
  void Run(std::uint64_t gen);
  // False when no pay thread can run (none could be made, or Exit stopped it).
  bool RunningLocked();

  nimo_sync::Mutex& mutex_;
  OrderBook& book_;
  PurchaseJournal& journal_;
  const SessionEnd& end_;
  const Deliver deliver_;
  // Steam answers (status, Steam order id) for the pay thread.
  std::deque<std::pair<std::string, std::string>> steamAnswers_;  // guarded by mutex_
  bool payThreadUp_ = false;                                      // guarded by mutex_
  bool payThreadStop_ = false;                                    // guarded by mutex_
  std::uint64_t payGen_ = 0;  // guarded by mutex_; the session's pay thread has this
  nimo_sync::CondVar payWake_;  // with mutex_: an answer queued, an answer held, or Exit
  ThreadGroup payThread_;
};

}  // namespace NimoSdk
