#include "Sdk/LockRule.h"

#include <easylogging++.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "platform/sync/Mutex.h"

namespace NimoSdk {
namespace {

// Set by the build: 1 in sanitizer builds, 0 in the library games load.
std::atomic<bool> gFatal{NIMO_LOCK_RULE_FATAL != 0};

}  // namespace

void SetLockRuleFatal(bool fatal) { gFatal = fatal; }

void CheckNoLocksHeld(const char* where) {
  const int held = nimo_sync::LocksHeld();
  if (held == 0) return;
  if (gFatal.load()) {
    std::fprintf(stderr, "nimosdk: lock rule broken: %s while this thread holds %d lock(s) of ours\n", where, held);
    std::fflush(stderr);
    std::abort();
  }
  LOG(ERROR) << "Lock rule broken: " << where << " while this thread holds " << held << " lock(s) of ours.";
}

}  // namespace NimoSdk
