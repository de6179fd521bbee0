// What the SDK reads from each server answer's body (the text of
// HttpResp.data), as pure functions: no state, no network, no game. Each
// returns false when the body is not a JSON object within the size and depth
// limits, or a member it needs has the wrong type; absent members give their
// defaults.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Sdk/PayOrder.h"

namespace NimoSdk {

// What the game hears (code -501) when a body cannot be read.
inline constexpr char kServerParseError[] = "Server JSON Parse Error.";

// "/v3/config/client.do": "isTestDevice" (0 when absent).
bool ReadClientConfig(const std::string& text, std::int32_t& isTestDevice);

// "/v22/init.do": "token" and "userId" as decimal text ("-1" when absent; only
// a whole number is an id).
bool ReadLogin(const std::string& text, std::string& token, std::string& userId);

// "/v10/pay/products.do": the Steam products of "productList", in answer order.
bool ReadCatalogue(const std::string& text, std::vector<ProductInfo>& out);

// "/v10/pay/create_order.do": the order's members into order; "extInfo" is required.
bool ReadOrder(const std::string& text, PayOrder& order);

// "/v10/pay/pay_result.do": "status" (0 when absent).
bool ReadPayResult(const std::string& text, std::int32_t& status);

}  // namespace NimoSdk
