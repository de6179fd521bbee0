// How the sandbox's process is asked to stop: SIGINT and SIGTERM (StopRequest_posix.cpp),
// or the console's Ctrl+C, Ctrl+Break and close (StopRequest_win.cpp); and, when asked,
// the end of standard input.
#pragma once

#include <string>

namespace nimo_sandbox {

// Before any thread starts: from here on a stop request only ends WaitForStopRequest.
void CatchStopRequests();
// A thread that turns the end of standard input into a stop request.
void StopAtEndOfInput();
// Blocks until a stop request arrives; its name for the log ("SIGINT", "SIGTERM", ...).
std::string WaitForStopRequest();

}  // namespace nimo_sandbox
