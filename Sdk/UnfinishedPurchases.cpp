#include "Sdk/UnfinishedPurchases.h"

#include <easylogging++.h>

#include <utility>
#include <vector>

#include "Sdk/CNimoDelivery.h"
#include "Sdk/PurchaseReport.h"

namespace NimoSdk {
namespace {

// The claim file's byte of an order id: the server's id need not be a number.
std::uint64_t ByteOf(const std::string& orderId) {
  std::uint64_t h = 14695981039346656037ull;
  for (unsigned char c : orderId) h = (h ^ c) * 1099511628211ull;
  return h >> 2;
}

}  // namespace

UnfinishedPurchases::UnfinishedPurchases(PurchaseJournal& journal, CNimoDelivery& delivery, const SessionEnd& end)
    : journal_(journal), delivery_(delivery), end_(end) {}

bool UnfinishedPurchases::SetListener(PurchaseListener listener, void* user) {
  if (delivery_.Frozen()) return false;
  nimo_sync::MutexLock lock(mutex_);
  listener_ = listener;
  user_ = user;
  return true;
}

bool UnfinishedPurchases::Listening() const {
  nimo_sync::MutexLock lock(mutex_);
  return listener_ != nullptr;
}

UnfinishedPurchases::Claim UnfinishedPurchases::TakeClaimLocked(const std::string& orderId) {
  if (claims_.count(orderId) != 0) return Claim::Ours;
  const std::uint64_t byte = ByteOf(orderId);
  int& holders = bytes_[byte];
  if (holders == 0) {
    const auto got = locks_.TryLock(journal_.Path() + ".claims", byte);
    if (got != nimo_sys::ByteLocks::Result::Locked) bytes_.erase(byte);
    if (got == nimo_sys::ByteLocks::Result::Held) return Claim::Other;
    if (got == nimo_sys::ByteLocks::Result::Failed) {
      // A paid purchase must reach the game: without locks it is told unclaimed.
      LOG(ERROR) << "Purchase Claim Unavailable, Told Unclaimed, OrderId:" << orderId;
      claims_.emplace(orderId, kUnclaimed);
      return Claim::Taken;
    }
  }
  ++holders;
  claims_.emplace(orderId, byte);
  return Claim::Taken;
}

void UnfinishedPurchases::ReleaseLocked(const std::string& orderId) {
  auto claim = claims_.find(orderId);
  if (claim == claims_.end()) return;
  auto byte = claim->second == kUnclaimed ? bytes_.end() : bytes_.find(claim->second);
  if (byte != bytes_.end() && --byte->second == 0) {
    locks_.Unlock(byte->first);
    bytes_.erase(byte);
  }
  claims_.erase(claim);
}

bool UnfinishedPurchases::Holds(const std::string& orderId) const {
  nimo_sync::MutexLock lock(mutex_);
  return claims_.count(orderId) != 0;
}

bool UnfinishedPurchases::Keep(const PayOrder& order) {
  if (end_.Exited()) {
    // Kept for the next start, which claims and tells it.
    journal_.MarkUnfinished(order.steamOrderId, order.orderId);
    return false;
  }
  Claim claim;
  {
    nimo_sync::MutexLock lock(mutex_);
    claim = TakeClaimLocked(order.orderId);
  }
  if (claim == Claim::Other) {
    // That process marks it and tells its game.
    LOG(INFO) << "Paid Purchase Held By Another Process, OrderId:" << order.orderId;
    return false;
  }
  if (journal_.MarkUnfinished(order.steamOrderId, order.orderId)) {
    LOG(INFO) << "Paid Purchase Kept Until The Game Finishes It, OrderId:" << order.orderId;
    return true;
  }
  // Finished meanwhile by whoever held it.
  if (claim == Claim::Taken) {
    nimo_sync::MutexLock lock(mutex_);
    ReleaseLocked(order.orderId);
  }
  return false;
}

void UnfinishedPurchases::Tell(const PayOrder& order) {
  if (end_.Exited()) return;  // the next start tells it
  PurchaseListener listener;
  void* user;
  {
    nimo_sync::MutexLock lock(mutex_);
    if (listener_ == nullptr || !told_.insert(order.orderId).second) return;
    listener = listener_;
    user = user_;
  }
  LOG(INFO) << "Tell Unfinished Purchase, OrderId:" << order.orderId;
  delivery_.Notify([this, listener, user, id = order.orderId, text = PurchaseReport(order, 1, true)] {
    // Let go at Exit meanwhile: another process may have it now; the next start tells it.
    if (Holds(id)) listener(text.c_str(), user);
  });
}

void UnfinishedPurchases::TellAll() {
  if (end_.Exited()) return;  // the next start tells them
  {
    nimo_sync::MutexLock lock(mutex_);
    if (listener_ == nullptr || toldAll_) return;
    toldAll_ = true;
  }
  std::vector<PurchaseJournal::Entry> mine;
  for (auto& e : journal_.Unfinished()) {
    nimo_sync::MutexLock lock(mutex_);
    if (TakeClaimLocked(e.order.orderId) != Claim::Other) mine.push_back(std::move(e));
  }
  if (mine.empty()) return;
  // Read again under our claims: one finished before we took it is gone now.
  std::set<std::string> still;
  for (const auto& e : journal_.Unfinished()) still.insert(e.order.orderId);
  LOG(INFO) << "Unfinished Purchases To Tell:" << mine.size();
  for (const auto& e : mine) {
    if (still.count(e.order.orderId) != 0) {
      Tell(e.order);
    } else {
      nimo_sync::MutexLock lock(mutex_);
      ReleaseLocked(e.order.orderId);
    }
  }
}

void UnfinishedPurchases::Finish(const std::string& orderId) {
  const bool finished = journal_.Finish(orderId);  // flushed before the claim goes
  {
    nimo_sync::MutexLock lock(mutex_);
    ReleaseLocked(orderId);
  }
  if (finished) {
    LOG(INFO) << "Purchase Finished, OrderId:" << orderId;
  } else {
    LOG(WARNING) << "Finish Of A Purchase Not Kept, OrderId:" << orderId;
  }
}

void UnfinishedPurchases::ReleaseAll() {
  nimo_sync::MutexLock lock(mutex_);
  locks_.Close();
  claims_.clear();
  bytes_.clear();
  told_.clear();
  toldAll_ = false;
}

void UnfinishedPurchases::BeginSession() {
  // A late worker of the ended session may have told (or claimed) after its Exit let go.
  ReleaseAll();
}

}  // namespace NimoSdk
