#include "Sdk/Singletons.h"

#include "Sdk/CNimoApi.h"
#include "Sdk/CNimoCore.h"
#include "Sdk/CNimoPay.h"
#include "Sdk/CNimoTrack.h"
#include "platform/sys/ModulePin.h"

namespace NimoSdk {
namespace {

// Our threads may outlive an unload without Exit: the code stays mapped.
const bool gPinned = (nimo_sys::PinThisModule(), true);

// One translation unit, so the order of creation is the order written here.
CNimoPay* const gPay = new CNimoPay();
CNimoApi* const gApi = new CNimoApi();
CNimoTrack* const gTrack = new CNimoTrack();
CNimoCore* const gCore = new CNimoCore();

}  // namespace

CNimoPay& Pay() { return *gPay; }
CNimoApi& Api() { return *gApi; }
CNimoTrack& Track() { return *gTrack; }
CNimoCore& Core() { return *gCore; }

}  // namespace NimoSdk
