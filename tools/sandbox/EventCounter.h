// Per-device counts of the data-collection events, from their "eventOrder"
// numbers ("n<number>"), so a test sees at once whether events were lost or
// sent twice. Not thread-safe: its owner (Store) guards it.
#pragma once

#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>

namespace nimo_sandbox {

struct DeviceCounters {
  int events = 0;
  int distinct = 0;     // distinct eventOrder numbers
  int duplicates = 0;   // events whose number was seen before
  int missing = 0;      // numbers never seen between the lowest and highest seen
  int malformed = 0;    // eventOrder absent or not "n<number>"
  long long lowest = 0, highest = 0;
};

class EventCounter {
 public:
  // Counts one event under its "deviceId" (empty when it has none).
  void Count(const nlohmann::json& event);
  std::map<std::string, DeviceCounters> Counters() const;
  // {"<device>":{"events":N,"distinct":N,...},...}
  nlohmann::json ToJson() const;
  void Clear();

 private:
  struct DeviceSeen {
    DeviceCounters counters;
    std::set<long long> seen;
  };
  std::map<std::string, DeviceSeen> devices_;
};

}  // namespace nimo_sandbox
