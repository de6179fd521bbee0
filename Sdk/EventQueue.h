// The per-game queue file of analytics events, beside AppConf: events that were
// numbered but not yet delivered survive kills and restarts in it.
//
// One record per line, appended, never rewritten in place:
//   E <order> <event JSON> <hash>   an event with its sequence number
//   U <event JSON> <hash>           an event written at Exit before it had a
//                                   number ("eventOrder" empty); numbered at the next start
//   D <order> <hash>                the event with that number left the queue
//                                   (delivered, or dropped when the queue was full)
// <hash> is 16 hex digits of FNV-1a 64 over everything before the last space.
// Event JSON is compact, so it holds no newline. A line without its newline or
// with a wrong hash (a torn tail after a crash) is skipped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace NimoSdk {

struct QueuedEvent {
  std::int64_t order = 0;  // 0: not numbered yet
  std::string text;        // the event JSON; when unnumbered, with "eventOrder":""
};

class EventQueue {
 public:
  static std::string EventRecord(std::int64_t order, const std::string& text);
  static std::string UnnumberedRecord(const std::string& draft);
  static std::string DoneRecord(std::int64_t order);

  struct Parsed {
    std::vector<QueuedEvent> live;  // numbered events not done, in file order, then the unnumbered
    std::int64_t highest = 0;       // highest number in any record
    int skipped = 0;                // torn or corrupt lines
    std::size_t records = 0;        // good lines
  };
  static Parsed Parse(const std::string& bytes);

  // The draft with "n<order>" put into its empty "eventOrder".
  static std::string WithOrder(const std::string& draft, std::int64_t order);
  // A draft made before the client id was known: its own (top-level) "deviceId"
  // or "fingerId" is empty; WithClientId fills those in.
  static bool LacksClientId(const std::string& draft);
  static std::string WithClientId(std::string draft, const std::string& id);
};

}  // namespace NimoSdk
