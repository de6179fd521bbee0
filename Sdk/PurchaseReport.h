// The JSON a purchase's report gives the game: its CallPay callback, and the
// purchase listener (which also names the buyer).
#pragma once

#include <cstdint>
#include <string>

#include "Sdk/PayOrder.h"

namespace NimoSdk {

// {"amount","currency","extInfo","orderId","productId","quantity","status"}, compact;
// with withUserId, "userId" too.
std::string PurchaseReport(const PayOrder& order, std::int32_t status, bool withUserId = false);

}  // namespace NimoSdk
