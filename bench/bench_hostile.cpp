// Hostile answers beside a normal one: time until the handler has the answer
// and the peak memory it cost, each case in a fresh process (getrusage's peak
// is per process). Cases: a normal answer; an answer of '[' just under the
// answer cap (nested JSON); a flood of short header lines of the same size.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Sdk/CNimoCore.h"
#include "Sdk/CNimoHttp.h"

namespace {

constexpr std::size_t kSize = 4u * 1024u * 1024u - 100u;  // under the answer cap of this SDK

struct Case {
  const char* name;
  std::string answer;
};

// Answers every connection with the bytes of the case its request names.
class Server {
 public:
  explicit Server(const std::vector<Case>& cases) : cases_(cases) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd_, 64) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      std::perror("listen");
      std::exit(1);
    }
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Loop(); });
  }
  int Port() const { return port_; }

 private:
  void Loop() {
    for (;;) {
      int c = ::accept(fd_, nullptr, nullptr);
      if (c < 0) continue;
      std::thread([this, c] {
        char buf[4096];
        std::string request;
        while (request.find("\r\n\r\n") == std::string::npos) {
          ssize_t n = ::recv(c, buf, sizeof buf, 0);
          if (n <= 0) break;
          request.append(buf, static_cast<std::size_t>(n));
        }
        for (const Case& k : cases_) {
          if (request.find(std::string("/") + k.name + " ") == std::string::npos) continue;
          std::size_t sent = 0;
          while (sent < k.answer.size()) {
            ssize_t n = ::send(c, k.answer.data() + sent, k.answer.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<std::size_t>(n);
          }
        }
        ::close(c);
      }).detach();
    }
  }
  const std::vector<Case>& cases_;
  int fd_ = -1;
  int port_ = 0;
  std::thread thread_;
};

long PeakKiB() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

struct Result {
  long long us;
  long peakKiB;
  int code;
};

int Post(const std::string& url) {
  auto done = std::make_shared<std::promise<int>>();
  auto got = done->get_future();
  NimoSdk::CNimoHttp::PostCallback(url, "a=1", [done](NimoSdk::HttpResp r) { done->set_value(r.code); }, nullptr);
  return got.get();
}

// Child: warm up with a normal answer, then the case once.
Result Round(int port, const char* name) {
  const std::string base = "http://127.0.0.1:" + std::to_string(port) + "/";
  NimoSdk::CNimoCore::InitLog(false);
  NimoSdk::CNimoHttp::StartPool();
  Post(base + "normal");
  const long before = PeakKiB();
  auto start = std::chrono::steady_clock::now();
  int code = Post(base + name);
  long long us = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();
  return {us, PeakKiB() - before, code};
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  std::string lines;
  while (lines.size() < kSize) lines += "a:b\r\n";
  const std::string normalBody = "{\"code\":200,\"msg\":\"ok\"}";
  const std::vector<Case> cases = {
      {"normal", "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(normalBody.size()) + "\r\n\r\n" + normalBody},
      {"nested", "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kSize) + "\r\n\r\n" + std::string(kSize, '[')},
      {"header_flood", "HTTP/1.1 200 OK\r\nContent-Length: 12\r\n" + lines + "\r\n{\"code\":200}"},
  };
  Server server(cases);
  for (const Case& k : cases) {
    std::vector<Result> results;
    for (int r = 0; r < rounds; ++r) {
      int pipefd[2];
      if (::pipe(pipefd) != 0) return 1;
      pid_t pid = ::fork();
      if (pid == 0) {
        ::close(pipefd[0]);
        Result res = Round(server.Port(), k.name);
        std::_Exit(::write(pipefd[1], &res, sizeof res) == sizeof res ? 0 : 1);
      }
      ::close(pipefd[1]);
      Result res{};
      if (::read(pipefd[0], &res, sizeof res) == sizeof res) results.push_back(res);
      ::close(pipefd[0]);
      ::waitpid(pid, nullptr, 0);
    }
    if (results.empty()) return 1;
    std::sort(results.begin(), results.end(), [](const Result& a, const Result& b) { return a.us < b.us; });
    const Result& mid = results[results.size() / 2];
    long peak = 0;
    for (const Result& r : results) peak = std::max(peak, r.peakKiB);
    std::printf("hostile_%s answer_bytes=%zu code=%d median_ms=%.1f peak_growth_mib=%.1f (max of %zu rounds)\n", k.name,
                k.answer.size(), mid.code, mid.us / 1000.0, peak / 1024.0, results.size());
  }
  std::fflush(stdout);
  std::_Exit(0);  // the server thread never ends
}
