// CNimoHttp::PostCallback end to end through the process-wide pool: what goes
// on the wire, the two log records, and the HttpResp of every kind of answer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <easylogging++.h>

#include "Sdk/CNimoHttp.h"
#include "http/Async.h"
#include "http/Header.h"
#include "http/Response.h"
#include "support/RawServer.h"
#include "support/child_process.h"

namespace {

using NimoSdk::CNimoHttp;
using NimoSdk::HttpResp;
using nimo_test::RawServer;

// Keeps the text of every INFO record of the "default" logger.
class LogCapture : public el::LogDispatchCallback {
 public:
  static std::vector<std::string> Records() {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
  }

 protected:
  void handle(const el::LogDispatchData* data) override {
    if (data->logMessage()->level() != el::Level::Info) return;
    std::lock_guard<std::mutex> lock(mutex_);
    records_.push_back(data->logMessage()->message());
  }

 private:
  static std::mutex mutex_;
  static std::vector<std::string> records_;  // guarded by mutex_
};
std::mutex LogCapture::mutex_;
std::vector<std::string> LogCapture::records_;

class PostTest : public testing::Test {
 protected:
  void SetUp() override {
    el::Helpers::installLogDispatchCallback<LogCapture>("capture");
    CNimoHttp::StartPool();
  }
};

struct Outcome {
  HttpResp resp;
  std::thread::id thread;
};

Outcome Post(const std::string& url, const std::string& body = "a=1", sion::Header* header = nullptr) {
  auto promise = std::make_shared<std::promise<Outcome>>();
  auto future = promise->get_future();
  CNimoHttp::PostCallback(url, body, [promise](HttpResp r) { promise->set_value({std::move(r), std::this_thread::get_id()}); },
                          header);
  if (future.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
    ADD_FAILURE() << "no answer";
    return {};
  }
  return future.get();
}

std::string Repeat(const std::string& piece, std::size_t times) {
  std::string out;
  out.reserve(piece.size() * times);
  for (std::size_t i = 0; i < times; ++i) out += piece;
  return out;
}

HttpResp Answer(const std::string& status, const std::string& body) {
  RawServer server(RawServer::Reply("HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) +
                                    "\r\n\r\n" + body));
  return Post(server.Url("/v22/init.do")).resp;
}

TEST_F(PostTest, SendsTheDefaultFormHeaderAndRunsTheHandlerOnAWorker) {
  RawServer server(RawServer::Reply("HTTP/1.1 200 OK\r\nContent-Length: 23\r\n\r\n{\"code\":200,\"msg\":\"ok\"}"));
  Outcome out = Post(server.Url("/v22/init.do"), "a=1&b=2");
  EXPECT_NE(out.thread, std::this_thread::get_id());
  ASSERT_EQ(server.Requests().size(), 1u);
  EXPECT_EQ(server.Requests()[0],
            "POST /v22/init.do HTTP/1.1\r\ncontent-type: application/x-www-form-urlencoded\r\n"
            "Host: 127.0.0.1\r\nContent-Length: 7\r\n\r\na=1&b=2");
}

TEST_F(PostTest, GivenHeaderListIsUsedUnchangedAndMayDieRightAfterTheCall) {
  RawServer server(RawServer::Reply("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n{\"code\":0}"));
  auto promise = std::make_shared<std::promise<HttpResp>>();
  {
    auto header = std::make_unique<sion::Header>();
    header->Add("Content-Type", "text/plain;charset=UTF-8");
    CNimoHttp::PostCallback(server.Url("/data/h5/v1.do"), "{}", [promise](HttpResp r) { promise->set_value(r); },
                            header.get());
  }  // freed before the request runs
  auto future = promise->get_future();
  ASSERT_EQ(future.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_EQ(future.get().code, 0);
  EXPECT_EQ(server.Requests()[0],
            "POST /data/h5/v1.do HTTP/1.1\r\nContent-Type: text/plain;charset=UTF-8\r\n"
            "Host: 127.0.0.1\r\nContent-Length: 2\r\n\r\n{}");
}

TEST_F(PostTest, LogsTheRequestAndTheAnswer) {
  RawServer server(RawServer::Reply("HTTP/1.1 200 OK\r\nContent-Length: 12\r\n\r\n{\"code\":200}"));
  const std::string url = server.Url("/v1/attribution.do");
  Post(url, "x=中文");
  std::vector<std::string> ours;
  for (const std::string& r : LogCapture::Records()) {
    if (r.find("请求地址") != std::string::npos) ours.push_back(r);
  }
  ASSERT_EQ(ours.size(), 2u);
  EXPECT_EQ(ours[0], "\n请求地址：" + url + "\n请求数据：x=中文\n");
  EXPECT_EQ(ours[1], "\n请求地址:" + url + "     响应:200\n请求结果:{\"code\":200}\n");
}

TEST_F(PostTest, SuccessfulBodyGivesItsCodeMsgAndWholeBody) {
  const std::string body = R"({"code":200,"data":{"token":"t"},"msg":"ok"})";
  HttpResp r = Answer("200 OK", body);
  EXPECT_EQ(r.code, 200);
  EXPECT_EQ(r.msg, L"ok");
  EXPECT_EQ(r.data, L"{\"code\":200,\"data\":{\"token\":\"t\"},\"msg\":\"ok\"}");

  HttpResp bare = Answer("200 OK", R"({"code":1001})");
  EXPECT_EQ(bare.code, 1001);
  EXPECT_EQ(bare.msg, L"");
  EXPECT_EQ(bare.data, L"{\"code\":1001}");
}

TEST_F(PostTest, MsgWinsOverMessageAndTextIsUtf8) {
  EXPECT_EQ(Answer("200 OK", R"({"code":1,"message":"m","msg":"参数错误"})").msg, L"参数错误");
  EXPECT_EQ(Answer("200 OK", R"({"code":1,"message":"only message"})").msg, L"only message");
  HttpResp business = Answer("200 OK", R"({"code":500,"msg":"x"})");  // not judged here
  EXPECT_EQ(business.code, 500);
  EXPECT_EQ(Answer("200 OK", R"({"code":true})").code, 1);
  EXPECT_EQ(Answer("200 OK", R"({"code":200.9})").code, 200);
}

TEST_F(PostTest, UnusableBodiesOn200AreMinus501WithTheJsonText) {
  struct Case {
    std::string body;
    std::wstring msg;
  } cases[] = {
      {R"({"code":"200"})", L"[json.exception.type_error.302] type must be number, but is string"},
      {R"({"code":200,"msg":null})", L"[json.exception.type_error.302] type must be string, but is null"},
      {R"({"msg":"ok"})", L"[json.exception.out_of_range.403] key 'code' not found"},
      {R"([1,2])", L"[json.exception.type_error.304] cannot use at() with array"},
      {R"({"code":4294967496})", L"code超出int范围:4294967496"},
      {R"({"code":-1e300})", L"code超出int范围:-1e+300"},
      {R"({"code":200,"a":)" + std::string(65, '[') + std::string(65, ']') + "}", L"JSON嵌套超过64层"},
      {R"({"code":200,"a":[0)" + Repeat(",0", 100000) + "]}", L"JSON元素超过100000个"},
  };
  for (const Case& c : cases) {
    HttpResp r = Answer("200 OK", c.body);
    EXPECT_EQ(r.code, -501) << c.body;
    EXPECT_EQ(r.msg, c.msg) << c.body;
    EXPECT_EQ(r.data, L"") << c.body;
  }
  HttpResp html = Answer("200 OK", "<html>busy</html>");
  EXPECT_EQ(html.code, -501);
  EXPECT_EQ(html.msg.rfind(L"[json.exception.parse_error.101] parse error at line 1, column 1", 0), 0u);
}

TEST_F(PostTest, OtherStatusesAndTransportFailuresAreMinus502) {
  HttpResp notFound = Answer("404 Not Found", "<html>no</html>");
  EXPECT_EQ(notFound.code, -502);
  EXPECT_EQ(notFound.msg, L"Http Code:404, Msg:");
  EXPECT_EQ(notFound.data, L"");

  // No length and nothing after the header block: complete at once, although
  // the server keeps the connection open (the read limit here is 30 s).
  RawServer open([](nimo_test::RawConn& c) {
    c.ReadRequest();
    c.Write("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 404 Not Found\r\n\r\n");
    c.WaitForClose();
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Post(open.Url()).resp.msg, L"Http Code:404, Msg:");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));

  int port;
  {
    RawServer gone(RawServer::Reply(""));
    port = gone.Port();
  }
  HttpResp refused = Post("http://127.0.0.1:" + std::to_string(port) + "/v22/init.do").resp;
  EXPECT_EQ(refused.code, -502);
  EXPECT_EQ(refused.msg, L"Http Code:, Msg:连接失败:\nHost:127.0.0.1\nIp:127.0.0.1\n错误码：111");

  HttpResp scheme = Post("ftp://example.com/v22/init.do").resp;
  EXPECT_EQ(scheme.code, -502);
  EXPECT_EQ(scheme.msg, L"Http Code:, Msg:url格式不对或者是用了除http(s)外的协议");
}

TEST_F(PostTest, StartPoolTwiceIsFalseAndPostsAfterStopAreNeverAnswered) {
  EXPECT_FALSE(CNimoHttp::StartPool());
  RawServer server(RawServer::Reply("HTTP/1.1 200 OK\r\nContent-Length: 12\r\n\r\n{\"code\":200}"));
  EXPECT_EQ(Post(server.Url()).resp.code, 200);
  CNimoHttp::StopPool();
  CNimoHttp::StopPool();  // harmless
  std::atomic<bool> called{false};
  CNimoHttp::PostCallback(server.Url(), "a", [&](HttpResp) { called = true; }, nullptr);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(called.load());
  EXPECT_EQ(CNimoHttp::Pool().LiveWorkers(), 0);
}

TEST_F(PostTest, EmptyHandlerIsReportedNotFatal) {
  RawServer server(RawServer::Reply("HTTP/1.1 200 OK\r\nContent-Length: 12\r\n\r\n{\"code\":200}"));
  testing::internal::CaptureStderr();
  CNimoHttp::PostCallback(server.Url(), "a", NimoSdk::HttpHandler(), nullptr);
  for (int i = 0; i < 1000 && server.Requests().empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // its answer is read and handled meanwhile
  EXPECT_EQ(Post(server.Url()).resp.code, 200);                 // the pool lives on
  CNimoHttp::StopPool();
  EXPECT_NE(testing::internal::GetCapturedStderr().find("bad_function_call"), std::string::npos);
}

TEST(PoolAtExit, ProcessExitWithStuckRequestsNeitherHangsNorCrashes) {
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The game quits without Exit while six requests hang: the pool's
    // destructor runs at exit and must neither block nor crash.
    RawServer silent(RawServer::Silent());
    CNimoHttp::StartPool();
    for (int i = 0; i < 6; ++i) {
      CNimoHttp::PostCallback(silent.Url(), "a", [](HttpResp) { _exit(3); }, nullptr);
    }
    for (int i = 0; i < 1000 && silent.Requests().size() < 6; ++i) usleep(10000);
    std::exit(silent.Requests().size() == 6 ? 0 : 4);
  }
  int status = -1;
  auto start = std::chrono::steady_clock::now();
  while (waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() - start > std::chrono::seconds(20)) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      FAIL() << "the process did not end";
    }
    usleep(10000);
  }
  ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

