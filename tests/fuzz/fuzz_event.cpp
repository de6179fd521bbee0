// Event posts with random names and parameter texts, against the built-in
// event table: the findings and the drafted text, and the parameters' scan
// (no document) against what the parsed document holds.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "Sdk/CNimoTrack.h"
#include "Sdk/EventChecks.h"
#include "Sdk/NimoLog.h"
#include "Sdk/Singletons.h"

namespace {

using NimoSdk::ParamsShape;

void CheckScan(const std::string& params) {
  const ParamsShape shape = NimoSdk::ScanParams(params);
  const nlohmann::json doc = NimoSdk::ParseEventParams(params);
  ParamsShape::Kind kind = ParamsShape::kNotJson;
  if (params.empty()) kind = ParamsShape::kEmpty;
  else if (doc.is_null()) kind = ParamsShape::kNull;
  else if (doc.is_object()) kind = ParamsShape::kObject;
  std::vector<std::string> bad;
  if (doc.is_object())
    for (auto it = doc.begin(); it != doc.end(); ++it)
      if (!NimoSdk::MatchEventName(it.key())) bad.push_back(it.key());
  if (shape.kind != kind || shape.badKeys != bad) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool ready = [] {
    NimoSdk::ConfigureLog(false);  // findings are logged; keep the fuzzer's output readable
    NimoSdk::Track().InitEventTable();
    return true;
  }();
  (void)ready;
  FuzzedDataProvider in(data, size);
  std::string name = in.ConsumeRandomLengthString(256);
  if (in.ConsumeBool()) name = "zko_" + name;
  const std::string params = in.ConsumeRemainingBytesAsString();
  CheckScan(params);
  const std::string text = NimoSdk::Track().Draft(name, params, std::numeric_limits<double>::quiet_NaN());
  if (!nlohmann::json::parse(text, nullptr, false).is_object()) std::abort();
  return 0;
}
