// What a purchase is made of: a product of the catalogue, and the order made
// for it, kept until the server confirms its payment.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include "Sdk/GameCallback.h"

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

}  // namespace NimoSdk
