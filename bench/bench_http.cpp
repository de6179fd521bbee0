// The HTTP transport against a real local nginx, beside libcurl doing the same
// work: POSTs of a 600-byte form body answered by a 300-byte JSON body, one new
// connection per request (as the SDK does), over HTTP and over HTTPS with peer
// verification on, at 1 and 6 concurrent requests. Then the time Stop takes
// with six requests stuck on a silent server.
//
// nginx is started on loopback with a configuration and a CA made for this run
// in a temporary folder, and stopped at the end. Every run is bounded in time.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <curl/curl.h>

#include "http/Async.h"
#include "http/Request.h"
#include "http/TlsContext.h"
#include "LocalNginx.h"
#include "support/TestCerts.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kRunSeconds = 1.5;     // measured time of one configuration
constexpr double kWarmSeconds = 0.25;   // before it
constexpr int kRounds = 3;              // configurations interleaved, median round reported
constexpr int kMaxRequestsPerRun = 200000;

std::string FormBody() {
  std::string body = "appId=1001&appKey=k&os=windows&sdkVer=2.0.0&sdkType=steam&clientId=";
  while (body.size() < 600 - 6) body += 'c';
  body += "&x=end";
  return body.substr(0, 600);
}

std::string JsonBody() {
  std::string head = R"({"code":200,"msg":"ok","data":{"token":")";
  std::string tail = R"("}})";
  return head + std::string(300 - head.size() - tail.size(), 't') + tail;
}

// ---- the clients: each does one complete POST and says whether it got the 300 bytes ----

struct Work {
  std::string url;
  std::string body;
  std::string caFile;
  std::size_t expect;
};

bool SionPost(const Work& w) {
  sion::Header h;
  h.Add("content-type", "application/x-www-form-urlencoded");
  sion::Request r;
  r.SetUrl(w.url).SetBody(w.body).SetHeader(h).SetMethod(sion::Method::Post);
  try {
    sion::Response resp = r.Send();
    return resp.status_code == "200" && resp.body.size() == w.expect;
  } catch (const std::exception& e) {
    static std::once_flag once;
    std::call_once(once, [&] { std::cerr << "sion: " << e.what() << "\n"; });
    return false;
  }
}

std::size_t CountBytes(char*, std::size_t size, std::size_t n, void* counter) {
  *static_cast<std::size_t*>(counter) += size * n;
  return size * n;
}

struct CurlClient {
  CURL* handle = nullptr;
  curl_slist* headers = nullptr;
  std::size_t received = 0;

  void Setup(const Work& w, bool forbidReuse) {
    headers = curl_slist_append(nullptr, "content-type: application/x-www-form-urlencoded");
    curl_easy_setopt(handle, CURLOPT_URL, w.url.c_str());
    curl_easy_setopt(handle, CURLOPT_POSTFIELDS, w.body.c_str());
    curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE, static_cast<long>(w.body.size()));
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, CountBytes);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &received);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(handle, CURLOPT_CAINFO, w.caFile.c_str());
    if (forbidReuse) curl_easy_setopt(handle, CURLOPT_FORBID_REUSE, 1L);
  }
  bool Perform(const Work& w) {
    received = 0;
    CURLcode rc = curl_easy_perform(handle);
    long code = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &code);
    if (rc != CURLE_OK) {
      static std::once_flag once;
      std::call_once(once, [&] { std::cerr << "curl: " << curl_easy_strerror(rc) << "\n"; });
    }
    return rc == CURLE_OK && code == 200 && received == w.expect;
  }
  CurlClient() = default;
  CurlClient(const CurlClient&) = delete;
  CurlClient& operator=(const CurlClient&) = delete;
  ~CurlClient() { Cleanup(); }
  void Cleanup() {
    if (handle != nullptr) curl_easy_cleanup(handle);
    if (headers != nullptr) curl_slist_free_all(headers);
    handle = nullptr;
    headers = nullptr;
  }
};

