// What the store keeps of players, orders, events and requests, and the JSON
// each is written as in the state folder.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

namespace nimo_sandbox {

struct User {
  std::int64_t userId = 0;
  std::string appId;
  std::string puserId;  // the Steam id
  std::string token;
  std::string clientId;
  int logins = 0;
};

struct Order {
  std::string orderId;
  std::string steamOrderId;  // decimal, above 32 bits
  std::string steamTransId;
  std::string appId;
  std::string userId;
  std::string steamId;
  std::string productId;
  std::string channelProductId;
  std::string productName;
  std::int64_t defaultAmountMicro = 0;
  std::string defaultCurrency;
  std::string virtualCurrency;
  std::int64_t virtualCoinAmount = 0;
  std::string clientId, serverId, gameUserId, nickName, extInfo, collectionInfo, sdkExtInfo;
  std::string player;         // what the player did: approve, decline, never
  bool authorized = false;    // Steam's side told the game "authorised"
  int reports = 0;            // accepted pay-result reports
  int payStatus = -1;         // -1 unreported, 1 paid, 0 not paid
  std::string verdict;        // answer of the first accepted report, repeated verbatim
  std::int64_t createdMs = 0;
};

struct StoredEvent {
  std::string text;         // as received
  std::string contentType;  // of the request
  nlohmann::json json;      // parsed
};

struct RequestRecord {
  std::string endpoint;  // name, or "unknown"
  std::string method, path, contentType, body;
  int httpStatus = 0;
  std::string answer;
  std::string fault;  // fault mode applied, empty when none
  std::string note;   // why it was refused, and the expected sign text when a signature did not match
  // The common check that refused it (content type, parameter order, appId, signature),
  // or "not checked" when a fault or an unreadable body answered before any check.
  std::string check;
  std::int64_t timeMs = 0;
};

// Reading back tolerates missing or mistyped fields: they keep their defaults.
nlohmann::json ToJson(const User& u);
User UserFrom(const nlohmann::json& j);
nlohmann::json ToJson(const Order& o);
Order OrderFrom(const nlohmann::json& j);
nlohmann::json ToJson(const RequestRecord& r);  // one line of requests.jsonl

}  // namespace nimo_sandbox
