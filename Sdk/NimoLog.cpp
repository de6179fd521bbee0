#include "Sdk/NimoLog.h"

#include <easylogging++.h>

#include <mutex>

namespace NimoSdk {

// Our threads may still log while a game ends without Exit: the logging
// library's storage stays for the process instead of going with its statics.
// A global the leak checker sees, never freed.
el::base::type::StoragePointer* gLogStorageKept = nullptr;

void KeepLogForThreads() {
  static std::once_flag once;
  // The flag word is read unlocked by every LOG on every thread: written once, before any of ours runs.
  std::call_once(once, [] {
    gLogStorageKept = new el::base::type::StoragePointer(el::Helpers::storage());
    el::Loggers::addFlag(el::LoggingFlag::NewLineForContainer);
  });
}

void ConfigureLog(bool enabled) {
  KeepLogForThreads();
  el::Configurations conf;
  conf.setToDefault();
  conf.setGlobally(el::ConfigurationType::Format, "%datetime [%level]: %msg");
  conf.setGlobally(el::ConfigurationType::Enabled, enabled ? "true" : "false");
  el::Loggers::reconfigureLogger("default", conf);
}

}  // namespace NimoSdk
