#include "Sdk/NimoLog.h"

#include <easylogging++.h>

namespace NimoSdk {

void ConfigureLog(bool enabled) {
  // Our threads may still log while a game ends without Exit: the logging
  // library's storage stays for the process instead of going with its statics.
  static const auto* const kept = new el::base::type::StoragePointer(el::Helpers::storage());
  (void)kept;
  el::Loggers::addFlag(el::LoggingFlag::NewLineForContainer);
  el::Configurations conf;
  conf.setToDefault();
  conf.setGlobally(el::ConfigurationType::Format, "%datetime [%level]: %msg");
  conf.setGlobally(el::ConfigurationType::Enabled, enabled ? "true" : "false");
  el::Loggers::reconfigureLogger("default", conf);
}

}  // namespace NimoSdk
