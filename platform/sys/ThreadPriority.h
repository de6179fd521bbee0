// Scheduling of the SDK's own background threads.
#pragma once

namespace nimo_sys {

// Lowers the calling thread below the game's threads, so that work which can
// wait (numbering, storing and sending analytics events) does not take a core
// from the game's frame. For good: a thread is never raised again. Best
// effort: nothing happens where the system refuses.
void LowerThisThreadPriority();

}  // namespace nimo_sys
