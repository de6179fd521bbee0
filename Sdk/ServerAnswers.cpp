#include "Sdk/ServerAnswers.h"

#include "Sdk/JsonFields.h"

namespace NimoSdk {
namespace {

// One product of the answer; false when a member has the wrong type.
bool ReadProduct(const json& item, ProductInfo& p) {
  return ReadString(item, "productName", p.productName) && ReadString(item, "productId", p.productId) &&
         ReadString(item, "productDesc", p.productDesc) &&
         ReadString(item, "productCurrencyCode", p.productCurrencyCode) &&
         ReadInt32(item, "gameCurrencyAmount", p.gameCurrencyAmount);
}

// The Steam products of a products answer, in answer order; false when unreadable.
bool ReadCatalogueOf(const json& body, std::vector<ProductInfo>& out) {
  auto list = body.find("productList");
  if (list == body.end() || list->is_null()) return true;
  if (!list->is_array()) return false;
  for (const json& item : *list) {
    if (item.is_null()) continue;
    if (!item.is_object()) return false;
    auto channels = item.find("payChannel");
    if (channels == item.end() || channels->is_null()) continue;
    if (!channels->is_array()) return false;
    for (const json& channel : *channels) {
      if (channel.is_null()) continue;
      if (!channel.is_object()) return false;
      auto name = channel.find("name");
      if (name == channel.end() || *name != "STEAM") continue;
      ProductInfo p;
      if (!ReadString(channel, "channelProductId", p.channelProductId) || !ReadProduct(item, p)) return false;
      out.push_back(std::move(p));
    }
  }
  return true;
}

}  // namespace

bool ReadClientConfig(const std::string& text, std::int32_t& isTestDevice) {
  json body;
  return ParseObject(text, body) && ReadInt32(body, "isTestDevice", isTestDevice);
}

bool ReadLogin(const std::string& text, std::string& token, std::string& userId) {
  json body;
  userId = "-1";
  if (!ParseObject(text, body) || !ReadString(body, "token", token)) return false;
  auto id = body.find("userId");
  if (id == body.end() || id->is_null()) return true;
  if (!id->is_number_integer()) return false;
  userId = id->dump();  // decimal text, unsigned range included
  return true;
}

bool ReadCatalogue(const std::string& text, std::vector<ProductInfo>& out) {
  json body;
  return ParseObject(text, body) && ReadCatalogueOf(body, out);
}

bool ReadOrder(const std::string& text, PayOrder& order) {
  json body;
  if (!ParseObject(text, body) || !ReadString(body, "orderId", order.orderId) ||
      !ReadString(body, "productName", order.productName) ||
      !ReadString(body, "defaultCurrency", order.defaultCurrency) ||
      !ReadString(body, "virtualCurrency", order.virtualCurrency) ||
      !ReadInt64(body, "defaultAmountMicro", order.defaultAmountMicro) ||
      !ReadInt64(body, "virtualCoinAmount", order.virtualCoinAmount)) {
    return false;
  }
  auto ext = body.find("extInfo");
  return ext != body.end() && ext->is_object() && ReadString(*ext, "steamOrderId", order.steamOrderId) &&
         ReadString(*ext, "steamTransId", order.steamTransId);
}

bool ReadPayResult(const std::string& text, std::int32_t& status) {
  json body;
  return ParseObject(text, body) && ReadInt32(body, "status", status);
}

}  // namespace NimoSdk
