#include "tools/sandbox/Store.h"

#include <openssl/rand.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "tools/sandbox/StateFile.h"

namespace nimo_sandbox {
namespace {

using json = nlohmann::json;

constexpr std::size_t kMaxKeptRequests = 100000;
constexpr std::size_t kMaxKeptEvents = 200000;

std::int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

bool WriteWhole(const std::string& path, const std::string& text) {
  std::string tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out << text;
    if (!out.flush()) return false;
  }
  return MoveOver(tmp, path);
}

json ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return json();
  std::stringstream ss;
  ss << in.rdbuf();
  return json::parse(ss.str(), nullptr, false);
}

}  // namespace

std::string Dump(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

bool Store::Open(const std::string& dir, std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  dir_ = dir;
  json users = ReadWhole(dir + "/users.json");
  if (users.is_array()) {
    for (const auto& u : users) {
      if (!u.is_object()) continue;
      users_.push_back(UserFrom(u));
      if (users_.back().userId >= nextUserId_) nextUserId_ = users_.back().userId + 1;
    }
  }
  json orders = ReadWhole(dir + "/orders.json");
  if (orders.is_array()) {
    for (const auto& o : orders) {
      if (!o.is_object()) continue;
      orders_.push_back(OrderFrom(o));
      const std::string& id = orders_.back().orderId;
      if (id.size() > 2 && id.compare(0, 2, "SO") == 0) {
        std::uint64_t seq = std::strtoull(id.c_str() + 2, nullptr, 10);
        if (seq >= nextOrderSeq_) nextOrderSeq_ = seq + 1;
      }
    }
  }
  {
    std::ifstream in(dir + "/events.jsonl", std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
      json e = json::parse(line, nullptr, false);
      if (e.is_discarded()) continue;
      devices_.Count(e);
      if (events_.size() < kMaxKeptEvents) events_.push_back({line, "", std::move(e)});
    }
  }
  eventsFile_.open(dir + "/events.jsonl", std::ios::binary | std::ios::app);
  requestsFile_.open(dir + "/requests.jsonl", std::ios::binary | std::ios::app);
  if (!eventsFile_ || !requestsFile_) {
    *error = "cannot write to the state folder " + dir;
    return false;
  }
  return true;
}

void Store::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (dir_.empty()) return;
  WriteWhole(dir_ + "/counters.json", CountersLocked().dump(2, ' ', false, json::error_handler_t::replace) + "\n");
  eventsFile_.close();
  requestsFile_.close();
}

User Store::Login(const std::string& appId, const std::string& puserId, const std::string& clientId) {
  unsigned char raw[16] = {0};
  if (RAND_bytes(raw, sizeof raw) != 1) {
    std::int64_t t = NowMs();
    std::memcpy(raw, &t, sizeof t);
  }
  static const char kHex[] = "0123456789abcdef";
  std::string token;
  for (unsigned char b : raw) {
    token += kHex[b >> 4];
    token += kHex[b & 15];
  }
  std::lock_guard<std::mutex> lock(mutex_);
  User* user = nullptr;
  for (auto& u : users_) {
    if (u.appId == appId && u.puserId == puserId) user = &u;
  }
  if (user == nullptr) {
    users_.push_back(User{nextUserId_++, appId, puserId, "", clientId, 0});
    user = &users_.back();
  }
  user->token = token;
  user->clientId = clientId;
  ++user->logins;
  User copy = *user;
  SaveUsersLocked();
  return copy;
}

std::optional<User> Store::FindUser(const std::string& appId, const std::string& userId) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& u : users_) {
    if (u.appId == appId && std::to_string(u.userId) == userId) return u;
  }
  return std::nullopt;
}

std::vector<User> Store::Users() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return users_;
}

Order Store::AddOrder(Order draft) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::uint64_t seq = nextOrderSeq_++;
  char id[32];
  std::snprintf(id, sizeof id, "SO%010llu", static_cast<unsigned long long>(seq));
  draft.orderId = id;
  // Beyond 32 bits on purpose: a client that narrows the id loses the order.
  draft.steamOrderId = std::to_string(5000000000ULL + seq);
  draft.steamTransId = "ST" + std::to_string(7000000000ULL + seq);
  draft.createdMs = NowMs();
  orders_.push_back(draft);
  SaveOrdersLocked();
  return draft;
}

std::optional<Order> Store::FindOrder(const std::string& orderId) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& o : orders_) {
    if (o.orderId == orderId) return o;
  }
  return std::nullopt;
}

std::optional<Order> Store::FindOrderBySteamId(const std::string& steamOrderId) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& o : orders_) {
    if (o.steamOrderId == steamOrderId) return o;
  }
  return std::nullopt;
}

