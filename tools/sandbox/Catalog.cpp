#include "tools/sandbox/Catalog.h"

#include <fstream>
#include <sstream>

namespace nimo_sandbox {
namespace {

using json = nlohmann::json;

const char* kDefaultCatalog = R"({
  "apps": [
    {
      "appId": "10001",
      "appKey": "sandbox-key-10001",
      "testDevices": [],
      "products": [
        {"productId": "gem_60", "productName": "60 Gems", "productDesc": "A small pouch of gems",
         "productCurrencyCode": "USD", "gameCurrencyAmount": 60,
         "defaultAmountMicro": 990000, "defaultCurrency": "USD", "virtualCurrency": "GEM", "virtualCoinAmount": 60,
         "payChannel": [{"name": "STEAM", "channelProductId": "1001"}]},
        {"productId": "gem_300", "productName": "300 Gems", "productDesc": "A bag of gems",
         "productCurrencyCode": "USD", "gameCurrencyAmount": 300,
         "defaultAmountMicro": 4990000, "defaultCurrency": "USD", "virtualCurrency": "GEM", "virtualCoinAmount": 300,
         "payChannel": [{"name": "STEAM", "channelProductId": "1002"}]},
        {"productId": "gem_980", "productName": "980 宝石", "productDesc": "一大箱宝石",
         "productCurrencyCode": "CNY", "gameCurrencyAmount": 980,
         "defaultAmountMicro": 68000000, "defaultCurrency": "CNY", "virtualCurrency": "GEM", "virtualCoinAmount": 980,
         "payChannel": [{"name": "STEAM", "channelProductId": "1003"}]},
        {"productId": "starter_pack", "productName": "Starter Pack", "productDesc": "Sold on the web shop only",
         "productCurrencyCode": "USD", "gameCurrencyAmount": 100,
         "defaultAmountMicro": 1990000, "defaultCurrency": "USD", "virtualCurrency": "GEM", "virtualCoinAmount": 100,
         "payChannel": [{"name": "WEB", "channelProductId": "web_starter"}]},
        {"productId": "vip_month", "productName": "VIP Month", "productDesc": "Thirty days of VIP",
         "productCurrencyCode": "USD", "gameCurrencyAmount": 0,
         "defaultAmountMicro": 9990000, "defaultCurrency": "USD", "virtualCurrency": "", "virtualCoinAmount": 0,
         "payChannel": [{"name": "WEB", "channelProductId": "web_vip"}, {"name": "STEAM", "channelProductId": "2001"}]},
        {"productId": "lucky_box", "productName": "Lucky Box", "productDesc": "Its channel is not spelled STEAM",
         "productCurrencyCode": "USD", "gameCurrencyAmount": 10,
         "defaultAmountMicro": 490000, "defaultCurrency": "USD", "virtualCurrency": "GEM", "virtualCoinAmount": 10,
         "payChannel": [{"name": "steam", "channelProductId": "2002"}]}
      ]
    },
    {
      "appId": "10002",
      "appKey": "sandbox-key-10002",
      "testDevices": [],
      "products": [
        {"productId": "coin_100", "productName": "100 Coins", "productDesc": "Coins for the second game",
         "productCurrencyCode": "EUR", "gameCurrencyAmount": 100,
         "defaultAmountMicro": 1990000, "defaultCurrency": "EUR", "virtualCurrency": "COIN", "virtualCoinAmount": 100,
         "payChannel": [{"name": "STEAM", "channelProductId": "3001"}]}
      ]
    }
  ]
})";

bool Text(const json& obj, const char* key, std::string* out, bool required, std::string* error) {
  auto it = obj.find(key);
  if (it == obj.end()) {
    if (required && error != nullptr) *error = std::string("missing \"") + key + "\"";
    return !required;
  }
  if (!it->is_string()) {
    if (error != nullptr) *error = std::string("\"") + key + "\" must be a string";
    return false;
  }
  *out = it->get<std::string>();
  return true;
}

template <class Int>
bool Number(const json& obj, const char* key, Int* out, std::string* error) {
  auto it = obj.find(key);
  if (it == obj.end()) return true;
  if (!it->is_number_integer()) {
    if (error != nullptr) *error = std::string("\"") + key + "\" must be an integer";
    return false;
  }
  *out = it->get<Int>();
  return true;
}

