// The fetch pool with real requests on loopback: parallelism, handlers, and
// Stop with idle, busy and stuck workers, from outside and from a handler.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "http/Async.h"
#include "support/CallbackRecorder.h"
#include "support/RawServer.h"

namespace {

using nimo_test::Eventually;
using nimo_test::RawConn;
using nimo_test::RawServer;
using sion::Async;
using sion::AsyncResponse;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const std::string kOk = "HTTP/1.1 200 OK\r\nContent-Length: 12\r\n\r\n{\"code\":200}";

std::function<sion::Request()> GetOf(const std::string& url) {
  return [url] {
    sion::Request r;
    r.SetUrl(url).SetMethod(sion::Method::Get);
    return r;
  };
}

// What a pool's diagnostic sink was told, each line ended by a newline.
class Heard {
 public:
  sion::DiagnosticSink Sink() {
    return [this](const std::string& line) {
      std::lock_guard<std::mutex> lock(mutex_);
      text_ += line + '\n';
    };
  }
  std::string Text() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return text_;
  }

 private:
  mutable std::mutex mutex_;
  std::string text_;  // guarded by mutex_
};

// Seconds that pool.Stop() took.
double TimedStop(Async& pool) {
  auto start = Clock::now();
  pool.Stop();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Queued before Start, run once started: six at once, the seventh when a worker is free.
TEST(PoolConcurrency, SevenRequestsOnSixWorkers) {
  std::atomic<bool> open{false};
  RawServer server([&](RawConn& c) {
    c.ReadRequest();
    while (!open && c.Sleep(milliseconds(5))) {
    }
    c.Write(kOk);
  });
  Async pool;
  std::atomic<int> handled{0};
  std::atomic<int> ok{0};
  for (int i = 0; i < 7; ++i) {
    pool.Run(GetOf(server.Url()), [&](AsyncResponse a) {
      if (a.resp.StrBody() == "{\"code\":200}") ++ok;
      ++handled;
    });
  }
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_EQ(server.Accepted(), 0);
  pool.Start();
  ASSERT_TRUE(Eventually([&] { return server.Accepted() == 6; }));
  std::this_thread::sleep_for(milliseconds(200));
  EXPECT_EQ(server.Accepted(), 6);
  EXPECT_EQ(pool.Pending(), 1u);
  open = true;
  ASSERT_TRUE(Eventually([&] { return handled.load() == 7; }));
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_EQ(handled.load(), 7);  // once each
  EXPECT_EQ(ok.load(), 7);
  EXPECT_EQ(server.Accepted(), 7);
}

TEST(PoolConcurrency, StopOrDestroyWithStuckOrConnectingRequestsReturnsPromptlyWithoutHandlers) {
  RawServer silent(RawServer::Silent());
  nimo_test::FullListener full;
  const std::string connecting = "http://127.0.0.1:" + std::to_string(full.Port()) + "/";
  std::atomic<int> handled{0};  // outlives every pool of the loop
  for (const auto& [url, destroy] : {std::pair{silent.Url(), false}, {connecting, false}, {silent.Url(), true}}) {
    SCOPED_TRACE(url + (destroy ? " destroyed" : " stopped"));
    auto pool = std::make_unique<Async>();
    pool->Start();
    const std::size_t before = silent.Requests().size();
    for (int i = 0; i < 6; ++i) pool->Run(GetOf(url), [&](AsyncResponse) { ++handled; });
    if (url == silent.Url()) {
      ASSERT_TRUE(Eventually([&] { return silent.Requests().size() == before + 6; }));
    } else {
      std::this_thread::sleep_for(milliseconds(200));  // inside the connect wait
    }
    auto start = Clock::now();
    if (destroy) {
      pool.reset();
    } else {
      pool->Stop();
      EXPECT_EQ(pool->LiveWorkers(), 0);
    }
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(handled.load(), 0);
  }
}

// Five idle workers and a busy one: all end, the busy one's answer is dropped, the pool never starts again.
TEST(PoolConcurrency, StopEndsIdleAndBusyWorkersDropsTheAnswerAndThePoolNeverStartsAgain) {
  std::atomic<bool> answering{false};
  RawServer server([&](RawConn& c) {
    c.ReadRequest();
    answering = true;
    c.WriteInPieces(kOk, 4, milliseconds(100));  // a slow, live answer
  });
  Async pool;
  pool.Start();
  std::atomic<int> handled{0};
  pool.Run(GetOf(server.Url()), [&](AsyncResponse) { ++handled; });
  ASSERT_TRUE(Eventually([&] { return answering.load() && pool.LiveWorkers() == 6; }));
  EXPECT_LT(TimedStop(pool), 1.0);
  EXPECT_EQ(pool.LiveWorkers(), 0);
  std::this_thread::sleep_for(milliseconds(100));
  EXPECT_EQ(handled.load(), 0);
  pool.Stop();  // harmless
  EXPECT_THROW(pool.Start(), std::logic_error);
}

TEST(PoolConcurrency, StopFromAHandlerReturnsWithoutWaitingForItself) {
  RawServer quick(RawServer::Reply(kOk));
  RawServer silent(RawServer::Silent());
  Async pool;
  pool.Start();
  std::atomic<int> stuckHandled{0};
  for (int i = 0; i < 3; ++i) pool.Run(GetOf(silent.Url()), [&](AsyncResponse) { ++stuckHandled; });
  ASSERT_TRUE(Eventually([&] { return silent.Requests().size() == 3; }));
  std::atomic<bool> stopReturned{false};
  double stopSeconds = -1;
  pool.Run(GetOf(quick.Url()), [&](AsyncResponse) {
    stopSeconds = TimedStop(pool);  // as a game callback calling Exit would
    stopReturned = true;
  });
  ASSERT_TRUE(Eventually([&] { return stopReturned.load(); }));
  EXPECT_LT(stopSeconds, 1.0);
  EXPECT_EQ(stuckHandled.load(), 0);
  pool.Run(GetOf(quick.Url()), [&](AsyncResponse) { ++stuckHandled; });  // after Stop: never run
  ASSERT_TRUE(Eventually([&] { return pool.LiveWorkers() == 0; }));
  EXPECT_EQ(stuckHandled.load(), 0);
  EXPECT_EQ(pool.Pending(), 0u);
}

// Past the bound a busy worker is left to finish on its own: the SDK never
// destroys a retired pool, so nothing would join it later.
TEST(PoolConcurrency, AWorkerBusyPastTheBoundFinishesOnItsOwn) {
  RawServer quick(RawServer::Reply(kOk));
  // Never destroyed, as a retired pool; what it reports outlives it.
  static Heard* const heard = new Heard();
  static Async* const pool = new Async(1, milliseconds(50), 0, {}, heard->Sink());
  pool->Start();
  static std::atomic<bool> inHandler{false};
  static std::atomic<bool> release{false};
  pool->Run(GetOf(quick.Url()), [](AsyncResponse) {
    inHandler = true;
    while (!release) std::this_thread::sleep_for(milliseconds(5));
  });
  ASSERT_TRUE(Eventually([] { return inHandler.load(); }));
  EXPECT_LT(TimedStop(*pool), 1.0);
  EXPECT_NE(heard->Text().find("still busy"), std::string::npos);
  EXPECT_EQ(pool->LiveWorkers(), 1);
  release = true;
  EXPECT_TRUE(Eventually([] { return pool->LiveWorkers() == 0; }));
}

// Analytics wait in their own lane: stuck ones hold neither the login worker
// nor Stop, and each background worker runs the start hook (and goes on if it throws).
TEST(PoolConcurrency, BackgroundRequestsHaveTheirOwnWorkersAndStopWithThePool) {
  RawServer silent(RawServer::Silent());
  RawServer quick(RawServer::Reply(kOk));
  std::atomic<int> hooked{0};
  Heard heard;
  Async pool(
      1, milliseconds(750), 2,
      [&] {
        ++hooked;
        throw std::runtime_error("priority refused");  // reported; the worker still serves
      },
      heard.Sink());
  pool.Start();
  std::atomic<int> stuck{0};
  for (int i = 0; i < 3; ++i) {
    pool.RunInBackground(GetOf(silent.Url()), [&](AsyncResponse) { ++stuck; });
  }
  ASSERT_TRUE(Eventually([&] { return silent.Requests().size() == 2; }));
  EXPECT_EQ(hooked.load(), 2);
  EXPECT_EQ(pool.Pending(), 1u);  // two background workers, both busy
  EXPECT_NE(heard.Text().find("priority refused"), std::string::npos);
  std::atomic<bool> answered{false};
  pool.Run(GetOf(quick.Url()), [&](AsyncResponse a) { answered = a.resp.StrBody() == "{\"code\":200}"; });
  EXPECT_TRUE(Eventually([&] { return answered.load(); }));
  EXPECT_LT(TimedStop(pool), 1.0);
  EXPECT_EQ(pool.LiveWorkers(), 0);
  EXPECT_EQ(stuck.load(), 0);
  EXPECT_EQ(silent.Requests().size(), 2u);
}

TEST(PoolConcurrency, HandlerExceptionsAreReportedAndTheWorkerGoesOn) {
  RawServer server(RawServer::Reply(kOk));
  Heard heard;
  Async pool(1, milliseconds(750), 0, {}, heard.Sink());  // one worker, so it must survive every failure below
  pool.Start();
  EXPECT_THROW(pool.Run(std::function<sion::Request()>(), [](AsyncResponse) {}), std::bad_function_call);
  std::atomic<int> after{0};
  pool.Run(GetOf(server.Url()), [](AsyncResponse) { throw std::runtime_error("boom"); });
  pool.Run(GetOf(server.Url()), [](AsyncResponse) { throw 7; });
  pool.Run(GetOf(server.Url()), std::function<void(AsyncResponse)>());
  pool.Run(GetOf(server.Url()), [&](AsyncResponse) { ++after; });
  ASSERT_TRUE(Eventually([&] { return after.load() == 1; }));
  pool.Stop();
  const std::string err = heard.Text();
  for (const char* line : {"boom\n", "unknown exception in a request handler\n", "bad_function_call\n"})
    EXPECT_NE(err.find(line), std::string::npos) << err;
}

}  // namespace
