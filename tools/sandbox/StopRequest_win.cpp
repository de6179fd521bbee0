#include <windows.h>

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "tools/sandbox/StopRequest.h"

namespace nimo_sandbox {
namespace {

std::mutex stopMutex;
std::condition_variable stopCv;
const char* stopReason = nullptr;  // guarded by stopMutex

void RequestStop(const char* reason) {
  {
    std::lock_guard<std::mutex> lock(stopMutex);
    if (stopReason == nullptr) stopReason = reason;
  }
  stopCv.notify_all();
}

// Runs on a thread of the system's own; the process ends once it returns for a close,
// so a close waits here a little while main stops the servers.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT: RequestStop("Ctrl+C"); return TRUE;
    case CTRL_BREAK_EVENT: RequestStop("Ctrl+Break"); return TRUE;
    default:
      RequestStop("console closed");
      Sleep(2000);
      return TRUE;
  }
}

}  // namespace

void CatchStopRequests() { SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }

void StopAtEndOfInput() {
  std::thread([] {
    char buf[256];
    while (std::fread(buf, 1, sizeof buf, stdin) > 0) {
    }
    RequestStop("end of input");
  }).detach();
}

std::string WaitForStopRequest() {
  std::unique_lock<std::mutex> lock(stopMutex);
  stopCv.wait(lock, [] { return stopReason != nullptr; });
  return stopReason;
}

}  // namespace nimo_sandbox
