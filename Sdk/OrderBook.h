// The orders of the session by Steam order id, the Steam answers that came
// before their order (held for a while), and the orders recovered from the
// journal that wait for their report.
//
// Everything here is guarded by the pay lock, which the owner gives: the pay
// thread waits on it for the expiry of held answers. Each method takes it,
// except those named ...Locked, which want it held.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

#include "Sdk/PayOrder.h"
#include "Sdk/PurchaseJournal.h"
#include "Sdk/SessionEnd.h"
#include "platform/sync/Mutex.h"

namespace NimoSdk {

class OrderBook {
 public:
  // end: an answer that comes during Exit is left to the journal.
  OrderBook(nimo_sync::Mutex& payLock, PurchaseJournal& journal, const SessionEnd& end);

  bool Has(const std::string& steamOrderId) const;
  std::size_t HeldAnswerCount() const;

  // Files a new order as a purchase of its own. Returns the Steam answer that
  // was held for it ("" when none); its report is then under way.
  std::string Add(PayOrder& order);

  // Where a Steam answer goes: reported now (order: a copy of it, now
  // reporting), queued behind the report in flight, held for its order, or
  // dropped because too many answers are held.
  enum class Next { Report, Queue, Hold, Full };
  Next Route(const std::string& status, const std::string& steamOrderId, std::chrono::milliseconds hold,
             PayOrder& order);

  // The end of one report of order. When a Steam answer came during it (and
  // the result was not confirmed), nextStatus and nextOrder are the report to
  // make next and false is returned; otherwise the order is no longer
  // reporting, a confirmed one leaves, and true is returned.
  bool EndReport(const PayOrder& order, bool confirmed, std::string& nextStatus, PayOrder& nextOrder);

  // False when the journal was recovered in this session already.
  bool BeginRecovery();
  // Files the journal's entries: orders of an earlier run (their authorisations
  // queued for a report) and answers waiting out their hold time.
  struct Restored {
    std::size_t orders = 0;
    std::size_t toReport = 0;
    bool held = false;  // some answer is held now: the pay thread expires it
  };
  Restored Restore(const std::vector<PurchaseJournal::Entry>& entries, int heldMs);
  // The next recovered order to report, now reporting; false when none is left.
  bool NextRecovered(PayOrder& order);

  // Drops Steam answers held longer than the hold time for an order that never came.
  void ExpireHeldAnswers();
  // When the first held answer expires (time_point::max() when none is held).
  std::chrono::steady_clock::time_point NextExpiryLocked() const;
  // Init after Exit: orders and held answers of the ended session are in the
  // journal, which this session's Init recovers.
  void ClearLocked();

 private:
  struct HeldAnswer {
    std::string status;
    std::chrono::steady_clock::time_point until;
  };

  nimo_sync::Mutex& mutex_;
  PurchaseJournal& journal_;
  const SessionEnd& end_;
  std::unordered_map<std::string, PayOrder> orderMap_;  // guarded by mutex_
  // Steam answers that came before their order, by Steam order id.
  std::unordered_map<std::string, HeldAnswer> heldAnswers_;  // guarded by mutex_
  std::deque<std::string> recoveryQueue_;                    // guarded by mutex_
  bool recovered_ = false;                                   // guarded by mutex_
  std::uint64_t nextPurchase_ = 1;                           // guarded by mutex_
};

}  // namespace NimoSdk
