// Purchases the server confirmed as paid that the game has not finished yet,
// kept only while the game has a purchase listener: they stay in the journal
// (unfinished) until the game finishes them, and the listener hears each after
// the purchase's callback, at every start after Init, and when a recovered
// report is confirmed.
//
// One running process of the game holds an unfinished purchase at a time: a
// lock on one byte (chosen by a hash of the order id) of a claim file beside
// the journal ("PayJournal.claims"), which the system drops when the process
// dies, and we drop at Exit and at the finish; one open file for all of them.
// A claim is taken before the purchase is marked or told, and the journal read
// again after it, so a purchase finished by the process that held it is never
// told again. Two order ids of one hash share a byte: at worst one waits.
//
// Safe from any thread; the game is never called while mutex_ is held.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>

#include "Sdk/PayOrder.h"
#include "Sdk/PurchaseJournal.h"
#include "Sdk/SessionEnd.h"
#include "platform/sync/Mutex.h"
#include "platform/sys/ByteLocks.h"

namespace NimoSdk {

class CNimoDelivery;

using PurchaseListener = void (*)(const char* purchaseJson, void* user);

class UnfinishedPurchases {
 public:
  UnfinishedPurchases(PurchaseJournal& journal, CNimoDelivery& delivery, const SessionEnd& end);
  UnfinishedPurchases(const UnfinishedPurchases&) = delete;
  UnfinishedPurchases& operator=(const UnfinishedPurchases&) = delete;

  // Refused (false) from Init until Exit has returned, as the callback mode.
  bool SetListener(PurchaseListener listener, void* user);
  bool Listening() const;

  // The server confirmed order as paid: claimed by this process and marked
  // unfinished. True when this process is to tell it (Tell).
  bool Keep(const PayOrder& order);
  // The purchase to the listener, once per session, in the callback mode.
  void Tell(const PayOrder& order);
  // After Init succeeded (once per session): those no other process holds, in
  // the order they were paid.
  void TellAll();
  // The game granted it: forgotten, durably, and its claim dropped.
  void Finish(const std::string& orderId);
  // Exit: the claims go, so another process (or the next session) takes them.
  void ReleaseAll();
  // Init after Exit: this session tells them again, from no claim.
  void BeginSession();


 private:
  enum class Claim { Taken, Ours, Other };
  // The byte of a claim taken without a lock (the claim file cannot be locked).
  static constexpr std::uint64_t kUnclaimed = ~std::uint64_t{0};
  Claim TakeClaimLocked(const std::string& orderId) REQUIRES(mutex_);
  void ReleaseLocked(const std::string& orderId) REQUIRES(mutex_);
  bool Holds(const std::string& orderId) const;

  PurchaseJournal& journal_;
  CNimoDelivery& delivery_;
  const SessionEnd& end_;
  mutable nimo_sync::Mutex mutex_;
  PurchaseListener listener_ GUARDED_BY(mutex_) = nullptr;
  void* user_ GUARDED_BY(mutex_) = nullptr;
  nimo_sys::ByteLocks locks_ GUARDED_BY(mutex_);
  std::map<std::string, std::uint64_t> claims_ GUARDED_BY(mutex_);  // order id: its byte
  std::map<std::uint64_t, int> bytes_ GUARDED_BY(mutex_);            // byte: claims on it
  std::set<std::string> told_ GUARDED_BY(mutex_);  // told in this session
  bool toldAll_ GUARDED_BY(mutex_) = false;
};

}  // namespace NimoSdk
