#include "Sdk/OrderBook.h"

#include <easylogging++.h>

#include <algorithm>


namespace NimoSdk {
namespace {

// Repeats of one Steam answer are rare; a flood of them is not kept.
constexpr std::size_t kMaxPendingAnswers = 8;
constexpr std::size_t kMaxHeldAnswers = 64;

}  // namespace

OrderBook::OrderBook(nimo_sync::Mutex& payLock, PurchaseJournal& journal, const SessionEnd& end)
    : mutex_(payLock), journal_(journal), end_(end) {
  orderMap_.rehash(8);
  orderMap_.max_load_factor(1.0f);
}

bool OrderBook::Has(const std::string& steamOrderId) const {
  nimo_sync::MutexLock lock(mutex_);
  return orderMap_.count(steamOrderId) != 0;
}

std::size_t OrderBook::HeldAnswerCount() const {
  nimo_sync::MutexLock lock(mutex_);
  return heldAnswers_.size();
}

std::string OrderBook::Add(PayOrder& order) {
  std::string held;
  {
    nimo_sync::MutexLock lock(mutex_);
    order.purchase = nextPurchase_++;
    PayOrder& live = orderMap_[order.steamOrderId];
    live = order;
    auto h = heldAnswers_.find(order.steamOrderId);
    if (h != heldAnswers_.end()) {
      held = h->second.status;
      heldAnswers_.erase(h);
      live.reporting = true;
    }
  }
  return held;
}

OrderBook::Next OrderBook::Route(const std::string& status, const std::string& steamOrderId,
                                 std::chrono::milliseconds hold, PayOrder& order) {
  Next next;
  {
    nimo_sync::MutexLock lock(mutex_);
    auto it = orderMap_.find(steamOrderId);
    if (it == orderMap_.end()) {
      // The server opens the transaction before it answers create_order: Steam
      // may well be first.
      auto h = heldAnswers_.find(steamOrderId);
      if (h == heldAnswers_.end() && heldAnswers_.size() >= kMaxHeldAnswers) {
        next = Next::Full;
      } else {
        HeldAnswer& answer = heldAnswers_[steamOrderId];
        if (answer.status != "1") answer.status = status;
        answer.until = std::chrono::steady_clock::now() + hold;
        next = Next::Hold;
      }
    } else if (it->second.reporting) {
      // Never two reports of one order at once; this one follows.
      std::deque<std::string>& pending = it->second.pending;
      if (pending.empty() || pending.back() != status) {
        if (pending.size() < kMaxPendingAnswers) {
          pending.push_back(status);
        } else if (status == "1") {
          pending.back() = status;
        }
      }
      next = Next::Queue;
    } else {
      it->second.reporting = true;
      order = it->second;
      next = Next::Report;
    }
  }
  return next;
}

bool OrderBook::EndReport(const PayOrder& order, bool confirmed, std::string& nextStatus, PayOrder& nextOrder) {
  const std::string& id = order.steamOrderId;
  nimo_sync::MutexLock lock(mutex_);
  auto it = orderMap_.find(id);
  // A later purchase may have been given the same Steam order id: its entry is not ours.
  if (it != orderMap_.end() && it->second.purchase != order.purchase) it = orderMap_.end();
  if (it != orderMap_.end() && !confirmed && !it->second.pending.empty() && !end_.Exited()) {
    // A Steam answer came during this report: it is reported next, and the
    // game hears the outcome of the last one.
    nextStatus = it->second.pending.front();
    it->second.pending.pop_front();
    nextOrder = it->second;
    return false;
  }
  if (it != orderMap_.end()) {
    it->second.reporting = false;
    it->second.pending.clear();
    if (confirmed) orderMap_.erase(it);
  }
  return true;
}

bool OrderBook::BeginRecovery() {
  nimo_sync::MutexLock lock(mutex_);
  if (recovered_) return false;
  recovered_ = true;
  return true;
}

OrderBook::Restored OrderBook::Restore(const std::vector<PurchaseJournal::Entry>& entries, int heldMs) {
  const std::int64_t nowMs = PurchaseJournal::NowMs();
  const auto now = std::chrono::steady_clock::now();
  Restored restored;
  {
    nimo_sync::MutexLock lock(mutex_);
    for (const auto& e : entries) {
      if (e.unfinished || orderMap_.count(e.steamOrderId) != 0) continue;  // an unfinished one is confirmed
      if (!e.hasOrder) {
        // Its order was answered to an earlier run: it only waits out its time.
        if (heldAnswers_.size() < kMaxHeldAnswers) {
          auto left = std::max<std::int64_t>(0, heldMs - (nowMs - e.createdMs));
          heldAnswers_[e.steamOrderId] = HeldAnswer{e.steamStatus, now + std::chrono::milliseconds(left)};
          restored.held = true;
        }
        continue;
      }
      PayOrder& live = orderMap_[e.steamOrderId];
      live = e.order;
      live.callback = nullptr;  // the game that bought it is gone
      live.purchase = nextPurchase_++;
      ++restored.orders;
      if (e.steamStatus == "1") {
        recoveryQueue_.push_back(e.steamOrderId);
        ++restored.toReport;
      }
    }
  }
  return restored;
}

bool OrderBook::NextRecovered(PayOrder& order) {
  nimo_sync::MutexLock lock(mutex_);
  while (!recoveryQueue_.empty()) {
    std::string id = recoveryQueue_.front();
    recoveryQueue_.pop_front();
    auto it = orderMap_.find(id);
    if (it == orderMap_.end() || it->second.reporting) continue;  // settled, or being reported already
    it->second.reporting = true;
    order = it->second;
    return true;
  }
  return false;
}

void OrderBook::ExpireHeldAnswers() {
  std::vector<std::pair<std::string, std::string>> expired;
  {
    nimo_sync::MutexLock lock(mutex_);
    if (heldAnswers_.empty()) return;
    const auto now = std::chrono::steady_clock::now();
    for (auto it = heldAnswers_.begin(); it != heldAnswers_.end();) {
      if (it->second.until <= now) {
        expired.emplace_back(it->first, it->second.status);
        it = heldAnswers_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (const auto& [id, status] : expired) {
    LOG(WARNING) << "Held Steam Answer Expired, Dropped SteamOrderId:" << id << ",SteamStatus:" << status;
    journal_.RemoveAnswerWithoutOrder(id);
  }
}

std::chrono::steady_clock::time_point OrderBook::NextExpiryLocked() const {
  auto next = std::chrono::steady_clock::time_point::max();
  for (const auto& h : heldAnswers_) next = std::min(next, h.second.until);
  return next;
}

void OrderBook::ClearLocked() {
  orderMap_.clear();
  heldAnswers_.clear();
  recoveryQueue_.clear();
  recovered_ = false;
}

}  // namespace NimoSdk
