#include "LocalNginx.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

int FreePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

bool PortAccepts(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

double CpuSecondsOf(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string f;
  double ticks = 0;
  for (int i = 3; fields >> f; ++i) {
    if (i == 14 || i == 15) ticks += std::stod(f);  // utime, stime
    if (i == 15) break;
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Children of pid (nginx's workers).
std::vector<pid_t> ChildrenOf(pid_t pid) {
  std::vector<pid_t> out;
  DIR* d = opendir("/proc");
  if (d == nullptr) return out;
  while (dirent* e = readdir(d)) {
    pid_t p = static_cast<pid_t>(std::atoi(e->d_name));
    if (p <= 0) continue;
    std::ifstream in(std::string("/proc/") + e->d_name + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto close = text.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream fields(text.substr(close + 2));
    std::string state;
    pid_t parent = 0;
    fields >> state >> parent;
    if (parent == pid) out.push_back(p);
  }
  closedir(d);
  return out;
}

}  // namespace

Nginx::Nginx(const std::string& dir, const nimo_test::CertFiles& cert, const std::string& json) : dir_(dir) {
  httpPort_ = FreePort();
  httpsPort_ = FreePort();
  std::filesystem::create_directories(dir + "/logs");
  std::ofstream conf(dir + "/nginx.conf");
  conf << "daemon off;\nworker_processes 1;\npid " << dir << "/nginx.pid;\nerror_log " << dir
       << "/logs/error.log warn;\nevents { worker_connections 1024; }\nhttp {\n  access_log off;\n"
       << "  client_body_temp_path " << dir << "/body;\n  proxy_temp_path " << dir << "/proxy;\n"
       << "  fastcgi_temp_path " << dir << "/fastcgi;\n  uwsgi_temp_path " << dir << "/uwsgi;\n"
       << "  scgi_temp_path " << dir << "/scgi;\n"
       << "  ssl_protocols TLSv1.2 TLSv1.3;\n  ssl_session_cache shared:bench:1m;\n"
       << "  server {\n    listen 127.0.0.1:" << httpPort_ << ";\n    listen 127.0.0.1:" << httpsPort_
       << " ssl;\n    ssl_certificate " << cert.cert << ";\n    ssl_certificate_key " << cert.key << ";\n"
       << "    location / { default_type application/json; return 200 '" << json << "'; }\n  }\n}\n";
  conf.close();
  pid_ = fork();
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);  // never outlive the benchmark
    execl("/usr/sbin/nginx", "nginx", "-p", dir.c_str(), "-c", (dir + "/nginx.conf").c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  auto until = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < until && !(PortAccepts(httpPort_) && PortAccepts(httpsPort_))) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ready_ = PortAccepts(httpPort_) && PortAccepts(httpsPort_);
}

Nginx::~Nginx() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 200 && waitpid(pid_, &status, WNOHANG) == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (waitpid(pid_, &status, WNOHANG) == 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
  }
}

double Nginx::WorkerCpuSeconds() const {
  double s = 0;
  for (pid_t p : ChildrenOf(pid_)) s += CpuSecondsOf(p);
  return s;
}
