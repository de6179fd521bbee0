// Payments: orders paid through Steam micro-transactions, and the wiring of the
// parts that serve them: the product catalogue (ProductCatalogue), the orders
// and held Steam answers (OrderBook), the pay thread (PayThread), the result
// reports (PayReports) and the purchase journal (PurchaseJournal).
//
// Threads: the game's thread (queries, purchases), HTTP workers (answers), the
// pay thread (Steam's authorisations, handed over by whoever pumps Steam, and
// the expiry of held answers). The order book and the pay thread share payLock_;
// the game is never called back while a lock of ours is held.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>

#include "Sdk/CNimoApi.h"
#include "Sdk/CNimoTrack.h"
#include "Sdk/ClientIdGate.h"
#include "Sdk/CoreParams.h"
#include "Sdk/GameCallback.h"
#include "Sdk/HttpResp.h"
#include "Sdk/OrderBook.h"
#include "Sdk/PayOrder.h"
#include "Sdk/PayReports.h"
#include "Sdk/PayThread.h"
#include "Sdk/ProductCatalogue.h"
#include "Sdk/PurchaseJournal.h"
#include "Sdk/SessionEnd.h"
#include "Sdk/SessionFacts.h"
#include "Sdk/UnfinishedPurchases.h"
#include "platform/sync/Mutex.h"

namespace NimoSdk {

class CNimoPay {
 public:
  // api: the server; track: the device facts an order carries; facts: the
  // player; end: Exit; idGate: the catalogue's request waits for the client id;
  // delivery: where the purchase listener is called; files: where the journal is kept.
  CNimoPay(CNimoApi& api, const CNimoTrack& track, const SessionFacts& facts, const SessionEnd& end,
           ClientIdGate& idGate, CNimoDelivery& delivery, nimo_sys::FileSystem& files);
  CNimoPay(const CNimoPay&) = delete;
  CNimoPay& operator=(const CNimoPay&) = delete;

  // Answers from the cache at once, or loads the catalogue first.
  void QueryProducts(GameCallback callback);
  void CreateOrder(std::string productId, std::string extInfo, GameCallback callback);
  // Steam's answer for an order: status "1" authorised, "0" declined.
  void PayResult(std::string status, std::string steamOrderId);
  // The same from the thread that pumps Steam, ours or the game's: queued for
  // the pay thread, so that pump never waits for a file lock or the disk.
  void OnSteamAnswer(std::string status, std::string steamOrderId);
  // Exit: the pay thread journals the answers still queued and ends; waits for
  // it until the deadline.
  void StopPayThread(std::chrono::steady_clock::time_point deadline);
  // Init after Exit: the catalogue, orders and held answers are forgotten (the
  // journal keeps what matters) and the pay thread may start again.
  void BeginSession();

  bool IsProductsLoaded() const;
  bool HasOrder(const std::string& steamOrderId) const;
  std::size_t ProductCount() const;

  // Test seam: base of the back-off between pay-result report attempts.
  void SetRetryBackoff(int ms) { reports_.SetRetryBackoff(ms); }
  static constexpr int kPayResultAttempts = PayReports::kPayResultAttempts;

  // --- the purchase journal (PurchaseJournal.h) ---
  // After the configuration answer of the first successful Init: loads the
  // journal and reports every authorisation not confirmed yet, one at a time.
  void RecoverJournal();
  void SetLateReportHandler(LateReportHandler handler);
  // How long a Steam answer waits for its order (default kHeldAnswerMs).
  static constexpr int kHeldAnswerMs = 120000;
  void SetHeldAnswerTime(int ms) { heldAnswerMs_ = ms; }
  std::size_t HeldAnswerCount() const;

  // --- purchases the game finishes (UnfinishedPurchases.h) ---
  // Before Init (or after Exit returned); false otherwise. Null: none.
  bool SetPurchaseListener(PurchaseListener listener, void* user) { return unfinished_.SetListener(listener, user); }
  void FinishPurchase(const std::string& orderId) { unfinished_.Finish(orderId); }
  // After the answer of a successful Init: those earlier runs left.
  void TellUnfinished() { unfinished_.TellAll(); }
  // Exit: other processes may take them.
  void ReleaseUnfinished() { unfinished_.ReleaseAll(); }

 private:
  void OrderStep(const std::string& productId, const std::string& extInfo, GameCallback callback);
  void OnCreateOrderAnswer(const HttpResp& resp, const ProductInfo& product, const std::string& extInfo,
                           GameCallback callback, const UserFacts& user);

  CNimoApi& api_;
  const CNimoTrack& track_;
  const SessionFacts& facts_;
  const SessionEnd& end_;
  // Never destroyed (neither is CNimoPay): HTTP workers and the pay thread may use it late.
  PurchaseJournal journal_;
  nimo_sync::Mutex payLock_;  // guards the order book and the pay thread's queue
  ProductCatalogue catalogue_;
  OrderBook book_;
  UnfinishedPurchases unfinished_;
  PayReports reports_;
  PayThread payThread_;
  std::atomic<int> heldAnswerMs_{kHeldAnswerMs};
};

}  // namespace NimoSdk
