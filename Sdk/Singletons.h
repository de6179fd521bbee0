// The process-wide instances, created at library load in this order and never
// destroyed: CNimoPay, CNimoApi, CNimoTrack, CNimoCore.
#pragma once

namespace NimoSdk {

class CNimoPay;
class CNimoApi;
class CNimoTrack;
class CNimoCore;

CNimoPay& Pay();
CNimoApi& Api();
CNimoTrack& Track();
CNimoCore& Core();

}  // namespace NimoSdk
