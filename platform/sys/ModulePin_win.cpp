#include <windows.h>

#include "platform/sys/ModulePin.h"

namespace nimo_sys {

void PinThisModule() {
  HMODULE self = nullptr;
  // Any address inside this module names it; PIN makes FreeLibrary leave it mapped.
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                     reinterpret_cast<LPCWSTR>(reinterpret_cast<const void*>(&PinThisModule)), &self);
}

}  // namespace nimo_sys
