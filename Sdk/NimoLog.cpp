#include "Sdk/NimoLog.h"

#include <easylogging++.h>

namespace NimoSdk {

void ConfigureLog(bool enabled) {
  el::Loggers::addFlag(el::LoggingFlag::NewLineForContainer);
  el::Configurations conf;
  conf.setToDefault();
  conf.setGlobally(el::ConfigurationType::Format, "%datetime [%level]: %msg");
  conf.setGlobally(el::ConfigurationType::Enabled, enabled ? "true" : "false");
  el::Loggers::reconfigureLogger("default", conf);
}

}  // namespace NimoSdk
