// Game code runs, and the game is waited for, only on a thread that holds no
// lock of ours: a callback that calls the SDK again would otherwise wait on its
// own thread, and one that takes its time would stall every thread of ours.
#pragma once

namespace NimoSdk {

// Checks the rule where game code is about to run or be waited for (where names
// the place). Broken: in tests and sanitizer builds it prints the place and
// aborts; in a game's process it logs an error and goes on.
void CheckNoLocksHeld(const char* where);

// Tests make a broken rule fatal; a shipped library never aborts a game for it.
void SetLockRuleFatal(bool fatal);

}  // namespace NimoSdk
