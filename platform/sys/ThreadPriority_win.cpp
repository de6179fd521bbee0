#include "platform/sys/ThreadPriority.h"

#include <windows.h>

namespace nimo_sys {

void LowerThisThreadPriority() { (void)::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL); }

}  // namespace nimo_sys
