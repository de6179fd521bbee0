#include <pthread.h>
#include <unistd.h>

#include <csignal>
#include <thread>

#include "tools/sandbox/StopRequest.h"

namespace nimo_sandbox {
namespace {

sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

void CatchStopRequests() {
  // Every thread started from here on inherits the blocked signals; only sigwait takes them.
  sigset_t set = StopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void StopAtEndOfInput() {
  std::thread([] {
    char buf[256];
    while (::read(STDIN_FILENO, buf, sizeof buf) > 0) {
    }
    ::kill(::getpid(), SIGTERM);
  }).detach();
}

std::string WaitForStopRequest() {
  sigset_t set = StopSignals();
  int sig = 0;
  sigwait(&set, &sig);
  return sig == SIGINT ? "SIGINT" : "SIGTERM";
}

}  // namespace nimo_sandbox
