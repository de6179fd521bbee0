#include "tools/sandbox/Records.h"

namespace nimo_sandbox {
namespace {

using json = nlohmann::json;

std::string Str(const json& j, const char* key) {
  auto it = j.find(key);
  return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::int64_t Int(const json& j, const char* key, std::int64_t fallback = 0) {
  auto it = j.find(key);
  return it != j.end() && it->is_number_integer() ? it->get<std::int64_t>() : fallback;
}

}  // namespace

json ToJson(const User& u) {
  return {{"userId", u.userId}, {"appId", u.appId}, {"puserId", u.puserId},
          {"token", u.token},   {"clientId", u.clientId}, {"logins", u.logins}};
}

User UserFrom(const json& j) {
  User u;
  u.userId = Int(j, "userId");
  u.appId = Str(j, "appId");
  u.puserId = Str(j, "puserId");
  u.token = Str(j, "token");
  u.clientId = Str(j, "clientId");
  u.logins = static_cast<int>(Int(j, "logins"));
  return u;
}

json ToJson(const Order& o) {
  return {{"orderId", o.orderId},
          {"steamOrderId", o.steamOrderId},
          {"steamTransId", o.steamTransId},
          {"appId", o.appId},
          {"userId", o.userId},
          {"steamId", o.steamId},
          {"productId", o.productId},
          {"channelProductId", o.channelProductId},
          {"productName", o.productName},
          {"defaultAmountMicro", o.defaultAmountMicro},
          {"defaultCurrency", o.defaultCurrency},
          {"virtualCurrency", o.virtualCurrency},
          {"virtualCoinAmount", o.virtualCoinAmount},
          {"clientId", o.clientId},
          {"serverId", o.serverId},
          {"gameUserId", o.gameUserId},
          {"nickName", o.nickName},
          {"extInfo", o.extInfo},
          {"collectionInfo", o.collectionInfo},
          {"sdkExtInfo", o.sdkExtInfo},
          {"player", o.player},
          {"authorized", o.authorized},
          {"reports", o.reports},
          {"payStatus", o.payStatus},
          {"verdict", o.verdict},
          {"createdMs", o.createdMs}};
}

Order OrderFrom(const json& j) {
  Order o;
  o.orderId = Str(j, "orderId");
  o.steamOrderId = Str(j, "steamOrderId");
  o.steamTransId = Str(j, "steamTransId");
  o.appId = Str(j, "appId");
  o.userId = Str(j, "userId");
  o.steamId = Str(j, "steamId");
  o.productId = Str(j, "productId");
  o.channelProductId = Str(j, "channelProductId");
  o.productName = Str(j, "productName");
  o.defaultAmountMicro = Int(j, "defaultAmountMicro");
  o.defaultCurrency = Str(j, "defaultCurrency");
  o.virtualCurrency = Str(j, "virtualCurrency");
  o.virtualCoinAmount = Int(j, "virtualCoinAmount");
  o.clientId = Str(j, "clientId");
  o.serverId = Str(j, "serverId");
  o.gameUserId = Str(j, "gameUserId");
  o.nickName = Str(j, "nickName");
  o.extInfo = Str(j, "extInfo");
  o.collectionInfo = Str(j, "collectionInfo");
  o.sdkExtInfo = Str(j, "sdkExtInfo");
  o.player = Str(j, "player");
  o.authorized = j.contains("authorized") && j["authorized"].is_boolean() && j["authorized"].get<bool>();
  o.reports = static_cast<int>(Int(j, "reports"));
  o.payStatus = static_cast<int>(Int(j, "payStatus", -1));
  o.verdict = Str(j, "verdict");
  o.createdMs = Int(j, "createdMs");
  return o;
}

json ToJson(const RequestRecord& r) {
  json j = {{"time", r.timeMs},       {"endpoint", r.endpoint}, {"method", r.method},
            {"path", r.path},         {"contentType", r.contentType}, {"body", r.body},
            {"httpStatus", r.httpStatus}, {"answer", r.answer}};
  if (!r.fault.empty()) j["fault"] = r.fault;
  if (!r.note.empty()) j["note"] = r.note;
  if (!r.check.empty()) j["check"] = r.check;
  return j;
}

}  // namespace nimo_sandbox
