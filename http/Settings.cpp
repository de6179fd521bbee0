#include "http/Settings.h"

#include "platform/sync/Mutex.h"
#include "platform/sys/Environment.h"

namespace sion {
namespace {

int FromEnv(const char* name, int fallback) {
  std::string text;
  int value = 0;
  if (!nimo_sys::ReadEnvironment(name, &text) || !ParseTimeoutMs(text, &value)) return fallback;
  return value;
}

nimo_sync::Mutex gMutex;
bool gSet GUARDED_BY(gMutex) = false;
Timeouts gTimeouts GUARDED_BY(gMutex);

}  // namespace

bool ParseTimeoutMs(const std::string& text, int* ms) {
  if (text.empty() || text.size() > 9) return false;  // 9 digits cover the bound
  long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value <= 0 || value > kMaxTimeoutMs) return false;
  *ms = static_cast<int>(value);
  return true;
}

Timeouts GetTimeouts() {
  nimo_sync::MutexLock lock(gMutex);
  if (!gSet) {
    gTimeouts.connectMs = FromEnv("NIMOSDK_CONNECT_TIMEOUT_MS", gTimeouts.connectMs);
    gTimeouts.ioMs = FromEnv("NIMOSDK_IO_TIMEOUT_MS", gTimeouts.ioMs);
    gTimeouts.requestMs = FromEnv("NIMOSDK_REQUEST_TIMEOUT_MS", gTimeouts.requestMs);
    gSet = true;
  }
  return gTimeouts;
}

void SetTimeouts(const Timeouts& timeouts) {
  nimo_sync::MutexLock lock(gMutex);
  gTimeouts = timeouts;
  gSet = true;
}

}  // namespace sion
