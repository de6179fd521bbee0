#include "Sdk/EventQueue.h"

#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <unordered_set>

namespace NimoSdk {
namespace {

constexpr const char* kEmptyOrder = "\"eventOrder\":\"\"";
constexpr std::size_t kEmptyOrderValueAt = 14;  // just after the opening quote of the value
constexpr const char* kDeviceKey = "\"deviceId\":";
constexpr const char* kFingerKey = "\"fingerId\":";

std::string Hash(const char* p, std::size_t n) {
  std::uint64_t h = 1469598103934665603ULL;
  for (std::size_t i = 0; i < n; ++i) {
    h ^= static_cast<unsigned char>(p[i]);
    h *= 1099511628211ULL;
  }
  char out[17];
  std::snprintf(out, sizeof out, "%016llx", static_cast<unsigned long long>(h));
  return out;
}

std::string Sealed(std::string body) {
  body += ' ' + Hash(body.data(), body.size()) + '\n';
  return body;
}

// Decimal digits up to the next space (or the end); false when not a number in range.
bool ParseOrder(const std::string& s, std::size_t& i, std::int64_t& out) {
  std::int64_t v = 0;
  std::size_t start = i;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    if (v > (INT64_MAX - (s[i] - '0')) / 10) return false;
    v = v * 10 + (s[i] - '0');
  }
  out = v;
  return i > start && v > 0 && (i == s.size() || s[i] == ' ');
}

// Where the id goes when the event's own member under key is empty, else npos.
// Its own is the last of that key: the game's parameters sit in "context", which
// sorts before it, and what follows "context" are scalars whose quotes are escaped.
std::size_t EmptyOwnMember(const std::string& draft, const char* key) {
  std::size_t at = draft.rfind(key);
  if (at == std::string::npos) return at;
  at += std::strlen(key);
  return draft.compare(at, 2, "\"\"") == 0 ? at + 1 : std::string::npos;
}

}  // namespace

std::string EventQueue::EventRecord(std::int64_t order, const std::string& text) {
  return Sealed("E " + std::to_string(order) + " " + text);
}

std::string EventQueue::UnnumberedRecord(const std::string& draft) { return Sealed("U " + draft); }

std::string EventQueue::DoneRecord(std::int64_t order) { return Sealed("D " + std::to_string(order)); }

std::string EventQueue::WithOrder(const std::string& draft, std::int64_t order) {
  // The last one is the event's own: members after it are scalars, and a
  // quote inside a string is escaped, so no nested text can end the search early.
  std::size_t at = draft.rfind(kEmptyOrder);
  if (at == std::string::npos) return draft;
  std::string out = draft;
  out.insert(at + kEmptyOrderValueAt, "n" + std::to_string(order));
  return out;
}

bool EventQueue::LacksClientId(const std::string& draft) {
  return EmptyOwnMember(draft, kDeviceKey) != std::string::npos ||
         EmptyOwnMember(draft, kFingerKey) != std::string::npos;
}

std::string EventQueue::WithClientId(std::string draft, const std::string& id) {
  if (id.empty()) return draft;
  // The id as the inside of a JSON string (a stored one may hold anything).
  std::string quoted = nlohmann::json(id).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  std::string inner = quoted.substr(1, quoted.size() - 2);
  // The later one first, so the earlier position still holds; a game's own
  // members of these names are left as they are.
  for (const char* key : {kFingerKey, kDeviceKey}) {
    std::size_t at = EmptyOwnMember(draft, key);
    if (at != std::string::npos) draft.insert(at, inner);
  }
  return draft;
}

EventQueue::Parsed EventQueue::Parse(const std::string& bytes) {
  Parsed out;
  std::vector<QueuedEvent> numbered, unnumbered;
  std::unordered_set<std::int64_t> done, seen;
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    std::size_t end = bytes.find('\n', pos);
    if (end == std::string::npos) {  // torn tail
      ++out.skipped;
      break;
    }
    std::string line = bytes.substr(pos, end - pos);
    pos = end + 1;
    std::size_t space = line.rfind(' ');
    if (space == std::string::npos || space < 2 || line[1] != ' ' ||
        line.compare(space + 1, std::string::npos, Hash(line.data(), space)) != 0) {
      ++out.skipped;
      continue;
    }
    std::string body = line.substr(0, space);
    std::size_t i = 2;
    std::int64_t order = 0;
    if (body[0] == 'E' && ParseOrder(body, i, order) && i < body.size()) {
      if (seen.insert(order).second) numbered.push_back({order, body.substr(i + 1)});
    } else if (body[0] == 'D' && ParseOrder(body, i, order) && i == body.size()) {
      done.insert(order);
    } else if (body[0] == 'U' && body.size() > 2) {
      unnumbered.push_back({0, body.substr(2)});
      ++out.records;
      continue;
    } else {
      ++out.skipped;
      continue;
    }
    ++out.records;
    if (order > out.highest) out.highest = order;
  }
  for (QueuedEvent& e : numbered)
    if (done.count(e.order) == 0) out.live.push_back(std::move(e));
  for (QueuedEvent& e : unnumbered) out.live.push_back(std::move(e));
  return out;
}

}  // namespace NimoSdk
