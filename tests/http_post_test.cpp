// CNimoHttp::PostCallback end to end through the process-wide pool: what goes
// on the wire, the two log records, and the HttpResp of every kind of answer.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>

#include <nlohmann/json.hpp>

#include "Sdk/CNimoHttp.h"
#include "Sdk/GameCallback.h"
#include "Sdk/NimoUtils.h"
#include "http/Header.h"
#include "http/Response.h"
#include "support/LogCapture.h"
#include "nimosdk64_c.h"
#include "support/RawServer.h"
#include "support/TestCerts.h"
#include "support/child_process.h"

namespace {

using NimoSdk::CNimoHttp;
using NimoSdk::HttpResp;
using nimo_test::RawServer;

class PostTest : public testing::Test {
 protected:
  void SetUp() override { CNimoHttp::StartPool(); }
  nimotest::LogCapture log_;
};

struct Outcome {
  HttpResp resp;
  std::thread::id thread;
};

// A given content type goes in a header list that dies right after the call, before the request runs.
Outcome Post(const std::string& url, const std::string& body = "a=1", const std::string& contentType = "") {
  auto promise = std::make_shared<std::promise<Outcome>>();
  auto future = promise->get_future();
  auto header = std::make_unique<sion::Header>();
  header->Add("Content-Type", contentType);
  auto done = [promise](HttpResp r) { promise->set_value({std::move(r), std::this_thread::get_id()}); };
  CNimoHttp::PostCallback(url, body, done, contentType.empty() ? nullptr : header.get());
  header.reset();
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

std::string Reply(const std::string& status, const std::string& body) {
  return "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}
const std::string kOk = Reply("200 OK", "{\"code\":200}");

HttpResp Answer(const std::string& status, const std::string& body) {
  RawServer server(RawServer::Reply(Reply(status, body)));
  return Post(server.Url("/v22/init.do")).resp;
}

TEST_F(PostTest, FormHeaderByDefaultOrTheGivenListLoggedAndAnsweredOnAWorker) {
  RawServer server(RawServer::Reply(kOk));
  const std::string url = server.Url("/v22/init.do");
  EXPECT_NE(Post(url, "x=中文").thread, std::this_thread::get_id());
  EXPECT_EQ(log_.StartingWith("\n请求地址"), (std::vector<std::string>{"\n请求地址：" + url + "\n请求数据：x=中文\n",
                                          "\n请求地址:" + url + "     响应:200\n请求结果:{\"code\":200}\n"}));
  Post(server.Url("/data/h5/v1.do"), "{}", "text/plain;charset=UTF-8");
  EXPECT_EQ(server.Requests(), (std::vector<std::string>{"POST /v22/init.do HTTP/1.1\r\n"
                                                         "content-type: application/x-www-form-urlencoded\r\n"
                                                         "Host: 127.0.0.1\r\nContent-Length: 8\r\n\r\nx=中文",
                                                         "POST /data/h5/v1.do HTTP/1.1\r\n"
                                                         "Content-Type: text/plain;charset=UTF-8\r\n"
                                                         "Host: 127.0.0.1\r\nContent-Length: 2\r\n\r\n{}"}));
}

// Every kind of answer and the HttpResp it gives: data is the body whole, or empty for a failure.
TEST_F(PostTest, AnswersBecomeCodeMsgAndData) {
  const std::string typeError = "[json.exception.type_error.";
  struct Row {
    std::string status, body;
    int code;
    std::string msg;
  } rows[] = {
      {"200 OK", R"({"code":200,"data":{"token":"t"},"msg":"ok"})", 200, "ok"},
      {"200 OK", R"({"code":1001})", 1001, ""},
      {"200 OK", R"({"code":1,"message":"m","msg":"参数错误"})", 1, "参数错误"},
      {"200 OK", R"({"code":1,"message":"only message"})", 1, "only message"},
      {"200 OK", R"({"code":true})", 1, ""},
      {"200 OK", R"({"code":200.9})", 200, ""},
      // Unusable bodies: -501 with the JSON library's text.
      {"200 OK", R"({"code":"200"})", -501, typeError + "302] type must be number, but is string"},
      {"200 OK", R"({"code":200,"msg":null})", -501, typeError + "302] type must be string, but is null"},
      {"200 OK", R"({"msg":"ok"})", -501, "[json.exception.out_of_range.403] key 'code' not found"},
      {"200 OK", R"([1,2])", -501, typeError + "304] cannot use at() with array"},
      {"200 OK", R"({"code":4294967496})", -501, "code超出int范围:4294967496"},
      {"200 OK", R"({"code":-1e300})", -501, "code超出int范围:-1e+300"},
      {"200 OK", R"({"code":200,"a":)" + std::string(65, '[') + std::string(65, ']') + "}", -501, "JSON嵌套超过64层"},
      {"200 OK", R"({"code":200,"a":[0)" + Repeat(",0", 100000) + "]}", -501, "JSON元素超过100000个"},
      // Other statuses: -502.
      {"404 Not Found", "<html>no</html>", -502, "Http Code:404, Msg:"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.body.substr(0, 60));
    HttpResp r = Answer(row.status, row.body);
    EXPECT_EQ(r.code, row.code);
    EXPECT_EQ(r.status, std::stoi(row.status));
    EXPECT_EQ(r.msg, row.msg);
    EXPECT_EQ(r.data, row.code > -500 ? row.body : "");
  }
  HttpResp html = Answer("200 OK", "<html>busy</html>");
  EXPECT_EQ(html.code, -501);
  EXPECT_EQ(html.msg.rfind("[json.exception.parse_error.101] parse error at line 1, column 1", 0), 0u);
  HttpResp failed = Post("ftp://example.com/v22/init.do").resp;  // a failure without a status
  EXPECT_EQ(failed.code, -502);
  EXPECT_EQ(failed.status, 0);
  EXPECT_EQ(failed.msg, "Http Code:, Msg:url格式不对或者是用了除http(s)外的协议");
}

// A C callback's record: what the game's C code sees.
struct CSeen {
  int code = 0;
  std::string message, data;
  std::promise<void> done;
};
void CSeenCallback(int code, const char* message, const char* data, void* user) {
  auto* seen = static_cast<CSeen*>(user);
  seen->code = code;
  seen->message = message;
  seen->data = data;
  seen->done.set_value();
}
std::wstring gCppData = L"<not called>";
void CppCallback(int, std::wstring, std::wstring data) { gCppData = std::move(data); }

// Every way a request can fail reaches a C game as -502 with the specified message, never ending
// in an empty "Msg:" without a status, and a JSON reason in data; the C++ exports' data stays empty.
TEST_F(PostTest, TransportFailuresReachTheCGameWithTheirReason) {
  setenv("NIMOSDK_IO_TIMEOUT_MS", "500", 1);  // read at the first request, made below
  int closedPort;
  {
    RawServer gone(RawServer::Reply(""));
    closedPort = gone.Port();
  }
  RawServer silent(RawServer::Silent());
  RawServer closes(RawServer::Reply(""));
  RawServer huge(RawServer::Reply("HTTP/1.1 200 OK\r\nContent-Length: 4194305\r\n\r\n"));
  RawServer notFound(RawServer::Reply(Reply("404 Not Found", "<html>no</html>")));
  RawServer noReason(RawServer::Reply("HTTP/1.1 200\r\n\r\n"));
  RawServer untrusted(RawServer::Reply(kOk), nimo_test::TestCerts::Get().server);
  RawServer plain([](nimo_test::RawConn& c) {  // answers the ClientHello in plain HTTP
    c.Write(Reply("400 Bad Request", ""));
    c.WaitForClose();
  });
  const struct {
    std::string url;
    const char* reason;
    int number;
  } rows[] = {
      {"http://127.0.0.1:" + std::to_string(closedPort) + "/", "refused", NIMO_REASON_REFUSED},
      {silent.Url(), "timeout", NIMO_REASON_TIMEOUT},
      {"http://no-such-host.invalid/", "dns", NIMO_REASON_DNS},
      {untrusted.Url("/", "https"), "tls_verify", NIMO_REASON_TLS_VERIFY},
      {plain.Url("/", "https"), "tls", NIMO_REASON_TLS},
      {closes.Url(), "dropped", NIMO_REASON_DROPPED},
      {huge.Url(), "too_large", NIMO_REASON_TOO_LARGE},
      {notFound.Url(), "http_status", NIMO_REASON_HTTP_STATUS},
      {noReason.Url(), "protocol", NIMO_REASON_PROTOCOL},
      {"ftp://example.com/", "other", NIMO_REASON_OTHER},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.reason);
    CSeen seen;
    auto done = seen.done.get_future();
    NimoSdk::GameCallback c(CSeenCallback, &seen);
    NimoSdk::GameCallback cpp(CppCallback);
    CNimoHttp::PostCallback(row.url, "a=1", [c, cpp](HttpResp r) {
      NimoSdk::NotifyGame(cpp, r);
      NimoSdk::NotifyGame(c, r);
    }, nullptr);
    ASSERT_EQ(done.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(seen.code, NIMO_HTTP_ERROR);
    EXPECT_EQ(seen.message.rfind("Http Code:", 0), 0u) << seen.message;
    EXPECT_TRUE(row.number == NIMO_REASON_HTTP_STATUS || seen.message.back() != ':') << seen.message;  // 404: "Msg:"
    const nlohmann::json data = nlohmann::json::parse(seen.data);
    EXPECT_EQ(data["reason"], row.reason) << seen.data;
    const std::string detail = data["detail"];
    EXPECT_FALSE(detail.empty());
    EXPECT_EQ(detail.find('\n'), std::string::npos);
    EXPECT_EQ(nimo_failure_reason(seen.data.c_str()), row.number);
    EXPECT_EQ(data.contains("status"), row.number == NIMO_REASON_HTTP_STATUS) << seen.data;
    EXPECT_EQ(gCppData, L"");
  }
  EXPECT_EQ(nimo_failure_reason(R"({"code":200,"reason":"refused?"})"), NIMO_REASON_NONE);
}

// Six answers (one per worker) of '[' just under the size cap, then six of short header lines, each
// once costly in memory and time; in a child process so that its peak memory is its own.
TEST(HostileAnswers, PeakMemoryStaysBoundedAndTheGameHearsAtOnce) {
  if (nimo_test::ChildMode().empty()) {
    pid_t pid = nimo_test::SpawnCurrentTest("measure");
    ASSERT_GT(pid, 0);
    EXPECT_EQ(nimo_test::WaitChild(pid, std::chrono::seconds(60)), 0);
    return;
  }
  RawServer deep(RawServer::Reply(Reply("200 OK", std::string(sion::kMaxResponseBytes - 100, '['))));
  RawServer flood(RawServer::Reply("HTTP/1.1 200 OK\r\n" + Repeat("a:b\r\n", 800000) + "\r\n"));
  RawServer normal(RawServer::Reply(kOk));
  CNimoHttp::StartPool();
  if (Post(normal.Url()).resp.code != 200) std::_Exit(2);
  auto peakKiB = [] {
    struct rusage u {};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
  };
  const long base = peakKiB();
  const auto start = std::chrono::steady_clock::now();
  int wrong = 0;
  auto six = [&wrong](const std::string& url, const std::string& msg) {
    std::vector<std::future<Outcome>> outs;
    for (int i = 0; i < 6; ++i) outs.push_back(std::async(std::launch::async, [url] { return Post(url); }));
    for (auto& f : outs) wrong += f.get().resp.msg == msg ? 0 : 1;
  };
  six(deep.Url(), "JSON嵌套超过64层");
  six(flood.Url(), "Http Code:, Msg:响应头过大,超过65536字节");
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const long growth = peakKiB() - base;
  std::fprintf(stderr, "twelve hostile answers: %.2f s, peak +%ld KiB\n", seconds, growth);
  // The time bound is a hang guard. Sanitizers keep freed memory in quarantine: there only answers count.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  const long limitKiB = 1L << 30;
#else
  const long limitKiB = 128 * 1024;
#endif
  std::_Exit(wrong != 0 ? 3 : growth > limitKiB ? 4 : seconds > 20 ? 5 : 0);
}

}  // namespace
