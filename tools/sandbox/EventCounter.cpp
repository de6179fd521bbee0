#include "tools/sandbox/EventCounter.h"

namespace nimo_sandbox {
namespace {

using json = nlohmann::json;

// "n42" -> 42; -1 when it is not of that form.
long long EventNumber(const json& event) {
  if (!event.is_object() || !event.contains("eventOrder") || !event["eventOrder"].is_string()) return -1;
  const std::string s = event["eventOrder"].get<std::string>();
  if (s.size() < 2 || s.size() > 19 || s[0] != 'n') return -1;
  long long n = 0;
  for (std::size_t i = 1; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return -1;
    n = n * 10 + (s[i] - '0');
  }
  return n;
}

}  // namespace

void EventCounter::Count(const json& event) {
  std::string device = event.is_object() && event.contains("deviceId") && event["deviceId"].is_string()
                           ? event["deviceId"].get<std::string>()
                           : std::string();
  DeviceSeen& d = devices_[device];
  ++d.counters.events;
  long long n = EventNumber(event);
  if (n < 0) {
    ++d.counters.malformed;
    return;
  }
  if (!d.seen.insert(n).second) {
    ++d.counters.duplicates;
    return;
  }
  d.counters.distinct = static_cast<int>(d.seen.size());
  d.counters.lowest = *d.seen.begin();
  d.counters.highest = *d.seen.rbegin();
  d.counters.missing = static_cast<int>(d.counters.highest - d.counters.lowest + 1 - d.counters.distinct);
}

std::map<std::string, DeviceCounters> EventCounter::Counters() const {
  std::map<std::string, DeviceCounters> out;
  for (const auto& [device, d] : devices_) out[device] = d.counters;
  return out;
}

json EventCounter::ToJson() const {
  json devices = json::object();
  for (const auto& [device, d] : devices_) {
    const DeviceCounters& c = d.counters;
    devices[device] = {{"events", c.events},       {"distinct", c.distinct}, {"duplicates", c.duplicates},
                       {"missing", c.missing},     {"malformed", c.malformed}, {"lowest", c.lowest},
                       {"highest", c.highest}};
  }
  return devices;
}

void EventCounter::Clear() { devices_.clear(); }

}  // namespace nimo_sandbox
