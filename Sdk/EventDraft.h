// An analytics event as the game posted it, and its JSON text. The game's
// thread only captures the post (its time, the facts in force, the game's own
// text) and hands it off; the tracker thread drafts the text. So a post costs
// the game's frame a hand-off, not a JSON document.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <string>

namespace NimoSdk {

// The facts every event carries.
struct EventFacts {
  std::string deviceId;
  std::string appId;
  std::string platform;
  std::string gamePlatform;
  std::string fingerId;
  std::int64_t userId = -1;
  std::string serverId;
  std::string gameUserId;
  std::string sdkVersion;
  std::string sdkType;
  std::string nickName;
  int level = 0;
  std::string tz;
  std::string os;
  std::string resolution;
};

// Built-in event names and the required parameters of some of them.
struct EventTable {
  std::set<std::string> builtinEvents;
  nlohmann::json requiredParams;  // event name -> {parameter name -> declared type name}
};

// The facts and the table at one moment; immutable once published, so a post
// shares it instead of copying fifteen strings.
struct EventContext {
  EventFacts facts;
  std::shared_ptr<const EventTable> table;  // null until the tracker's Init
};

struct PostedEvent {
  std::shared_ptr<const EventContext> context;  // never null
  std::string name;                             // UTF-8, as the game gave it
  std::string params;                           // JSON object text, or empty
  double value = 0;                             // NaN for none
  std::int64_t sdkTime = 0;                     // milliseconds since the epoch, at the post

  // What it holds in memory, for the hand-off's bound: the game's text and the
  // facts (shared, but counted as the text drafted from them will hold them).
  std::size_t Bytes() const;
};
// Shared between the hand-off, the tracker drafting it and Exit saving it.
using SharedEvent = std::shared_ptr<const PostedEvent>;

// The compact event text with "eventOrder":"" (numbered later). Logs nothing:
// the findings were logged when the game posted it (EventChecks.h).
std::string DraftEvent(const PostedEvent& event);

// The name the event is sent under: built-in names as they are, others with
// the custom prefix (once). Without a table every name is custom.
std::string ResolveEventName(const EventTable* table, const std::string& name);

inline constexpr int kMaxParamDepth = 256;
// Parses without throwing; discarded when the text is not JSON or nests deeper
// than the SDK will copy and print.
nlohmann::json ParseEventParams(const std::string& text);
// Compact text; bytes that are not UTF-8 (an event name can be anything)
// become U+FFFD instead of making the serialiser throw.
std::string CompactJson(const nlohmann::json& value);

}  // namespace NimoSdk
