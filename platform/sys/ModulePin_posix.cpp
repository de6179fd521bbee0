#include "platform/sys/ModulePin.h"

namespace nimo_sys {

void PinThisModule() {}  // the link does it (-z nodelete)

}  // namespace nimo_sys