bool ReadProduct(const json& p, Product* out, std::string* error) {
  if (!p.is_object()) {
    *error = "a product must be an object";
    return false;
  }
  Product r;
  bool hasCoins = p.contains("virtualCoinAmount");
  if (!Text(p, "productId", &r.productId, true, error) || !Text(p, "productName", &r.productName, false, error) ||
      !Text(p, "productDesc", &r.productDesc, false, error) ||
      !Text(p, "productCurrencyCode", &r.productCurrencyCode, false, error) ||
      !Number(p, "gameCurrencyAmount", &r.gameCurrencyAmount, error) ||
      !Number(p, "defaultAmountMicro", &r.defaultAmountMicro, error) ||
      !Text(p, "defaultCurrency", &r.defaultCurrency, false, error) ||
      !Text(p, "virtualCurrency", &r.virtualCurrency, false, error) ||
      !Number(p, "virtualCoinAmount", &r.virtualCoinAmount, error)) {
    return false;
  }
  if (r.defaultCurrency.empty()) r.defaultCurrency = r.productCurrencyCode;
  if (!hasCoins) r.virtualCoinAmount = r.gameCurrencyAmount;
  auto ch = p.find("payChannel");
  if (ch != p.end()) {
    if (!ch->is_array()) {
      *error = "\"payChannel\" must be an array";
      return false;
    }
    for (const auto& c : *ch) {
      PayChannel pc;
      if (!c.is_object() || !Text(c, "name", &pc.name, true, error) ||
          !Text(c, "channelProductId", &pc.channelProductId, false, error)) {
        if (error->empty()) *error = "a pay channel must be an object";
        return false;
      }
      r.payChannel.push_back(pc);
    }
  }
  *out = std::move(r);
  return true;
}

}  // namespace

const PayChannel* Product::SteamChannel() const {
  const PayChannel* found = nullptr;
  for (const auto& c : payChannel) {
    if (c.name == "STEAM") found = &c;
  }
  return found;
}

const Product* App::FindProduct(const std::string& productId) const {
  for (const auto& p : products) {
    if (p.productId == productId) return &p;
  }
  return nullptr;
}

Catalog Catalog::Default() {
  Catalog c;
  std::string error;
  FromJson(json::parse(kDefaultCatalog), &c, &error);
  return c;
}

bool Catalog::FromJson(const json& doc, Catalog* out, std::string* error) {
  std::string err;
  if (!doc.is_object() || !doc.contains("apps") || !doc["apps"].is_array()) {
    *error = "the configuration must be an object with an array \"apps\"";
    return false;
  }
  Catalog c;
  for (const auto& a : doc["apps"]) {
    App app;
    if (!a.is_object() || !Text(a, "appId", &app.appId, true, &err) || !Text(a, "appKey", &app.appKey, true, &err)) {
      *error = "app: " + (err.empty() ? std::string("must be an object") : err);
      return false;
    }
    if (a.contains("testDevices")) {
      if (!a["testDevices"].is_array()) {
        *error = "app " + app.appId + ": \"testDevices\" must be an array of client ids";
        return false;
      }
      for (const auto& d : a["testDevices"]) {
        if (d.is_string()) app.testDevices.insert(d.get<std::string>());
      }
    }
    if (a.contains("products")) {
      if (!a["products"].is_array()) {
        *error = "app " + app.appId + ": \"products\" must be an array";
        return false;
      }
      for (const auto& p : a["products"]) {
        Product product;
        if (!ReadProduct(p, &product, &err)) {
          *error = "app " + app.appId + ": " + err;
          return false;
        }
        app.products.push_back(std::move(product));
      }
    }
    if (c.FindApp(app.appId) != nullptr) {
      *error = "app " + app.appId + " is listed twice";
      return false;
    }
    c.apps_.push_back(std::move(app));
  }
  *out = std::move(c);
  return true;
}

bool Catalog::FromFile(const std::string& path, Catalog* out, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read " + path;
    return false;
  }
  std::stringstream ss;
  ss << in.rdbuf();
  json doc = json::parse(ss.str(), nullptr, false);
  if (doc.is_discarded()) {
    *error = path + " is not valid JSON";
    return false;
  }
  if (!FromJson(doc, out, error)) {
    *error = path + ": " + *error;
    return false;
  }
  return true;
}

const App* Catalog::FindApp(const std::string& appId) const {
  for (const auto& a : apps_) {
    if (a.appId == appId) return &a;
  }
  return nullptr;
}

App* Catalog::MutableApp(const std::string& appId) {
  for (auto& a : apps_) {
    if (a.appId == appId) return &a;
  }
  return nullptr;
}

json Catalog::ToJson() const {
  json apps = json::array();
  for (const auto& a : apps_) {
    json products = json::array();
    for (const auto& p : a.products) {
      json channels = json::array();
      for (const auto& c : p.payChannel) channels.push_back({{"name", c.name}, {"channelProductId", c.channelProductId}});
      products.push_back({{"productId", p.productId},
                          {"productName", p.productName},
                          {"productDesc", p.productDesc},
                          {"productCurrencyCode", p.productCurrencyCode},
                          {"gameCurrencyAmount", p.gameCurrencyAmount},
                          {"defaultAmountMicro", p.defaultAmountMicro},
                          {"defaultCurrency", p.defaultCurrency},
                          {"virtualCurrency", p.virtualCurrency},
                          {"virtualCoinAmount", p.virtualCoinAmount},
                          {"payChannel", channels}});
    }
    apps.push_back({{"appId", a.appId},
                    {"appKey", a.appKey},
                    {"testDevices", json(a.testDevices)},
                    {"products", products}});
  }
  return {{"apps", apps}};
}

}  // namespace nimo_sandbox