long PeakRssKiB() {
  struct rusage u {};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

// An answer of '[' just under the size cap, and one of short header lines:
// each used to cost hundreds of MiB to GiBs and seconds. Six of each at once
// (one per worker), in a child process so that its peak memory is its own.
TEST(HostileAnswers, PeakMemoryStaysBoundedAndTheGameHearsAtOnce) {
  if (nimo_test::ChildMode().empty()) {
    pid_t pid = nimo_test::SpawnCurrentTest("measure");
    ASSERT_GT(pid, 0);
    EXPECT_EQ(nimo_test::WaitChild(pid, std::chrono::seconds(60)), 0);
    return;
  }
  const std::string nested(sion::kMaxResponseBytes - 100, '[');
  RawServer deep(RawServer::Reply("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(nested.size()) +
                                  "\r\n\r\n" + nested));
  RawServer flood(RawServer::Reply("HTTP/1.1 200 OK\r\n" + Repeat("a:b\r\n", 800000) + "\r\n"));
  RawServer normal(RawServer::Reply("HTTP/1.1 200 OK\r\nContent-Length: 12\r\n\r\n{\"code\":200}"));
  CNimoHttp::StartPool();
  if (Post(normal.Url()).resp.code != 200) std::_Exit(2);
  const long base = PeakRssKiB();
  auto start = std::chrono::steady_clock::now();
  auto six = [](const std::string& url) {
    std::vector<std::future<Outcome>> outs;
    for (int i = 0; i < 6; ++i) outs.push_back(std::async(std::launch::async, [url] { return Post(url); }));
    std::vector<HttpResp> got;
    for (auto& f : outs) got.push_back(f.get().resp);
    return got;
  };
  int wrong = 0;
  for (const HttpResp& r : six(deep.Url())) wrong += r.code == -501 && r.msg == L"JSON嵌套超过64层" ? 0 : 1;
  const double deepSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const long deepGrowth = PeakRssKiB() - base;
  start = std::chrono::steady_clock::now();
  for (const HttpResp& r : six(flood.Url())) wrong += r.msg == L"Http Code:, Msg:响应头过大,超过65536字节" ? 0 : 1;
  const double floodSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const long growth = PeakRssKiB() - base;
  std::fprintf(stderr, "six nested answers: %.2f s, peak +%ld KiB; six header floods: %.2f s; peak +%ld KiB in all\n",
               deepSeconds, deepGrowth, floodSeconds, growth);
  // Well under 64 MiB per answer; the time bound is a hang guard. Sanitizers keep freed
  // memory in quarantine, so there only the answers are checked.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  const long limitKiB = 1L << 30;
#else
  const long limitKiB = 128 * 1024;
#endif
  std::_Exit(wrong != 0 ? 3 : growth > limitKiB ? 4 : deepSeconds + floodSeconds > 20 ? 5 : 0);
}

class PostConcurrency : public PostTest {};

TEST_F(PostConcurrency, ManyThreadsEachGetTheirOwnAnswer) {
  RawServer server([](nimo_test::RawConn& c) {
    std::string request = c.ReadRequest();
    std::string body = request.substr(request.find("\r\n\r\n") + 4);
    std::string json = "{\"code\":200,\"msg\":\"" + body + "\"}";
    c.Write("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(json.size()) + "\r\n\r\n" + json);
  });
  std::atomic<int> right{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 5; ++i) {
        const std::string tag = "t" + std::to_string(t) + "i" + std::to_string(i);
        HttpResp r = Post(server.Url(), tag).resp;
        if (r.code == 200 && r.msg == std::wstring(tag.begin(), tag.end())) ++right;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(right.load(), 20);
}

}  // namespace
