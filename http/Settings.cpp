#include "http/Settings.h"

#include <cerrno>
#include <cstdlib>

namespace sion {
namespace {

int FromEnv(const char* name, int fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(text, &end, 10);
  // A day is far beyond any sensible limit and keeps the arithmetic in range.
  if (errno != 0 || *end != '\0' || value <= 0 || value > 86400000L) return fallback;
  return static_cast<int>(value);
}

}  // namespace

const Timeouts& GetTimeouts() {
  static const Timeouts timeouts = [] {
    Timeouts t;
    t.connectMs = FromEnv("NIMOSDK_CONNECT_TIMEOUT_MS", t.connectMs);
    t.ioMs = FromEnv("NIMOSDK_IO_TIMEOUT_MS", t.ioMs);
    t.requestMs = FromEnv("NIMOSDK_REQUEST_TIMEOUT_MS", t.requestMs);
    return t;
  }();
  return timeouts;
}

}  // namespace sion
