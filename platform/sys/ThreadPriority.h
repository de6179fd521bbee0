// Scheduling of the SDK's own background threads.
#pragma once

namespace nimo_sys {

// Lowers the calling thread below the game's threads, so that work which can
// wait (numbering and storing analytics events) does not take a core from the
// game's frame. Best effort: nothing happens where the system refuses.
void LowerThisThreadPriority();

}  // namespace nimo_sys
