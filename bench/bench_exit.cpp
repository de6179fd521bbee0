// Exit with six requests stuck on a server that accepts and never answers: one
// line per figure. Each round is a fresh process, since Exit is final.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "Sdk/CNimoCore.h"
#include "Sdk/CNimoHttp.h"
#include "Sdk/Singletons.h"

namespace {

// Listens and takes connections but never reads or answers.
int SilentListener(int* port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 64) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    return -1;
  }
  *port = ntohs(addr.sin_port);
  return fd;
}

// Child: six stuck requests, then Exit; writes the microseconds Exit took.
int Round(int port, int out) {
  std::string url = "http://127.0.0.1:" + std::to_string(port) + "/sdkapi/v10/pay/create_order.do";
  NimoSdk::CNimoCore::InitLog(false);
  NimoSdk::CNimoHttp::StartPool();
  for (int i = 0; i < 6; ++i) NimoSdk::CNimoHttp::PostCallback(url, "a=1", [](NimoSdk::HttpResp) {}, nullptr);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // all six connected and waiting
  auto start = std::chrono::steady_clock::now();
  NimoSdk::Core().Exit();
  long long us =
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();
  return ::write(out, &us, sizeof us) == sizeof us ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
  int port = 0;
  int listener = SilentListener(&port);
  if (listener < 0) {
    std::perror("listen");
    return 1;
  }
  std::vector<long long> times;
  for (int r = 0; r < rounds; ++r) {
    int pipefd[2];
    if (::pipe(pipefd) != 0) return 1;
    pid_t pid = ::fork();
    if (pid == 0) {
      ::close(pipefd[0]);
      std::_Exit(Round(port, pipefd[1]));
    }
    ::close(pipefd[1]);
    long long us = -1;
    if (::read(pipefd[0], &us, sizeof us) != sizeof us) us = -1;
    ::close(pipefd[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (us >= 0) times.push_back(us);
  }
  ::close(listener);
  if (times.empty()) return 1;
  std::sort(times.begin(), times.end());
  auto ms = [](long long us) { return static_cast<double>(us) / 1000.0; };
  std::printf("exit_with_six_stuck_requests rounds=%zu p50_ms=%.2f max_ms=%.2f goal_ms=1000 %s\n", times.size(),
              ms(times[times.size() / 2]), ms(times.back()), times.back() < 1000000 ? "met" : "MISSED");
  return 0;
}
