#pragma once

namespace NimoSdk {

// Configures easylogging++'s "default" logger: format "%datetime [%level]: %msg",
// to "nimolog.log" in the working directory and to standard output, every level
// enabled or disabled together.
void ConfigureLog(bool enabled);

}  // namespace NimoSdk
