#include "platform/sys/ThreadPriority.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace nimo_sys {

void LowerThisThreadPriority() {
  // On Linux the nice value belongs to the thread named by its id.
  (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), 10);
}

}  // namespace nimo_sys
