#include "Sdk/NimoUtils.h"

namespace NimoSdk {

std::string NimoUtils::GetClientId() { return {}; }
std::string NimoUtils::GetMachineGuid() { return {}; }

}  // namespace NimoSdk
