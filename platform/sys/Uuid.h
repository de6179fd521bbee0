// Random identifiers.
#pragma once

#include <string>

namespace nimo_sys {

// A random version-4 UUID as 36 lower-case characters with four hyphens
// ("xxxxxxxx-xxxx-4xxx-yxxx-xxxxxxxxxxxx"), from OpenSSL's generator (UuidCreate
// on Windows). Empty when the generator cannot supply the bytes.
std::string RandomUuidText();

}  // namespace nimo_sys
