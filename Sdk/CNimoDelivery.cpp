#include "Sdk/CNimoDelivery.h"

#include <algorithm>

#include "Sdk/LockRule.h"
#include "Sdk/NimoUtils.h"
#include "Sdk/Session.h"

namespace NimoSdk {

CNimoDelivery& Delivery() {
  static CNimoDelivery* const instance = new CNimoDelivery();
  return *instance;
}

bool CNimoDelivery::SetMode(CallbackMode mode) {
  if (frozen_.load()) return false;
  mode_ = static_cast<int>(mode);
  return true;
}

std::shared_ptr<OpenOperation> CNimoDelivery::Open(ResultCallback cpp, CResultCallback c, void* user) {
  auto op = std::make_shared<OpenOperation>();
  op->cpp = cpp;
  op->c = c;
  op->user = user;
  nimo_sync::MutexLock lock(mutex_);
  op->id = nextId_++;
  open_.emplace(op->id, op);
  return op;
}

CNimoDelivery::Claimed CNimoDelivery::Claim(const std::shared_ptr<OpenOperation>& op, By by, int& code,
                                            std::string& message, std::string& data, ForC& forC) {
  nimo_sync::MutexLock lock(mutex_);
  if (op->done) return Claimed::Dropped;
  if (op->atExit && by == By::Settled && !op->settled) {
    op->settled = true;
    op->settledCode = code;
    op->settledMessage = std::move(message);
    op->settledData = std::move(data);
    op->settledForC = std::move(forC);
    return Claimed::LeftToExit;
  }
  if (op->atExit && by != By::Exit) return Claimed::Dropped;
  if (op->settled) {
    code = op->settledCode;
    message = std::move(op->settledMessage);
    data = std::move(op->settledData);
    forC = std::move(op->settledForC);
  }
  op->done = true;
  open_.erase(op->id);
  if (Mode() != CallbackMode::OnPoll) return Claimed::CallNow;
  queue_.push_back({op, pushed_++, code, std::move(message), std::move(data), std::move(forC), nullptr});
  queued_.store(queue_.size(), std::memory_order_release);
  return Claimed::Queued;
}

bool CNimoDelivery::Finish(const std::shared_ptr<OpenOperation>& op, int code, std::string message,
                           std::string data, ForC forC) {
  // Checked in poll mode too, where the same path would call the game at once.
  CheckNoLocksHeld("a game callback");
  if (!op) return false;
  Claimed c = Claim(op, By::Result, code, message, data, forC);
  if (c == Claimed::CallNow) Call(*op, code, message, data, forC);
  return c != Claimed::Dropped;
}

bool CNimoDelivery::Settle(const std::shared_ptr<OpenOperation>& op, int code, std::string message,
                           std::string data, const std::function<void()>& settled, ForC forC) {
  CheckNoLocksHeld("a game callback");
  if (!op) return false;
  Claimed c = Claim(op, By::Settled, code, message, data, forC);
  if (c != Claimed::Dropped && settled) settled();
  if (c == Claimed::CallNow) Call(*op, code, message, data, forC);
  return c != Claimed::Dropped;
}

void CNimoDelivery::Notify(std::function<void()> notice) {
  if (Mode() == CallbackMode::OnPoll) {
    nimo_sync::MutexLock lock(mutex_);
    Result r;
    r.seq = pushed_++;
    r.notice = std::move(notice);
    queue_.push_back(std::move(r));
    queued_.store(queue_.size(), std::memory_order_release);
    return;
  }
  CallNotice(notice);
}

std::vector<std::shared_ptr<OpenOperation>> CNimoDelivery::BeginExit() {
  std::vector<std::shared_ptr<OpenOperation>> ops;
  nimo_sync::MutexLock lock(mutex_);
  ops.reserve(open_.size());
  for (auto& entry : open_) {
    entry.second->atExit = true;
    ops.push_back(entry.second);
  }
  // In the order the operations began.
  std::sort(ops.begin(), ops.end(), [](const auto& a, const auto& b) { return a->id < b->id; });
  return ops;
}

void CNimoDelivery::EndAtExit(const std::vector<std::shared_ptr<OpenOperation>>& ops, int code,
                              const std::string& message) {
  for (const auto& op : ops) {
    int c = code;
    std::string m = message;
    std::string d;
    ForC f;
    if (Claim(op, By::Exit, c, m, d, f) == Claimed::CallNow) Call(*op, c, m, d, f);
  }
}

int CNimoDelivery::RunCallbacks() {
  if (queued_.load(std::memory_order_acquire) == 0) return 0;  // the common case: no lock
  std::uint64_t end;
  {
    nimo_sync::MutexLock lock(mutex_);
    end = pushed_;
  }
  // One result at a time, called outside the lock, so a callback may poll again,
  // start new operations or call Exit. Results queued after this poll began wait
  // for the next one, so a game that asks again from every callback cannot hold
  // us here.
  int delivered = 0;
  for (;;) {
    Result r;
    {
      nimo_sync::MutexLock lock(mutex_);
      if (queue_.empty() || queue_.front().seq >= end) break;
      r = std::move(queue_.front());
      queue_.pop_front();
      queued_.store(queue_.size(), std::memory_order_release);
    }
    if (r.notice) {
      CallNotice(r.notice);
    } else {
      Call(*r.op, r.code, r.message, r.data, r.forC);
    }
    ++delivered;
  }
  return delivered;
}

std::size_t CNimoDelivery::OpenCount() const {
  nimo_sync::MutexLock lock(mutex_);
  return open_.size();
}

void CNimoDelivery::Call(const OpenOperation& op, int code, const std::string& message, const std::string& data,
                         const ForC& forC) {
  CheckNoLocksHeld("a game callback");
  // The game's code acts on the current session, whichever thread of ours it runs on.
  session::Scope scope(0);
  try {
    if (op.cpp != nullptr) {
      op.cpp(code, NimoUtils::Utf8ToWide(message), NimoUtils::Utf8ToWide(data));
    } else if (op.c != nullptr) {
      const bool own = forC.set;
      op.c(own ? forC.code : code, message.c_str(), own ? forC.data.c_str() : data.c_str(), op.user);
    }
  } catch (...) {
    // A game callback that throws must not unwind through our threads.
  }
}

void CNimoDelivery::CallNotice(const std::function<void()>& notice) {
  CheckNoLocksHeld("a game callback");
  session::Scope scope(0);
  try {
    notice();
  } catch (...) {
    // as for a callback
  }
}

}  // namespace NimoSdk
