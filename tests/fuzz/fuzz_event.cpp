// Event validation with random names and parameter texts, against the
// built-in event table.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>

#include "Sdk/CNimoTrack.h"
#include "Sdk/NimoLog.h"
#include "Sdk/Singletons.h"

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
  const std::string resolved = NimoSdk::Track().ResolveEventName(name);
  NimoSdk::Track().CheckEventAndParams(resolved, params);
  (void)NimoSdk::CNimoTrack::MatchName(name);
  return 0;
}
