#include "Sdk/PurchaseReport.h"

#include <nlohmann/json.hpp>

namespace NimoSdk {

std::string PurchaseReport(const PayOrder& order, std::int32_t status, bool withUserId) {
  nlohmann::json report = nlohmann::json::object();
  report["amount"] = order.defaultAmountMicro;
  report["currency"] = order.defaultCurrency;
  report["extInfo"] = order.extInfo;
  report["orderId"] = order.orderId;
  report["productId"] = order.product.productId;
  report["quantity"] = 1;
  report["status"] = status;
  if (withUserId) report["userId"] = order.userId;
  return report.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace NimoSdk