// A client is a per-thread object factory: returns the function doing one request.
using ThreadClient = std::function<std::function<bool()>(const Work&)>;

ThreadClient SionClient() {
  return [](const Work& w) { return std::function<bool()>([&w] { return SionPost(w); }); };
}

ThreadClient CurlFresh() {
  return [](const Work& w) {
    return std::function<bool()>([&w] {
      CurlClient c;
      c.handle = curl_easy_init();
      c.Setup(w, false);
      return c.Perform(w);
    });
  };
}

ThreadClient CurlPerThread() {
  return [](const Work& w) {
    auto c = std::make_shared<CurlClient>();
    c->handle = curl_easy_init();
    c->Setup(w, true);
    return std::function<bool()>([c, &w] { return c->Perform(w); });  // freed with the thread's function
  };
}

// ---- one measured configuration ----

struct Figures {
  double rps = 0;
  double p50Ms = 0;
  double p99Ms = 0;
  double clientCpuUs = 0;  // per request
  double serverCpuUs = 0;  // per request, nginx worker
  double peakMb = 0;       // peak resident size of this process during the run
  int failed = 0;
  long requests = 0;
};

double PeakRssMb() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  }
  return 0;
}

void ResetPeakRss() {
  std::ofstream("/proc/self/clear_refs") << "5";
}

double CpuSecondsSelf() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

