#include "http/Async.h"

#include <atomic>
#include <deque>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "http/Abort.h"
#include "http/Strings.h"
#include "platform/sync/Mutex.h"

namespace sion {

struct Async::State {
  State(int n, std::chrono::milliseconds wait, int b, std::function<void()> start, DiagnosticSink sink)
      : thread_num(n),
        stopWait(wait),
        background_num(b),
        backgroundStart(std::move(start)),
        diagnostics(std::move(sink)) {}

  // Never throws (it runs in a worker's catch and in ~Async): the line is made inside.
  template <typename MakeLine>
  void Report(const MakeLine& makeLine) const noexcept {
    if (!diagnostics) return;
    try {
      diagnostics(makeLine());
    } catch (...) {
    }
  }

  struct Lane {
    nimo_sync::CondVar workCv;  // its queue changed or stopping
    std::deque<AsyncPackage> queue;  // guarded by mutex
  };

  struct Worker {
    std::thread thread;
    std::thread::id id;  // kept after a detach, so a later Stop still knows it
    bool done = false;   // the loop has ended; join returns at once
  };

  // Constant after construction.
  const int thread_num;
  const std::chrono::milliseconds stopWait;
  const int background_num;                  // workers from index thread_num on
  const std::function<void()> backgroundStart;
  const DiagnosticSink diagnostics;

  mutable nimo_sync::Mutex mutex;
  Lane lanes[2];                             // [1]: the background workers'
  nimo_sync::CondVar doneCv;            // a worker ended
  std::map<int, Worker> threads GUARDED_BY(mutex);
  std::set<AbortHandle*> inFlight GUARDED_BY(mutex);
  bool running GUARDED_BY(mutex) = false;  // never cleared
  std::atomic<bool> stopping{false};         // never cleared
};

Async::Async(int thread_num, std::chrono::milliseconds stopWait, int background_num,
             std::function<void()> backgroundStart, DiagnosticSink diagnostics)
    : state_(std::make_shared<State>(thread_num, stopWait, background_num, std::move(backgroundStart),
                                     std::move(diagnostics))) {}

Async::~Async() { Stop(); }  // leaves no thread joinable

void Async::Start() {
  nimo_sync::MutexLock lock(state_->mutex);
  Check<std::logic_error>(!state_->running, "一个线程池实例只能start一次");
  // Set first: workers made before a failed thread creation stay owned, and a
  // retry cannot start a second set under the same indexes.
  state_->running = true;
  for (int i = 0; i < state_->thread_num + state_->background_num; ++i) {
    std::thread t(&Async::WorkerLoop, state_, i);
    state_->threads[i].id = t.get_id();
    state_->threads[i].thread = std::move(t);
  }
}

void Async::Run(std::function<Request()> factory, std::function<void(AsyncResponse)> handler) {
  Queue(false, std::move(factory), std::move(handler));
}

void Async::RunInBackground(std::function<Request()> factory, std::function<void(AsyncResponse)> handler) {
  Queue(state_->background_num > 0, std::move(factory), std::move(handler));
}

void Async::Queue(bool background, std::function<Request()> factory, std::function<void(AsyncResponse)> handler) {
  AsyncPackage package{factory(), std::move(handler)};
  State::Lane& lane = state_->lanes[background ? 1 : 0];
  {
    nimo_sync::MutexLock lock(state_->mutex);
    if (state_->stopping) return;  // never performed; released here, outside the lock
    lane.queue.push_back(std::move(package));
  }
  lane.workCv.notify_one();
}

void Async::WorkerLoop(const std::shared_ptr<State>& state, int index) {
  State& s = *state;
  const bool background = index >= s.thread_num;
  if (background && s.backgroundStart) {
    try {
      s.backgroundStart();
    } catch (const std::exception& e) {
      s.Report([&] { return e.what(); });  // the worker still serves its lane
    } catch (...) {
      s.Report([] { return "unknown exception in a worker's start hook"; });
    }
  }
  State::Lane& lane = s.lanes[background ? 1 : 0];
  while (!s.stopping) {
    AsyncPackage package;
    AbortHandle abort;
    {
      nimo_sync::UniqueLock lock(s.mutex);
      lane.workCv.wait(lock, [&] { return !lane.queue.empty() || s.stopping; });
      if (s.stopping) break;
      package = std::move(lane.queue.front());
      lane.queue.pop_front();
      s.inFlight.insert(&abort);
    }
    AsyncResponse out;
    if (!s.stopping) {
      try {
        out.resp = package.request.Send(&abort);
      } catch (const Error& e) {
        out.err_msg = e.what();
        out.err_kind = e.kind();
        out.err_detail = e.detail();
      } catch (const std::exception& e) {
        out.err_msg = e.what();  // the request itself was unusable (method, URL)
        out.err_detail = "invalid URL or method";
      }
    }
    {
      nimo_sync::MutexLock lock(s.mutex);
      s.inFlight.erase(&abort);
    }
    if (s.stopping) break;
    try {
      package.handler(std::move(out));
    } catch (const std::exception& e) {
      s.Report([&] { return e.what(); });
    } catch (...) {
      s.Report([] { return "unknown exception in a request handler"; });
    }
  }
  nimo_sync::MutexLock lock(s.mutex);
  s.threads[index].done = true;
  s.doneCv.notify_all();
}

void Async::Stop() { Stop(std::chrono::steady_clock::now() + state_->stopWait); }

void Async::Stop(std::chrono::steady_clock::time_point deadline) {
  State& s = *state_;
  s.stopping = true;
  std::deque<AsyncPackage> dropped;
  std::vector<std::thread> finished;
  int stragglers = 0;
  {
    nimo_sync::UniqueLock lock(s.mutex);
    for (AbortHandle* a : s.inFlight) a->Abort();
    for (State::Lane& lane : s.lanes) {
      for (AsyncPackage& p : lane.queue) dropped.push_back(std::move(p));
      lane.queue.clear();
      lane.workCv.notify_all();
    }

    // A worker that stops the pool from its handler ends after it returns:
    // nobody waits for it.
    const std::thread::id self = std::this_thread::get_id();
    auto allEnded = [&]() REQUIRES(s.mutex) {
      for (const auto& entry : s.threads) {
        if (!entry.second.done && entry.second.id != self) return false;
      }
      return true;
    };
    s.doneCv.wait_until(lock, deadline, allEnded);
    for (auto it = s.threads.begin(); it != s.threads.end();) {
      State::Worker& w = it->second;
      if (w.done) {
        if (w.thread.joinable()) finished.push_back(std::move(w.thread));
        it = s.threads.erase(it);
        continue;
      }
      if (w.id != self) ++stragglers;
      // Past the bound it finishes on its own; it holds the state it uses.
      // The entry stays, so LiveWorkers counts it and a later Stop waits again.
      if (w.thread.joinable()) w.thread.detach();
      ++it;
    }
  }
  for (auto& t : finished) t.join();
  if (stragglers > 0) {
    s.Report([&] { return "sion: " + std::to_string(stragglers) + " worker(s) still busy after stop"; });
  }
}

std::size_t Async::Pending() const {
  nimo_sync::MutexLock lock(state_->mutex);
  return state_->lanes[0].queue.size() + state_->lanes[1].queue.size();
}

int Async::LiveWorkers() const {
  nimo_sync::MutexLock lock(state_->mutex);
  int n = 0;
  for (const auto& entry : state_->threads) n += entry.second.done ? 0 : 1;
  return n;
}

}  // namespace sion
