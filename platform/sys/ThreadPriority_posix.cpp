#include "platform/sys/ThreadPriority.h"

#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace nimo_sys {

void LowerThisThreadPriority() {
  // Batch: waking up never preempts a running thread (the game's frame), and
  // the lowest weight gives the core back soon once the game's thread is ready.
  // Both are allowed without privileges; a thread never raises itself back.
  sched_param none{};
  (void)::sched_setscheduler(0, SCHED_BATCH, &none);
  // On Linux the nice value belongs to the thread named by its id.
  (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), 19);
}

}  // namespace nimo_sys
