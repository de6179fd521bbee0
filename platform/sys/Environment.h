// The process environment, as the game last set it.
#pragma once

#include <string>

namespace nimo_sys {

// The variable's value as UTF-8; false when it is not set. On Windows this is
// the process's own block (GetEnvironmentVariableW), so a value the game set
// with SetEnvironmentVariable after the C runtime started is seen too.
bool ReadEnvironment(const char* name, std::string* value);

}  // namespace nimo_sys