bool Store::UpdateOrder(const std::string& orderId, const std::function<void(Order&)>& change) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& o : orders_) {
    if (o.orderId == orderId) {
      change(o);
      SaveOrdersLocked();
      return true;
    }
  }
  return false;
}

std::vector<Order> Store::Orders() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return orders_;
}

void Store::AddEvent(const std::string& text, const std::string& contentType, json parsed) {
  // One line per event: a text with line breaks of its own is stored re-serialised.
  std::string line = text.find_first_of("\r\n") == std::string::npos ? text : Dump(parsed);
  std::lock_guard<std::mutex> lock(mutex_);
  devices_.Count(parsed);
  eventsFile_ << line << '\n';
  eventsFile_.flush();
  if (events_.size() >= kMaxKeptEvents) {
    events_.pop_front();
    ++eventsDropped_;
  }
  events_.push_back({text, contentType, std::move(parsed)});
}

std::vector<StoredEvent> Store::Events() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return {events_.begin(), events_.end()};
}

std::map<std::string, DeviceCounters> Store::EventCounters() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return devices_.Counters();
}

void Store::Record(RequestRecord record) {
  record.timeMs = NowMs();
  std::string line = Dump(ToJson(record));
  std::lock_guard<std::mutex> lock(mutex_);
  ++counts_[record.endpoint];
  if (!record.note.empty()) ++refused_[record.endpoint];
  requestsFile_ << line << '\n';
  requestsFile_.flush();
  if (requests_.size() >= kMaxKeptRequests) {
    requests_.pop_front();
    ++requestsDropped_;
  }
  requests_.push_back(std::move(record));
}

template <typename T>
static std::vector<T> Slice(const std::deque<T>& kept, std::uint64_t dropped, std::uint64_t first, std::size_t max,
                            std::uint64_t* next) {
  std::uint64_t from = std::min<std::uint64_t>(std::max(first, dropped) - dropped, kept.size());
  std::uint64_t to = from + std::min<std::uint64_t>(max, kept.size() - from);
  *next = dropped + to;
  if (from == to) return {};
  return {kept.begin() + static_cast<std::ptrdiff_t>(from), kept.begin() + static_cast<std::ptrdiff_t>(to)};
}

std::vector<RequestRecord> Store::RequestsFrom(std::uint64_t first, std::size_t max, std::uint64_t* next) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return Slice(requests_, requestsDropped_, first, max, next);
}

std::vector<StoredEvent> Store::EventsFrom(std::uint64_t first, std::size_t max, std::uint64_t* next) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return Slice(events_, eventsDropped_, first, max, next);
}

void Store::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  users_.clear();
  orders_.clear();
  devices_.Clear();
  counts_.clear();
  refused_.clear();
  attributions_.clear();
  eventsDropped_ += events_.size();
  requestsDropped_ += requests_.size();
  events_.clear();
  requests_.clear();
  if (dir_.empty()) return;
  SaveUsersLocked();
  SaveOrdersLocked();
  eventsFile_.close();
  requestsFile_.close();
  eventsFile_.open(dir_ + "/events.jsonl", std::ios::binary | std::ios::trunc);
  requestsFile_.open(dir_ + "/requests.jsonl", std::ios::binary | std::ios::trunc);
}

std::vector<RequestRecord> Store::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return {requests_.begin(), requests_.end()};
}

int Store::Count(const std::string& endpoint) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = counts_.find(endpoint);
  return it != counts_.end() ? it->second : 0;
}

int Store::Refused(const std::string& endpoint) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = refused_.find(endpoint);
  return it != refused_.end() ? it->second : 0;
}

void Store::CountAttribution(const std::string& appId, const std::string& clientId) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++attributions_[appId + "/" + clientId];
}

int Store::Attributions(const std::string& appId, const std::string& clientId) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = attributions_.find(appId + "/" + clientId);
  return it != attributions_.end() ? it->second : 0;
}

json Store::Counters() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return CountersLocked();
}

json Store::CountersLocked() const {
  int paid = 0;
  for (const auto& o : orders_) paid += o.payStatus == 1 ? 1 : 0;
  return {{"requests", json(counts_)},
          {"refused", json(refused_)},
          {"attributions", json(attributions_)},
          {"users", users_.size()},
          {"orders", orders_.size()},
          {"paidOrders", paid},
          {"events", devices_.ToJson()}};
}

void Store::SaveUsersLocked() {
  json all = json::array();
  for (const auto& u : users_) all.push_back(ToJson(u));
  WriteWhole(dir_ + "/users.json", all.dump(2, ' ', false, json::error_handler_t::replace) + "\n");
}

void Store::SaveOrdersLocked() {
  json all = json::array();
  for (const auto& o : orders_) all.push_back(ToJson(o));
  WriteWhole(dir_ + "/orders.json", all.dump(2, ' ', false, json::error_handler_t::replace) + "\n");
}

}  // namespace nimo_sandbox
