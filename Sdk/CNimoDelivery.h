// Where the game's results go: the operations still owed a result, the callback
// mode, and the queue that nimo_run_callbacks() empties on the game's thread.
//
// Exactly one result per operation: the first Finish wins, later ones are
// dropped. From BeginExit on, the operations open at that moment belong to Exit
// alone, which ends each with -400 once our threads have stopped.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "Sdk/CallbackTypes.h"
#include "platform/sync/Mutex.h"

namespace NimoSdk {

enum class CallbackMode : int {
  OnSdkThreads = 0,  // called on whichever thread the result arose (the default)
  OnPoll = 1,        // queued, called by RunCallbacks on the thread that calls it
};

struct OpenOperation {
  ResultCallback cpp = nullptr;
  CResultCallback c = nullptr;
  void* user = nullptr;
  std::uint64_t id = 0;
  bool done = false;    // guarded by CNimoDelivery::mutex_
  bool atExit = false;  // guarded by CNimoDelivery::mutex_; only Exit may end it
  // A result settled after Exit took the operation: Exit gives it in place of its own.
  bool settled = false;  // guarded by CNimoDelivery::mutex_, as are the three below
  int settledCode = 0;
  std::string settledMessage;
  std::string settledData;
  ForC settledForC;
};

class CNimoDelivery {
 public:
  // Refused (false) once Freeze was called: the mode is fixed by Init until
  // Exit has stopped the session (Thaw), then settable for the next one.
  bool SetMode(CallbackMode mode);
  CallbackMode Mode() const { return static_cast<CallbackMode>(mode_.load()); }
  void Freeze() { frozen_ = true; }
  void Thaw() { frozen_ = false; }
  bool Frozen() const { return frozen_.load(); }

  std::shared_ptr<OpenOperation> Open(ResultCallback cpp, CResultCallback c, void* user);
  // forC: what a C callback gets in place of code and data, when set.
  bool Finish(const std::shared_ptr<OpenOperation>& op, int code, std::string message, std::string data, ForC forC = ForC());
  // As Finish, for a result that must reach the game even when Exit took the
  // operation meanwhile (a payment the server confirmed): Exit then gives this
  // result in place of -400. settled (if set) runs once the result is the
  // game's, before the game is called. False only when the operation already
  // had its result.
  bool Settle(const std::shared_ptr<OpenOperation>& op, int code, std::string message, std::string data,
              const std::function<void()>& settled, ForC forC = ForC());

  // A call of the game that no operation is owed (the purchase listener): made
  // now, or in poll mode queued behind the results queued so far.
  void Notify(std::function<void()> notice);

  // Exit, before it stops our threads: the operations open now are handed to it,
  // and nobody else may end them any more.
  std::vector<std::shared_ptr<OpenOperation>> BeginExit();
  // Exit, after our threads stopped: ends each handed-over operation with this result.
  void EndAtExit(const std::vector<std::shared_ptr<OpenOperation>>& ops, int code, const std::string& message);

  // Delivers what was queued when it was called, in order, on this thread.
  // Returns how many results were delivered. Safe from inside a callback.
  int RunCallbacks();

  std::size_t OpenCount() const;
  std::size_t QueuedCount() const { return queued_.load(); }

 private:
  struct Result {
    std::shared_ptr<OpenOperation> op;
    std::uint64_t seq = 0;  // order of queueing
    int code = 0;
    std::string message;
    std::string data;
    ForC forC;
    std::function<void()> notice;  // set for a Notify, which has no operation
  };
  enum class Claimed { Dropped, Queued, CallNow, LeftToExit };
  enum class By { Result, Settled, Exit };
  // Takes the operation's one result under mutex_; queues it in poll mode. For
  // Exit, a settled result replaces code, message and data.
  Claimed Claim(const std::shared_ptr<OpenOperation>& op, By by, int& code, std::string& message, std::string& data,
                ForC& forC);
  static void Call(const OpenOperation& op, int code, const std::string& message, const std::string& data,
                   const ForC& forC);
  static void CallNotice(const std::function<void()>& notice);

  std::atomic<int> mode_{static_cast<int>(CallbackMode::OnSdkThreads)};
  std::atomic<bool> frozen_{false};
  std::atomic<std::size_t> queued_{0};  // size of queue_, read without the lock

  mutable nimo_sync::Mutex mutex_;
  std::unordered_map<std::uint64_t, std::shared_ptr<OpenOperation>> open_ GUARDED_BY(mutex_);
  std::deque<Result> queue_ GUARDED_BY(mutex_);
  std::uint64_t nextId_ GUARDED_BY(mutex_) = 1;
  std::uint64_t pushed_ GUARDED_BY(mutex_) = 0;
};

// The process-wide instance, created at first use and never destroyed.
CNimoDelivery& Delivery();

}  // namespace NimoSdk
