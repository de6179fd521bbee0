// The process-wide SDK: its objects are built and wired once, at library load,
// and never destroyed (our threads and the game's callbacks may use them late).
// Only the exports (and tests) reach them from here; every object below gets
// what it uses through its constructor.
#pragma once

namespace NimoSdk {

class CNimoApi;
class CNimoCore;
class CNimoOptions;
class CNimoPay;
class CNimoTrack;
class SessionFacts;

CNimoCore& Core();
CNimoPay& Pay();
CNimoTrack& Track();
CNimoApi& Api();
CNimoOptions& Options();
SessionFacts& Facts();

}  // namespace NimoSdk
