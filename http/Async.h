// A fixed pool of worker threads running requests, so that no caller waits for
// the network. Run queues a request; a worker sends it and calls the handler
// on the worker thread with the outcome. Stop aborts what is in flight and
// waits (bounded) for the workers; handlers of requests still queued or in
// flight at that moment are never called. All members are thread-safe.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "http/Error.h"
#include "http/Request.h"
#include "http/Response.h"

namespace sion {

struct AsyncResponse {
  Response resp;        // empty when Send threw
  std::string err_msg;  // what Send threw; empty when an answer arrived
  // Why Send threw (meaningful only when it did), and one English line on it.
  ErrorKind err_kind = ErrorKind::Other;
  std::string err_detail;
};

// Where the pool tells what it can hand to no caller: a handler or start hook
// that threw, workers still busy when Stop's wait ended. One line each, without
// a newline, on the thread that saw it and with no lock of the pool held. Empty:
// dropped. Whatever the sink throws is dropped too.
using DiagnosticSink = std::function<void(const std::string&)>;

struct AsyncPackage {
  Request request;
  std::function<void(AsyncResponse)> handler;
};

class Async {
 public:
  // background_num workers of their own serve RunInBackground; each calls
  // backgroundStart first (to lower its priority, say). diagnostics hears what
  // goes wrong where no caller can.
  explicit Async(int thread_num = 6, std::chrono::milliseconds stopWait = std::chrono::milliseconds(750),
                 int background_num = 0, std::function<void()> backgroundStart = {},
                 DiagnosticSink diagnostics = {});
  Async(const Async&) = delete;
  Async& operator=(const Async&) = delete;
  // Stops like Stop; workers that still do not end are left to finish on their own.
  ~Async();

  // Starts the workers, once: a second call throws std::logic_error
  // "一个线程池实例只能start一次". A thread that cannot be made raises std::system_error.
  void Start();

  // Calls factory now, on the calling thread, and queues its request. An empty
  // factory raises std::bad_function_call. A request queued after Stop is dropped.
  void Run(std::function<Request()> factory, std::function<void(AsyncResponse)> handler);
  // As Run, for work that can wait (analytics): it never takes one of the
  // thread_num workers. Without background workers it is Run.
  void RunInBackground(std::function<Request()> factory, std::function<void(AsyncResponse)> handler);

  // Stops taking work, shuts the sockets of requests in flight down and waits up
  // to stopWait (or until deadline) for the workers to end. Called from a worker
  // (a handler) it does not wait for that worker. A second call only waits again.
  void Stop();
  void Stop(std::chrono::steady_clock::time_point deadline);

  // For tests and diagnostics.
  std::size_t Pending() const;  // queued, not yet taken (both lanes)
  int LiveWorkers() const;      // started and not yet ended

 private:
  struct State;
  static void WorkerLoop(const std::shared_ptr<State>& state, int index);
  void Queue(bool background, std::function<Request()> factory, std::function<void(AsyncResponse)> handler);

  // Shared with the workers, so a worker that outlives the pool (one that
  // stopped it from inside a handler) never touches freed memory.
  const std::shared_ptr<State> state_;
};

}  // namespace sion
