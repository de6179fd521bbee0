#include "Sdk/Singletons.h"

#include <functional>
#include <string>
#include <utility>

#include "Sdk/CNimoApi.h"
#include "Sdk/CNimoCore.h"
#include "Sdk/CNimoDelivery.h"
#include "Sdk/CNimoPay.h"
#include "Sdk/CNimoTrack.h"
#include "Sdk/CNimoUser.h"
#include "Sdk/ClientIdGate.h"
#include "Sdk/NimoConfigUtils.h"
#include "Sdk/NimoOptions.h"
#include "Sdk/SessionEnd.h"
#include "Sdk/SessionFacts.h"
#include "Sdk/ThreadGroup.h"
#include "platform/sys/FileSystem.h"
#include "platform/sys/ModulePin.h"

namespace NimoSdk {
namespace {

// Our threads may outlive an unload without Exit: the code stays mapped.
const bool gPinned = (nimo_sys::PinThisModule(), true);

// Each object after what it uses, in the order written (one translation unit).
struct Sdk {
  nimo_sys::FileSystem& files = nimo_sys::RealFileSystem();
  SessionEnd end;
  ThreadGroup waits;
  ClientIdGate idGate{end, waits};
  SessionFacts facts{end};
  CNimoApi api{facts};
  CNimoTrack track{facts, [this](std::string text, std::function<void(int)> onStatus) {
                     api.PostTrackData(std::move(text), [onStatus](HttpResp r) { onStatus(r.status); });
                   },
                   files};
  CNimoPay pay{api, track, facts, end, idGate, Delivery(), files};
  CNimoUser user{api, facts, track, end};
  CNimoOptions options{api};
  CNimoCore core{CoreWiring{end, facts, waits, idGate, api, track, pay, user, options, Delivery()}};

  Sdk() {
    NimoConfigUtils::UseFileSystem(files);
    // Files are kept per game: with Steam down, under the id this session recorded.
    NimoConfigUtils::UseRecordedAppId([this] { return facts.Params().steamAppId; });
  }
};

Sdk* const gSdk = new Sdk();

}  // namespace

CNimoCore& Core() { return gSdk->core; }
CNimoPay& Pay() { return gSdk->pay; }
CNimoTrack& Track() { return gSdk->track; }
CNimoApi& Api() { return gSdk->api; }
CNimoOptions& Options() { return gSdk->options; }
SessionFacts& Facts() { return gSdk->facts; }

}  // namespace NimoSdk
