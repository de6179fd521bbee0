// Keeps the SDK's own library loaded for the rest of the process.
#pragma once

namespace nimo_sys {

// After this, unloading the library (dlclose, FreeLibrary) leaves its code in
// place, since threads of ours may still be running it when a game unloads us
// without Exit. On Linux the library is linked with -z nodelete instead, so
// this does nothing there.
void PinThisModule();

}  // namespace nimo_sys
