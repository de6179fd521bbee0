// The sandbox's memory: players, orders, events and what every request carried.
// Kept in memory and written to the state folder as it changes, so a test or a
// person can see what the SDK sent:
//   users.json, orders.json   whole documents, rewritten on each change (reloaded at start)
//   events.jsonl              one data-collection event per line, as received (reloaded)
//   requests.jsonl            one line per request with its answer (not reloaded)
//   counters.json             per-endpoint and per-device counts, written on Close
#pragma once

#include <cstdint>
#include <deque>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "tools/sandbox/EventCounter.h"
#include "tools/sandbox/Records.h"

namespace nimo_sandbox {

class Store {
 public:
  Store() = default;
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  bool Open(const std::string& dir, std::string* error);
  void Close();

  // A player logging in: the same (app, Steam id) keeps its numeric id; every login gets a new token.
  User Login(const std::string& appId, const std::string& puserId, const std::string& clientId);
  std::optional<User> FindUser(const std::string& appId, const std::string& userId) const;
  std::vector<User> Users() const;

  // Gives the draft its orderId, steamOrderId, steamTransId and time, and keeps it.
  Order AddOrder(Order draft);
  std::optional<Order> FindOrder(const std::string& orderId) const;
  std::optional<Order> FindOrderBySteamId(const std::string& steamOrderId) const;
  // Runs change on the order under the store's lock and saves it; false when unknown.
  bool UpdateOrder(const std::string& orderId, const std::function<void(Order&)>& change);
  std::vector<Order> Orders() const;

  void AddEvent(const std::string& text, const std::string& contentType, nlohmann::json parsed);
  std::vector<StoredEvent> Events() const;
  std::map<std::string, DeviceCounters> EventCounters() const;

  void Record(RequestRecord record);
  std::vector<RequestRecord> Requests() const;
  // Kept requests and events from number `first` on (numbers count every one
  // since start), at most max; *next is the number after the last returned
  // (after the last kept one when first is beyond it).
  std::vector<RequestRecord> RequestsFrom(std::uint64_t first, std::size_t max, std::uint64_t* next) const;
  std::vector<StoredEvent> EventsFrom(std::uint64_t first, std::size_t max, std::uint64_t* next) const;
  // Forgets players, orders, events, requests and counts, in memory and in the
  // state folder. Order and user ids go on from where they were.
  void Clear();
  int Count(const std::string& endpoint) const;
  int Refused(const std::string& endpoint) const;
  void CountAttribution(const std::string& appId, const std::string& clientId);
  int Attributions(const std::string& appId, const std::string& clientId) const;

  nlohmann::json Counters() const;

 private:
  void SaveUsersLocked();
  void SaveOrdersLocked();
  nlohmann::json CountersLocked() const;

  std::string dir_;  // constant while open

  mutable std::mutex mutex_;
  // guarded by mutex_
  std::vector<User> users_;
  std::vector<Order> orders_;
  std::deque<StoredEvent> events_;
  EventCounter devices_;
  std::deque<RequestRecord> requests_;
  std::uint64_t eventsDropped_ = 0, requestsDropped_ = 0;  // numbers before the front of the deques
  std::map<std::string, int> counts_, refused_, attributions_;
  std::int64_t nextUserId_ = 100001;
  std::uint64_t nextOrderSeq_ = 1;
  std::ofstream eventsFile_, requestsFile_;
};

// Compact JSON text that never throws on invalid UTF-8 (network input is hostile).
std::string Dump(const nlohmann::json& j);

}  // namespace nimo_sandbox
