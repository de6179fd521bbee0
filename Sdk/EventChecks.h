// The findings on an event the game posts, logged on the caller's thread as it
// posts; none of them stops the event. The parameters' text is read without
// building a document: only the few built-in events with required parameters
// are parsed whole.
#pragma once

#include <string>
#include <vector>

#include "Sdk/EventDraft.h"

namespace NimoSdk {

// What the parameters' text holds, as far as the findings go.
struct ParamsShape {
  enum Kind { kEmpty, kNotJson, kNull, kObject } kind = kEmpty;  // kNotJson: also valid JSON of another type
  std::vector<std::string> badKeys;  // an object's member names that are not event names, sorted, once each
};
ParamsShape ScanParams(const std::string& params);

// True when the whole text is one or more of [a-zA-Z0-9_].
bool MatchEventName(const std::string& text);

// Logs the findings on the name, the parameters and, for the built-in events
// that have them, the required parameters (table may be null: none).
void LogEventFindings(const EventTable* table, const std::string& name, const std::string& params);
// The required parameters alone; parsed: the parameters as ParseEventParams gives them.
void LogRequiredParamFindings(const EventTable& table, const std::string& name, const std::string& params,
                              const nlohmann::json& parsed);

}  // namespace NimoSdk
