#include "platform/sys/Environment.h"

#include <cstdlib>

namespace nimo_sys {

bool ReadEnvironment(const char* name, std::string* value) {
  const char* text = std::getenv(name);
  if (text == nullptr) return false;
  *value = text;
  return true;
}

}  // namespace nimo_sys
