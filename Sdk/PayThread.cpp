#include "Sdk/PayThread.h"

#include <easylogging++.h>

#include <cstddef>
#include <utility>


namespace NimoSdk {
namespace {

// A flood of Steam answers is not kept.
constexpr std::size_t kMaxQueuedAnswers = 256;

}  // namespace

PayThread::PayThread(nimo_sync::Mutex& payLock, OrderBook& book, PurchaseJournal& journal, const SessionEnd& end,
                     Deliver deliver)
    : mutex_(payLock), book_(book), journal_(journal), end_(end), deliver_(std::move(deliver)) {}

void PayThread::OnSteamAnswer(std::string status, std::string steamOrderId) {
  std::deque<std::pair<std::string, std::string>> direct;
  {
    nimo_sync::MutexLock lock(mutex_);
    if (steamAnswers_.size() >= kMaxQueuedAnswers) {
      LOG(ERROR) << "Too Many Steam Answers Queued, Dropped SteamOrderId:" << steamOrderId;
      return;
    }
    steamAnswers_.emplace_back(std::move(status), std::move(steamOrderId));
    // Without a thread of ours (none could be made) the payment still comes first.
    if (!RunningLocked()) direct.swap(steamAnswers_);
  }
  payWake_.notify_one();
  for (auto& [s, id] : direct) deliver_(s, id);
}

void PayThread::WakeForHeldAnswers() {
  bool running = false;
  {
    nimo_sync::MutexLock lock(mutex_);
    running = RunningLocked();
  }
  if (running) payWake_.notify_one();  // it expires them
}

bool PayThread::RunningLocked() {
  if (!payThreadUp_ && !payThreadStop_) {
    const std::uint64_t gen = payGen_;
    payThreadUp_ = payThread_.Spawn([this, gen] { Run(gen); });
  }
  return payThreadUp_ && !payThreadStop_;
}

void PayThread::Run(std::uint64_t gen) {
  nimo_sync::UniqueLock lock(mutex_);
  for (;;) {
    if (gen != payGen_) return;  // a thread of an ended session: the new one has its own
    if (!steamAnswers_.empty()) {
      auto [status, id] = std::move(steamAnswers_.front());
      steamAnswers_.pop_front();
      const bool reporting = !payThreadStop_ && !end_.Exited();
      lock.unlock();
      if (reporting) {
        deliver_(status, id);
      } else {
        journal_.RecordSteamAnswer(id, status);  // Exit: the next run reports it
      }
      lock.lock();
      continue;
    }
    if (payThreadStop_) return;
    const auto next = book_.NextExpiryLocked();
    if (next <= std::chrono::steady_clock::now()) {
      lock.unlock();
      book_.ExpireHeldAnswers();
      lock.lock();
    } else if (next == std::chrono::steady_clock::time_point::max()) {
      payWake_.wait(lock);
    } else {
      payWake_.wait_until(lock, next);
    }
  }
}

void PayThread::BeginSessionLocked() {
  ++payGen_;
  payThreadUp_ = false;
  payThreadStop_ = false;
}

void PayThread::WakeAll() { payWake_.notify_all(); }

void PayThread::Stop(std::chrono::steady_clock::time_point deadline) {
  {
    nimo_sync::MutexLock lock(mutex_);
    payThreadStop_ = true;
  }
  payWake_.notify_all();
  if (!payThread_.JoinUntil(deadline)) LOG(WARNING) << "The pay thread is still writing the journal; left to end.";
}

}  // namespace NimoSdk
