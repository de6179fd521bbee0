// The report of Steam's answer for an order to the server (pay_result): asked
// again while no answer can be read, then told to the game's callback, or to the
// late report handler when no callback is left for it. Reports of one order
// follow one another (the order book keeps the answers that wait); recovered
// orders are reported one at a time.
//
// Threads: whoever starts a report, then HTTP workers. lateReport_ is guarded
// by mutex_; the game is never called back while it is held.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "Sdk/CNimoApi.h"
#include "Sdk/HttpResp.h"
#include "Sdk/OrderBook.h"
#include "Sdk/PayOrder.h"
#include "Sdk/PurchaseJournal.h"
#include "Sdk/SessionEnd.h"
#include "Sdk/UnfinishedPurchases.h"
#include "platform/sync/Mutex.h"

namespace NimoSdk {

// Hears result reports that no game callback is left for: orders recovered from
// the journal at Init, and Steam answers repeated after the purchase's callback.
// Runs on an HTTP worker; report is the JSON given to a game callback.
using LateReportHandler = std::function<void(int code, const std::string& msg, const std::string& report)>;

class PayReports {
 public:
  // api: where reports go; end: Exit stops the retries; unfinished: keeps a
  // confirmed purchase for the game's listener, when it has one.
  PayReports(OrderBook& book, PurchaseJournal& journal, CNimoApi& api, const SessionEnd& end,
             UnfinishedPurchases& unfinished);

  // The report of one Steam answer; order.reporting is already set.
  void StartReport(const PayOrder& order, const std::string& status, bool recovered);
  // Reports the next recovered authorisation the order book queued, if any.
  void NextRecoveryReport();

  void SetLateReportHandler(LateReportHandler handler);
  // Test seam: base of the back-off between pay-result report attempts.
  void SetRetryBackoff(int ms) { retryBackoffMs_ = ms; }
  static constexpr int kPayResultAttempts = 4;

 private:
  void SendPayResult(PayResultParams params, PayOrder order, int attempt, bool recovered);
  void OnPayResultAnswer(const HttpResp& resp, const PayResultParams& params, const PayOrder& order, int attempt,
                         bool recovered);
  static PayResultParams ParamsFor(const PayOrder& order, const std::string& status);

  OrderBook& book_;
  PurchaseJournal& journal_;
  CNimoApi& api_;
  const SessionEnd& end_;
  UnfinishedPurchases& unfinished_;
  nimo_sync::Mutex mutex_;
  LateReportHandler lateReport_;  // guarded by mutex_
  std::atomic<int> retryBackoffMs_{250};
};

}  // namespace NimoSdk
