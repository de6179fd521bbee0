// The games the sandbox knows: their keys and product catalogues, from a JSON
// file or the built-in default.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

namespace nimo_sandbox {

struct PayChannel {
  std::string name;
  std::string channelProductId;
};

struct Product {
  std::string productId;
  std::string productName;
  std::string productDesc;
  std::string productCurrencyCode;
  int gameCurrencyAmount = 0;
  // What an order of this product costs and gives (create-order answer).
  std::int64_t defaultAmountMicro = 0;
  std::string defaultCurrency;
  std::string virtualCurrency;
  std::int64_t virtualCoinAmount = 0;
  std::vector<PayChannel> payChannel;

  // The channel named exactly "STEAM" (the last one when there are several), or null.
  const PayChannel* SteamChannel() const;
};

struct App {
  std::string appId;
  std::string appKey;
  std::set<std::string> testDevices;  // client ids answered with isTestDevice 1
  std::vector<Product> products;

  const Product* FindProduct(const std::string& productId) const;
};

class Catalog {
 public:
  // Two games; the first ("10001") has several STEAM products, one sold only on
  // another channel, one with two channels and one whose channel is "steam" in
  // lower case.
  static Catalog Default();
  static bool FromJson(const nlohmann::json& doc, Catalog* out, std::string* error);
  static bool FromFile(const std::string& path, Catalog* out, std::string* error);

  const App* FindApp(const std::string& appId) const;
  const std::vector<App>& Apps() const { return apps_; }
  App* MutableApp(const std::string& appId);
  nlohmann::json ToJson() const;

 private:
  std::vector<App> apps_;
};

}  // namespace nimo_sandbox
