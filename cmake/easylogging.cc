// The logging library's storage, then at once our file sink: one unit, so
// the sink is in place before any other static of ours can log.
#include NIMO_ELPP_CC

#include "Sdk/NimoLog.h"

namespace {
const bool gLogFileRouted = (NimoSdk::RouteLogFileThroughSink(), true);
}  // namespace
