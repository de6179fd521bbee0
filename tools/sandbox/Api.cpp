#include "tools/sandbox/Api.h"

#include <cstdint>
#include <cstdlib>
#include <optional>

namespace nimo_sandbox {
namespace {

using json = nlohmann::json;

bool IsDecimal(const std::string& s, std::size_t maxLen = 19) {
  if (s.empty() || s.size() > maxLen) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

bool IsLowerHex(const std::string& s) {
  for (char c : s) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// The merchant JSON of login, products and create-order: {"merId":"<Steam app id>"}.
bool MerchantOk(const std::string& text, std::uint32_t* steamAppId) {
  json j = json::parse(text, nullptr, false);
  if (j.is_discarded() || !j.is_object() || j.size() != 1 || !j.contains("merId") || !j["merId"].is_string()) {
    return false;
  }
  std::string id = j["merId"].get<std::string>();
  if (!IsDecimal(id, 10) || std::stoull(id) > 0xFFFFFFFFULL) return false;
  if (steamAppId != nullptr) *steamAppId = static_cast<std::uint32_t>(std::stoull(id));
  return true;
}

Outcome Refuse(int code, const std::string& msg, std::string note = {}) {
  return {{{"code", code}, {"msg", msg}}, note.empty() ? msg : msg + "; " + note, nullptr};
}

}  // namespace

// Values echoed in messages stay short.
std::string Clip(const std::string& s) { return s.size() <= 64 ? s : s.substr(0, 64) + "..."; }

json Success() { return {{"code", 200}, {"msg", "Success"}}; }

Outcome Api::Process(Endpoint e, const std::string& body, const std::string& contentType, std::string* check) {
  if (e == Endpoint::Track) return Track(body, contentType);
  if (contentType.rfind("application/x-www-form-urlencoded", 0) != 0) {
    *check = "content type";
    return Refuse(400, "Content-Type must be application/x-www-form-urlencoded");
  }
  const FormSpec& spec = SpecOf(e);
  std::vector<Form> readings = SplitOrdered(body, spec.bodyKeys);
  if (readings.empty()) {
    std::string missing = FirstMissingKey(body, spec.bodyKeys);
    std::string order;
    for (const auto& k : spec.bodyKeys) order += (order.empty() ? "" : ",") + k;
    *check = "parameter order";
    return Refuse(400, missing.empty() ? std::string("Malformed parameters") : "Missing parameter: " + missing,
                  "expected the parameters in this order: " + order);
  }
  const App* app = nullptr;
  std::string expected;
  for (const Form& f : readings) {
    const App* a = catalog.FindApp(f.at("appId"));
    if (a == nullptr) continue;
    std::string text = SignText(f, spec, a->appKey);
    if (Md5Hex(text) == f.at("osign")) return Signed(e, f, *a);
    if (app == nullptr) {
      app = a;
      expected = text;
    }
  }
  *check = app == nullptr ? "appId" : "signature";
  if (app == nullptr) return Refuse(403, "Unknown appId: " + Clip(readings.front().at("appId")));
  return Refuse(401, "Signature mismatch", "expected sign text: " + expected);
}

Outcome Api::Signed(Endpoint e, const Form& f, const App& app) {
  switch (e) {
    case Endpoint::Config: {
      bool test = settings.Get().testDevice || app.testDevices.count(f.at("clientId")) > 0;
      json a = Success();
      a["isTestDevice"] = test ? 1 : 0;
      return {a, {}, nullptr};
    }
    case Endpoint::Attribution:
      store.CountAttribution(app.appId, f.at("clientId"));
      return {Success(), {}, nullptr};
    case Endpoint::Login: return Login(f, app);
    case Endpoint::Products: return Products(f, app);
    case Endpoint::CreateOrder: return CreateOrder(f, app);
    case Endpoint::PayResult: return PayResult(f, app);
    case Endpoint::Track: break;
  }
  return Refuse(404, "Unknown endpoint");
}

Outcome Api::Login(const Form& f, const App& app) {
  if (f.at("platform") != "STEAM") return Refuse(400, "platform must be STEAM");
  if (f.at("bindType") != "1") return Refuse(400, "bindType must be 1");
  const std::string& puserId = f.at("puserId");
  if (!IsDecimal(puserId, 20) || puserId == "0") return Refuse(400, "puserId must be the decimal Steam id");
  const std::string& ticket = f.at("accessToken");
  if (ticket.empty() || ticket.size() % 2 != 0 || ticket.size() > 8192 || !IsLowerHex(ticket)) {
    return Refuse(400, "accessToken must be the auth ticket in lower-case hex");
  }
  if (!MerchantOk(f.at("extra"), nullptr)) return Refuse(400, "extra must be {\"merId\":\"<Steam app id>\"}");
  User u = store.Login(app.appId, puserId, f.at("clientId"));
  json a = Success();
  a["token"] = u.token;
  a["userId"] = u.userId;
  return {a, {}, nullptr};
}

Outcome Api::Products(const Form& f, const App& app) {
  const std::string& page = f.at("page");
  const std::string& size = f.at("pageSize");
  if (!IsDecimal(page, 6) || !IsDecimal(size, 6) || std::stoi(page) < 1 || std::stoi(size) < 1) {
    return Refuse(400, "page and pageSize must be positive numbers");
  }
  if (!MerchantOk(f.at("extra"), nullptr)) return Refuse(400, "extra must be {\"merId\":\"<Steam app id>\"}");
  std::size_t first = static_cast<std::size_t>(std::stoi(page) - 1) * static_cast<std::size_t>(std::stoi(size));
  json list = json::array();
  for (std::size_t i = first; i < app.products.size() && i < first + static_cast<std::size_t>(std::stoi(size)); ++i) {
    const Product& p = app.products[i];
    json channels = json::array();
    for (const auto& c : p.payChannel) channels.push_back({{"name", c.name}, {"channelProductId", c.channelProductId}});
    list.push_back({{"productId", p.productId},
                    {"productName", p.productName},
                    {"productDesc", p.productDesc},
                    {"productCurrencyCode", p.productCurrencyCode},
                    {"gameCurrencyAmount", p.gameCurrencyAmount},
                    {"payChannel", channels}});
  }
  json a = Success();
  a["productList"] = list;
  return {a, {}, nullptr};
}

Outcome Api::CreateOrder(const Form& f, const App& app) {
  if (f.at("appKey") != app.appKey) return Refuse(401, "appKey does not match the app");
  if (f.at("channel") != "STEAM") return Refuse(400, "channel must be STEAM");
  const Product* product = app.FindProduct(f.at("productId"));
  if (product == nullptr) return Refuse(404, "Unknown productId: " + Clip(f.at("productId")));
  const PayChannel* channel = product->SteamChannel();
  if (channel == nullptr) return Refuse(400, "Product " + Clip(product->productId) + " is not sold through STEAM");
  std::optional<User> user = store.FindUser(app.appId, f.at("userId"));
  if (!user) return Refuse(401, "Unknown userId: " + Clip(f.at("userId")) + " (log in first)");
  json info = json::parse(f.at("collectionInfo"), nullptr, false);
  if (info.is_discarded() || !info.is_object()) return Refuse(400, "collectionInfo must be a JSON object");
  std::uint32_t steamAppId = 0;
  if (!MerchantOk(f.at("sdkExtInfo"), &steamAppId)) {
    return Refuse(400, "sdkExtInfo must be {\"merId\":\"<Steam app id>\"}");
  }
  PlayerSettings player = settings.Get().player;
  PlayerMode mode = player.For(product->productId);
  int delayMs = player.delayMs;
  bool steamFirst = player.steamFirst;
  Order draft;
  draft.appId = app.appId;
  draft.userId = f.at("userId");
  draft.steamId = user->puserId;
  draft.productId = product->productId;
  draft.channelProductId = channel->channelProductId;
  draft.productName = product->productName;
  draft.defaultAmountMicro = product->defaultAmountMicro;
  draft.defaultCurrency = product->defaultCurrency;
  draft.virtualCurrency = product->virtualCurrency;
  draft.virtualCoinAmount = product->virtualCoinAmount;
  draft.clientId = f.at("clientId");
  draft.serverId = f.at("serverId");
  draft.gameUserId = f.at("gameUserId");
  draft.nickName = f.at("nickName");
  draft.extInfo = f.at("extInfo");
  draft.collectionInfo = f.at("collectionInfo");
  draft.sdkExtInfo = f.at("sdkExtInfo");
  draft.player = PlayerModeName(mode);
  draft.authorized = mode == PlayerMode::Approve;
  Order o = store.AddOrder(draft);

  json a = Success();
  a["orderId"] = o.orderId;
  a["productName"] = o.productName;
  a["defaultCurrency"] = o.defaultCurrency;
  a["virtualCurrency"] = o.virtualCurrency;
  a["defaultAmountMicro"] = o.defaultAmountMicro;
  a["virtualCoinAmount"] = o.virtualCoinAmount;
  a["extInfo"] = {{"steamOrderId", o.steamOrderId}, {"steamTransId", o.steamTransId}};
  std::function<void()> after;
  if (mode != PlayerMode::Never) {
    std::uint64_t steamId = std::strtoull(o.steamId.c_str(), nullptr, 10);
    std::uint64_t orderId = std::strtoull(o.steamOrderId.c_str(), nullptr, 10);
    bool ok = mode == PlayerMode::Approve;
    if (steamFirst) {
      // The real server opens the transaction before it answers: Steam may be
      // quicker than this answer. Without a connected client it answers anyway.
      steam.Authorize(steamId, steamAppId, orderId, ok, 0);
      if (steam.WaitDelivered(orderId, std::chrono::seconds(10), [this] { return !stop.Sleep(0); })) stop.Sleep(delayMs);
    } else {
      after = [this, steamId, steamAppId, orderId, ok, delayMs] {
        steam.Authorize(steamId, steamAppId, orderId, ok, delayMs);
      };
    }
  }
  return {a, {}, after};
}

Outcome Api::PayResult(const Form& f, const App& app) {
  if (f.at("channel") != "STEAM") return Refuse(400, "channel must be STEAM");
  const std::string& status = f.at("status");
  if (status != "0" && status != "1") return Refuse(400, "status must be 1 (authorised) or 0 (declined)");
  std::optional<Order> found = store.FindOrder(f.at("orderId"));
  if (!found || found->appId != app.appId) return Refuse(404, "Unknown orderId: " + Clip(f.at("orderId")));
  const Order& order = *found;
  if (order.userId != f.at("userId")) return Refuse(409, "Order " + order.orderId + " belongs to another user");
  json verify = json::parse(f.at("extVerifyInfo"), nullptr, false);
  if (verify.is_discarded() || !verify.is_object() || !verify.contains("steamOrderId") ||
      verify["steamOrderId"] != json(order.steamOrderId)) {
    return Refuse(422, "extVerifyInfo must be {\"steamOrderId\":\"" + order.steamOrderId + "\"}");
  }
  if (f.at("channelProductId") != order.channelProductId) {
    return Refuse(422, "channelProductId must be " + order.channelProductId);
  }
  std::string amount = std::to_string(order.defaultAmountMicro);
  if (status == "1" && f.at("payAmountMicros") != amount) {
    return Refuse(422, "payAmountMicros must be the order's amount " + amount);
  }
  std::string verdict;
  store.UpdateOrder(order.orderId, [&](Order& o) {
    ++o.reports;
    // A repeated report hears the verdict again, unless the order was not paid
    // and Steam's authorisation now arrives after a decline.
    if (!o.verdict.empty() && !(o.payStatus == 0 && status == "1" && o.authorized)) {
      verdict = o.verdict;
      return;
    }
    bool paid = status == "1" && o.authorized;
    json a = {{"code", 200},
              {"msg", paid ? "Success" : status == "1" ? "Steam did not authorise this order" : "Payment declined"},
              {"status", paid ? 1 : 0}};
    o.payStatus = paid ? 1 : 0;
    o.verdict = verdict = Dump(a);
  });
  json a = json::parse(verdict, nullptr, false);
  return {a.is_discarded() ? Success() : a, {}, nullptr};
}

Outcome Api::Track(const std::string& body, const std::string& contentType) {
  json event = json::parse(body, nullptr, false);
  if (event.is_discarded() || !event.is_object()) return Refuse(400, "An event must be one JSON object");
  store.AddEvent(body, contentType, std::move(event));
  return {Success(), {}, nullptr};
}

}  // namespace nimo_sandbox
