// Running the current test again in a child process, for tests that need a
// second process of the SDK (a fresh load, a concurrent writer, a kill).
//
// The child re-executes this test binary with a filter for the current test and
// NIMO_TEST_CHILD=<mode> in its environment; the test body asks ChildMode() and
// does the child's part when it is not empty. The child dies with the parent.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace nimo_test {

// Empty in the parent.
std::string ChildMode();

// extraEnv: "NAME=value" entries added to (or replacing those of) the current
// environment. The child's standard output goes to /dev/null, its standard
// error stays (sanitizer reports). Returns the pid, or -1.
pid_t SpawnCurrentTest(const std::string& mode, const std::vector<std::string>& extraEnv = {});

// The child's exit code (128 + signal when it was killed), or -1 when it did
// not end within timeout (it is then killed).
int WaitChild(pid_t pid, std::chrono::milliseconds timeout);

}  // namespace nimo_test
