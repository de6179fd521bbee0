// Payments: the product catalogue, orders paid through Steam micro-transactions,
// and the payment result reports.
//
// Threads: the game's thread (queries, purchases), HTTP workers (answers), the
// pay thread (Steam's authorisations, handed over by whoever pumps Steam, and
// the expiry of held answers). productMap_, orderMap_ and the loaded flag are
// guarded by mutex_; the game is never called back while it is held.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "Sdk/CNimoApi.h"
#include "Sdk/CoreParams.h"
#include "Sdk/GameCallback.h"
#include "Sdk/HttpResp.h"
#include "Sdk/ThreadGroup.h"
#include "platform/sync/Mutex.h"

namespace NimoSdk {

struct ProductInfo {
  std::string productName;
  std::string productDesc;
  std::string productCurrencyCode;
  std::string productId;
  std::int32_t gameCurrencyAmount = 0;
  std::string channelProductId;
};

struct PayOrder {
  ProductInfo product;
  GameCallback callback;
  std::string orderId;
  std::string productName;
  std::string defaultCurrency;
  std::int64_t defaultAmountMicro = 0;
  std::int64_t virtualCoinAmount = 0;
  std::string virtualCurrency;
  std::string extInfo;
  std::string steamOrderId;
  std::string steamTransId;
  // The player's facts when the order was created; every report of it uses them.
  std::string serverId;
  std::string gameUserId;
  std::string nickName;
  std::string userId = "-1";

  // Report state, in memory only.
  std::uint64_t purchase = 0;       // which purchase: the server may give its Steam order id to a later one
  bool reporting = false;           // a result report for it is under way
  std::deque<std::string> pending;  // Steam answers that came during the report, in order
};

// Hears result reports that no game callback is left for: orders recovered from
// the journal at Init, and Steam answers repeated after the purchase's callback.
// Runs on an HTTP worker; report is the JSON given to a game callback.
using LateReportHandler = std::function<void(int code, const std::string& msg, const std::string& report)>;

class CNimoPay {
 public:
  CNimoPay();

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

  // The record given to the game for a loaded catalogue (code 200, "Success", JSON).
  struct ProductResult {
    int code;
    std::string msg;
    std::string data;
  };
  ProductResult BuildProductResult() const;

  // Test seam: base of the back-off between pay-result report attempts.
  void SetRetryBackoff(int ms) { retryBackoffMs_ = ms; }
  static constexpr int kPayResultAttempts = 4;

  // --- the purchase journal (PurchaseJournal.h) ---
  // After the configuration answer of the first successful Init: loads the
  // journal and reports every authorisation not confirmed yet, one at a time.
  void RecoverJournal();
  void SetLateReportHandler(LateReportHandler handler);
  // How long a Steam answer waits for its order (default kHeldAnswerMs).
  static constexpr int kHeldAnswerMs = 120000;
  void SetHeldAnswerTime(int ms) { heldAnswerMs_ = ms; }
  std::size_t HeldAnswerCount() const;

 private:
  void QueryProducts(std::function<void()> onReady, std::function<void(HttpResp)> onFailure);
  void OnProductsAnswer(const HttpResp& resp, const std::function<void()>& onReady,
                        const std::function<void(HttpResp)>& onFailure);
  void OrderStep(const std::string& productId, const std::string& extInfo, GameCallback callback);
  void OnCreateOrderAnswer(const HttpResp& resp, const ProductInfo& product, const std::string& extInfo,
                           GameCallback callback, const UserFacts& user);
  // The report of one Steam answer; order.reporting is already set.
  void StartReport(const PayOrder& order, const std::string& status, bool recovered);
  void SendPayResult(PayResultParams params, PayOrder order, int attempt, bool recovered);
  void OnPayResultAnswer(const HttpResp& resp, const PayResultParams& params, const PayOrder& order, int attempt,
                         bool recovered);
  void NextRecoveryReport();
  // Drops Steam answers held longer than the hold time for an order that never came.
  void ExpireHeldAnswers();
  void PayThread(std::uint64_t gen);
  // False when no pay thread can run (none could be made, or Exit stopped it).
  bool PayThreadRunningLocked();
  static PayResultParams ParamsFor(const PayOrder& order, const std::string& status);
  static std::string BuildReport(const PayOrder& order, std::int32_t status);

  struct HeldAnswer {
    std::string status;
    std::chrono::steady_clock::time_point until;
  };

  mutable nimo_sync::Mutex mutex_;
  std::unordered_map<std::string, ProductInfo> productMap_;  // guarded by mutex_
  std::unordered_map<std::string, PayOrder> orderMap_;       // guarded by mutex_
  bool productsLoaded_ = false;                              // guarded by mutex_
  // Steam answers that came before their order, by Steam order id.
  std::unordered_map<std::string, HeldAnswer> heldAnswers_;  // guarded by mutex_
  std::deque<std::string> recoveryQueue_;                    // guarded by mutex_
  bool recovered_ = false;                                   // guarded by mutex_
  LateReportHandler lateReport_;                             // guarded by mutex_
  std::uint64_t nextPurchase_ = 1;                           // guarded by mutex_
  // Steam answers (status, Steam order id) for the pay thread.
  std::deque<std::pair<std::string, std::string>> steamAnswers_;  // guarded by mutex_
  bool payThreadUp_ = false;                                      // guarded by mutex_
  bool payThreadStop_ = false;                                    // guarded by mutex_
  std::uint64_t payGen_ = 0;  // guarded by mutex_; the session's pay thread has this
  nimo_sync::CondVar payWake_;  // with mutex_: an answer queued, an answer held, or Exit
  ThreadGroup payThread_;
  std::atomic<int> retryBackoffMs_{250};
  std::atomic<int> heldAnswerMs_{kHeldAnswerMs};
};

}  // namespace NimoSdk
