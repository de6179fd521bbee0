// Payments: the product catalogue, orders paid through Steam micro-transactions,
// and the payment result reports.
//
// Threads: the game's thread (queries, purchases), HTTP workers (answers), the
// Steam pump (authorisations). productMap_, orderMap_ and the loaded flag are
// guarded by mutex_; the game is never called back while it is held.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>

#include "Sdk/CNimoApi.h"
#include "Sdk/GameCallback.h"
#include "Sdk/HttpResp.h"

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
  bool reporting = false;  // a result report for it is under way
};

class CNimoPay {
 public:
  CNimoPay();

  // Answers from the cache at once, or loads the catalogue first.
  void QueryProducts(GameCallback callback);
  void CreateOrder(std::string productId, std::string extInfo, GameCallback callback);
  // Steam's answer for an order: status "1" authorised, "0" declined.
  void PayResult(std::string status, std::string steamOrderId);

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

 private:
  void QueryProducts(std::function<void()> onReady, std::function<void(HttpResp)> onFailure);
  void OnProductsAnswer(const HttpResp& resp, const std::function<void()>& onReady,
                        const std::function<void(HttpResp)>& onFailure);
  void OrderStep(const std::string& productId, const std::string& extInfo, GameCallback callback);
  void OnCreateOrderAnswer(const HttpResp& resp, const ProductInfo& product, const std::string& extInfo,
                           GameCallback callback);
  void SendPayResult(PayResultParams params, PayOrder order, int attempt);
  void OnPayResultAnswer(const HttpResp& resp, const PayResultParams& params, const PayOrder& order, int attempt);
  static std::string BuildReport(const PayOrder& order, std::int32_t status);

  mutable std::mutex mutex_;
  std::unordered_map<std::string, ProductInfo> productMap_;  // guarded by mutex_
  std::unordered_map<std::string, PayOrder> orderMap_;       // guarded by mutex_
  bool productsLoaded_ = false;                              // guarded by mutex_
  int retryBackoffMs_ = 250;
};

}  // namespace NimoSdk