Figures Measure(const ThreadClient& client, const Work& work, int concurrency, const Nginx& nginx) {
  std::atomic<int> phase{0};  // 0 warm-up, 1 measuring, 2 done
  std::atomic<long> budget{kMaxRequestsPerRun};
  std::vector<std::vector<double>> latencies(static_cast<std::size_t>(concurrency));
  std::vector<int> failures(static_cast<std::size_t>(concurrency), 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < concurrency; ++t) {
    threads.emplace_back([&, t] {
      std::function<bool()> one = client(work);
      auto& mine = latencies[static_cast<std::size_t>(t)];
      mine.reserve(20000);
      while (phase.load() < 2) {
        const bool measuring = phase.load() == 1;
        if (measuring && budget.fetch_sub(1) <= 0) break;
        auto start = Clock::now();
        bool ok = one();
        double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        if (measuring && phase.load() == 1) {
          mine.push_back(ms);
          if (!ok) ++failures[static_cast<std::size_t>(t)];
        }
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(kWarmSeconds));
  ResetPeakRss();
  const double cpu0 = CpuSecondsSelf();
  const double server0 = nginx.WorkerCpuSeconds();
  const auto start = Clock::now();
  phase = 1;
  std::this_thread::sleep_for(std::chrono::duration<double>(kRunSeconds));
  phase = 2;
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  for (auto& th : threads) th.join();
  const double cpu = CpuSecondsSelf() - cpu0;
  const double server = nginx.WorkerCpuSeconds() - server0;

  Figures f;
  std::vector<double> all;
  for (std::size_t t = 0; t < latencies.size(); ++t) {
    all.insert(all.end(), latencies[t].begin(), latencies[t].end());
    f.failed += failures[t];
  }
  std::sort(all.begin(), all.end());
  f.requests = static_cast<long>(all.size());
  if (all.empty()) return f;
  // Requests finished inside the window; the wall time includes the last ones' tails.
  f.rps = static_cast<double>(all.size()) / seconds;
  f.p50Ms = all[all.size() / 2];
  f.p99Ms = all[std::min(all.size() - 1, all.size() * 99 / 100)];
  f.clientCpuUs = cpu * 1e6 / static_cast<double>(all.size());
  f.serverCpuUs = server * 1e6 / static_cast<double>(all.size());
  f.peakMb = PeakRssMb();
  return f;
}

// ---- Stop with six stuck requests ----

double StopWithSixStuckMs() {
  int listenFd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(listenFd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::listen(listenFd, 16);
  socklen_t len = sizeof a;
  ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&a), &len);
  const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/stuck";

  std::atomic<int> requestsIn{0};
  std::atomic<bool> done{false};
  std::thread server([&] {  // reads each request, then says nothing
    std::vector<int> fds;
    while (!done) {
      pollfd p{listenFd, POLLIN, 0};
      if (::poll(&p, 1, 10) > 0) {
        int fd = ::accept(listenFd, nullptr, nullptr);
        char buffer[4096];
        if (fd >= 0 && ::recv(fd, buffer, sizeof buffer, 0) > 0) ++requestsIn;
        fds.push_back(fd);
      }
    }
    for (int fd : fds) ::close(fd);
  });

  double ms;
  {
    sion::Async pool;
    pool.Start();
    std::atomic<int> handled{0};
    for (int i = 0; i < 6; ++i) {
      pool.Run(
          [&url] {
            sion::Request r;
            r.SetUrl(url).SetMethod(sion::Method::Post);
            return r;
          },
          [&handled](sion::AsyncResponse) { ++handled; });
    }
    auto until = Clock::now() + std::chrono::seconds(5);
    while (requestsIn.load() < 6 && Clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    auto start = Clock::now();
    pool.Stop();
    ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    if (handled.load() != 0 || requestsIn.load() < 6) ms = -1;
  }
  done = true;
  server.join();
  ::close(listenFd);
  return ms;
}

// ---- report ----

void PrintRow(const std::string& name, const Figures& f) {
  char line[256];
  std::snprintf(line, sizeof line, "  %-22s %9.0f %9.3f %9.3f %10.0f %10.0f %8.1f %7d", name.c_str(), f.rps, f.p50Ms,
                f.p99Ms, f.clientCpuUs, f.serverCpuUs, f.peakMb, f.failed);
  std::cout << line << "\n";
}

}  // namespace

int main() {
  signal(SIGPIPE, SIG_IGN);  // libcurl's writes; the SDK itself never needs this
  std::string dir = (std::filesystem::temp_directory_path() / "nimo-bench-XXXXXX").string();
  if (mkdtemp(dir.data()) == nullptr) {
    std::cerr << "no temp folder\n";
    return 1;
  }
  struct Cleanup {
    std::string dir;
    ~Cleanup() {
      std::error_code ignored;
      std::filesystem::remove_all(dir, ignored);
    }
  } cleanup{dir};

  const nimo_test::TestCerts& certs = nimo_test::TestCerts::Get();
  sion::TlsContext::UseCaFile(certs.caFile);
  curl_global_init(CURL_GLOBAL_ALL);

  const std::string json = JsonBody();
  int rc = 0;
  {
    Nginx nginx(dir, certs.server, json);
    if (!nginx.Ready()) {
      std::cerr << "nginx did not start; see " << dir << "/logs/error.log\n";
      return 1;
    }
    std::cout << "bench_http: " << 600 << "-byte form POST, " << json.size()
              << "-byte JSON answer, nginx on loopback, new connection per request\n"
              << "  " << curl_version() << "; " << OpenSSL_version(OPENSSL_VERSION) << "\n"
              << "  " << kRounds << " interleaved rounds of " << kRunSeconds
              << " s per configuration; the round with the median rate is shown\n";

    struct Client {
      std::string name;
      ThreadClient make;
    };
    const std::vector<Client> clients = {
        {"sion", SionClient()}, {"curl fresh handle", CurlFresh()}, {"curl handle/thread", CurlPerThread()}};
    const std::string body = FormBody();
    const std::vector<std::pair<std::string, Work>> works = {
        {"HTTP", {"http://127.0.0.1:" + std::to_string(nginx.HttpPort()) + "/v22/init.do", body, certs.caFile, json.size()}},
        {"HTTPS", {"https://localhost:" + std::to_string(nginx.HttpsPort()) + "/v22/init.do", body, certs.caFile, json.size()}},
    };
    const int concurrencies[] = {1, 6};

    // figures[work][concurrency][client][round]
    std::vector<std::vector<std::vector<std::vector<Figures>>>> figures(
        works.size(), std::vector<std::vector<std::vector<Figures>>>(2, std::vector<std::vector<Figures>>(clients.size())));
    // NIMO_BENCH_ONLY="sion HTTPS 1" runs one configuration alone (for profiling).
    const char* only = std::getenv("NIMO_BENCH_ONLY");
    for (int round = 0; round < kRounds; ++round) {
      for (std::size_t w = 0; w < works.size(); ++w) {
        for (int c = 0; c < 2; ++c) {
          for (std::size_t k = 0; k < clients.size(); ++k) {
            const std::string id = clients[k].name + " " + works[w].first + " " + std::to_string(concurrencies[c]);
            if (only != nullptr && id != only) {
              figures[w][static_cast<std::size_t>(c)][k].push_back(Figures{});
              continue;
            }
            figures[w][static_cast<std::size_t>(c)][k].push_back(
                Measure(clients[k].make, works[w].second, concurrencies[c], nginx));
          }
        }
      }
    }
    auto median = [](std::vector<Figures> v) {
      std::sort(v.begin(), v.end(), [](const Figures& a, const Figures& b) { return a.rps < b.rps; });
      return v[v.size() / 2];
    };
    Figures shown[2][2][3];
    for (std::size_t w = 0; w < works.size(); ++w) {
      for (int c = 0; c < 2; ++c) {
        std::cout << "\n" << works[w].first << ", " << concurrencies[c] << " concurrent\n"
                  << "  client                       req/s   p50 ms    p99 ms  cpu us/req  srv us/req  peak MB  failed\n";
        for (std::size_t k = 0; k < clients.size(); ++k) {
          shown[w][c][k] = median(figures[w][static_cast<std::size_t>(c)][k]);
          PrintRow(clients[k].name, shown[w][c][k]);
          if (shown[w][c][k].failed > 0) rc = 1;
        }
        const Figures& s = shown[w][c][0];
        const Figures& fresh = shown[w][c][1];
        const Figures& thread = shown[w][c][2];
        std::printf("  ratio sion/curl fresh: %.2fx req/s, %.2fx cpu;  sion/curl handle/thread: %.2fx req/s, %.2fx cpu\n",
                    s.rps / fresh.rps, s.clientCpuUs / fresh.clientCpuUs, s.rps / thread.rps,
                    s.clientCpuUs / thread.clientCpuUs);
      }
    }

    const Figures& s6 = shown[1][1][0];
    const Figures& best6 = shown[1][1][1].rps > shown[1][1][2].rps ? shown[1][1][1] : shown[1][1][2];
    std::printf("\nGoal HTTPS x6: >= 1.3x the better curl form (%.2fx) and p99 no worse (%.3f vs %.3f ms): %s\n",
                s6.rps / best6.rps, s6.p99Ms, best6.p99Ms,
                (s6.rps >= 1.3 * best6.rps && s6.p99Ms <= best6.p99Ms) ? "met" : "NOT met");
    for (int c = 0; c < 2; ++c) {
      const Figures& s = shown[0][c][0];
      const Figures& fresh = shown[0][c][1];
      std::printf("Goal HTTP x%d: >= curl fresh (%.2fx): %s\n", concurrencies[c], s.rps / fresh.rps,
                  s.rps >= fresh.rps ? "met" : "NOT met");
    }
  }

  std::vector<double> stops;
  for (int i = 0; i < 5; ++i) stops.push_back(StopWithSixStuckMs());
  std::sort(stops.begin(), stops.end());
  std::printf("\nStop with six requests stuck on a silent server: median %.2f ms, max %.2f ms (goal < 1000 ms): %s\n",
              stops[2], stops.back(), (stops.front() >= 0 && stops.back() < 1000) ? "met" : "NOT met");
  curl_global_cleanup();
  return rc;
}
