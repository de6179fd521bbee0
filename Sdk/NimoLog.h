#pragma once

namespace NimoSdk {

// Configures easylogging++'s "default" logger: format "%datetime [%level]: %msg",
// to "nimolog.log" in the working directory and to standard output, every level
// enabled or disabled together.
void ConfigureLog(bool enabled);

// Before a thread of ours starts: its log lines must outlive the logging
// library's statics when the game ends without Exit. Once per process; cheap after.
void KeepLogForThreads();

// Run once, right after the logging library's storage exists and before any
// line is logged: lines meant for the file go through our sink, which creates
// "nimolog.log" with the first line, so a game whose log stays off never gets one.
void RouteLogFileThroughSink();

}  // namespace NimoSdk
