#include "support/child_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <thread>

extern char** environ;

namespace nimo_test {

std::string ChildMode() {
  const char* mode = std::getenv("NIMO_TEST_CHILD");
  return mode != nullptr ? mode : "";
}

pid_t SpawnCurrentTest(const std::string& mode, const std::vector<std::string>& extraEnv) {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  if (info == nullptr) return -1;
  char exe[4096];
  ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return -1;
  exe[n] = '\0';

  std::vector<std::string> args = {exe, std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name(),
                                    "--gtest_color=no"};
  std::vector<std::string> env = {"NIMO_TEST_CHILD=" + mode};
  env.insert(env.end(), extraEnv.begin(), extraEnv.end());
  for (char** e = environ; *e != nullptr; ++e) {
    const char* eq = std::strchr(*e, '=');
    std::string name(*e, eq != nullptr ? static_cast<std::size_t>(eq - *e) : std::strlen(*e));
    bool replaced = false;
    for (const std::string& x : env) replaced = replaced || x.compare(0, name.size() + 1, name + "=") == 0;
    if (!replaced) env.emplace_back(*e);
  }
  // Everything the child needs is built before fork: after it only
  // async-signal-safe calls.
  std::vector<char*> argv, envp;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  const pid_t parent = ::getpid();

  pid_t pid = ::fork();
  if (pid != 0) return pid;
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != parent) ::_exit(127);
  int devnull = ::open("/dev/null", O_WRONLY);
  if (devnull >= 0) ::dup2(devnull, STDOUT_FILENO);
  ::execve(argv[0], argv.data(), envp.data());
  ::_exit(127);
}

int WaitChild(pid_t pid, std::chrono::milliseconds timeout) {
  if (pid <= 0) return -1;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) {
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
      return -1;
    }
    if (r < 0) return -1;
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace nimo_test
