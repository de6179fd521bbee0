// Payments: the product catalogue, orders paid through Steam, payment reports.
#pragma once

#include <string>

#include "Sdk/GameCallback.h"

namespace NimoSdk {

class CNimoPay {
 public:
  void QueryProducts(ResultCallback callback);
  void CreateOrder(std::string productId, std::string extInfo, ResultCallback callback);
  void PayResult(std::string status, std::string steamOrderId);
};

}  // namespace NimoSdk
