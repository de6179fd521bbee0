// Send over real loopback TCP against a scriptable server: exact bytes on the
// wire, answers cut at every byte boundary, slow and silent servers, early
// closes, connect and resolution failures.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>

#include "http/Abort.h"
#include "http/Connection.h"
#include "http/Error.h"
#include "http/Request.h"
#include "platform/net/Resolver.h"
#include "support/RawServer.h"
#include "support/TestSocket.h"

namespace {

using nimo_test::RawConn;
using nimo_test::RawServer;
using sion::Method;
using sion::Request;
using Clock = std::chrono::steady_clock;

// Short limits for this process, read by the client at its first request.
const bool kLimits = [] {
  setenv("NIMOSDK_CONNECT_TIMEOUT_MS", "400", 1);
  setenv("NIMOSDK_IO_TIMEOUT_MS", "1000", 1);
  setenv("NIMOSDK_REQUEST_TIMEOUT_MS", "4000", 1);
  return true;
}();

const std::string kOk = "HTTP/1.1 200 OK\r\nContent-Length: 12\r\n\r\n{\"code\":200}";

sion::Response Post(const std::string& url, const std::string& body = "a=1") {
  sion::Header h;
  h.Add("content-type", "application/x-www-form-urlencoded");
  Request r;
  r.SetUrl(url).SetBody(body).SetHeader(h).SetMethod(Method::Post);
  return r.Send();
}

std::string ErrorOf(const std::string& url) {
  try {
    Post(url);
  } catch (const sion::Error& e) {
    return e.what();
  } catch (const std::exception& e) {
    return std::string("<not sion::Error> ") + e.what();
  }
  return "<no error>";
}

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

TEST(HttpTransport, WritesExactRequestBytesAndReadsTheAnswer) {
  RawServer server(RawServer::Reply(kOk));
  sion::Response r = Post(server.Url("/v22/init.do"), "a=1&b=2");
  EXPECT_EQ(r.status_code, "200");
  EXPECT_EQ(r.StrBody(), "{\"code\":200}");
  ASSERT_EQ(server.Requests().size(), 1u);
  EXPECT_EQ(server.Requests()[0],
            "POST /v22/init.do HTTP/1.1\r\n"
            "content-type: application/x-www-form-urlencoded\r\n"
            "Host: 127.0.0.1\r\n"
            "Content-Length: 7\r\n"
            "\r\n"
            "a=1&b=2");
}

TEST(HttpTransport, ResolvesNamesAndSendsLargeBodiesWhole) {
  RawServer server(RawServer::Reply(kOk));
  std::string body(300000, 'b');
  Request r;
  r.SetUrl(server.Url("/big", "http", "localhost")).SetBody(body).SetMethod(Method::Put);
  sion::Response answer = r.Send();
  EXPECT_EQ(answer.status_code, "200");
  EXPECT_EQ(r.ip, "127.0.0.1");
  ASSERT_EQ(server.Requests().size(), 1u);
  EXPECT_EQ(server.Requests()[0].size(), std::string("PUT /big HTTP/1.1\r\nHost: localhost\r\nContent-Length: 300000\r\n\r\n").size() + body.size());
}

TEST(HttpTransport, AnswerSplitAtEveryByteBoundaryOnTheWire) {
  const std::string chunked =
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\n{\"cod\r\n7\r\ne\":200}\r\n0\r\n\r\n";
  for (const std::string& answer : {kOk, chunked}) {
    for (std::size_t cut = 1; cut < answer.size(); ++cut) {
      RawServer server([&](RawConn& c) {
        c.ReadRequest();
        c.Write(answer.substr(0, cut));
        c.Sleep(std::chrono::milliseconds(2));  // two separate segments
        c.Write(answer.substr(cut));
      });
      ASSERT_EQ(Post(server.Url()).StrBody(), "{\"code\":200}") << "cut at " << cut;
    }
  }
}

TEST(HttpTransport, SlowDripWithinTheLimitCompletes) {
  RawServer server([](RawConn& c) {
    c.ReadRequest();
    c.WriteInPieces(kOk, 7, std::chrono::milliseconds(40));
  });
  EXPECT_EQ(Post(server.Url()).StrBody(), "{\"code\":200}");
}

TEST(HttpTransport, DripSlowerThanTheLimitTimesOut) {
  RawServer server([](RawConn& c) {
    c.ReadRequest();
    c.WriteInPieces(kOk, 10, std::chrono::milliseconds(1600));
  });
  EXPECT_EQ(ErrorOf(server.Url()), "网络超时,1000ms未收到数据");
}

TEST(HttpTransport, SteadyDripIsEndedByTheRequestLimit) {
  RawServer server([](RawConn& c) {
    c.ReadRequest();
    c.Write("HTTP/1.1 200 OK\r\n");
    while (c.Write("X: y\r\n") && c.Sleep(std::chrono::milliseconds(300))) {
    }
  });
  auto start = Clock::now();
  EXPECT_EQ(ErrorOf(server.Url()), "网络超时,请求超过4000ms未完成");
  EXPECT_LT(SecondsSince(start), 8.0);
}

TEST(HttpTransport, SilentServerTimesOut) {
  RawServer server(RawServer::Silent());
  auto start = Clock::now();
  EXPECT_EQ(ErrorOf(server.Url()), "网络超时,1000ms未收到数据");
  EXPECT_GT(SecondsSince(start), 0.9);
}

TEST(HttpTransport, ServerThatStopsReadingTimesOutTheWrite) {
  RawServer server([](RawConn& c) { c.Sleep(std::chrono::seconds(10)); });  // never reads
  Request r;
  r.SetUrl(server.Url()).SetBody(std::string(64 * 1024 * 1024, 'w')).SetMethod(Method::Post);
  try {
    r.Send();
    FAIL() << "the body went out although nobody read it";
  } catch (const sion::Error& e) {
    EXPECT_STREQ(e.what(), "网络超时,发送数据1000ms无进展");
  }
}

TEST(HttpTransport, EarlyCloseIsAnErrorWithEmptyText) {
  RawServer closesAtOnce([](RawConn& c) { c.ReadRequest(); });
  EXPECT_EQ(ErrorOf(closesAtOnce.Url()), "");
  RawServer shortBody(RawServer::Reply("HTTP/1.1 200 OK\r\nContent-Length: 50\r\n\r\n{\"code\""));
  EXPECT_EQ(ErrorOf(shortBody.Url()), "");
}

TEST(HttpTransport, UnframedBodyEndsAtClose) {
  RawServer server(RawServer::Reply("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\nall of it"));
  EXPECT_EQ(Post(server.Url()).StrBody(), "all of it");
}

TEST(HttpTransport, FailuresAfterTheUrlCheckAreSionErrors) {
  RawServer broken(RawServer::Reply("HTTP/1.1 200 OK\r\nContent-Length: x\r\n\r\n"));
  EXPECT_EQ(ErrorOf(broken.Url()), "content-length无效:x");
  RawServer chunks(RawServer::Reply("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nnope\r\n"));
  EXPECT_EQ(ErrorOf(chunks.Url()), "chunked编码错误:块大小无效");
  EXPECT_EQ(ErrorOf("http://1.2.3/"), "地址转换错误");
  EXPECT_EQ(ErrorOf("http://_-_/"), "地址转换错误");
}

TEST(HttpTransport, RefusedConnectionNamesHostIpAndErrno) {
  int port;
  {
    RawServer gone(RawServer::Reply(""));
    port = gone.Port();
  }
  EXPECT_EQ(ErrorOf("http://127.0.0.1:" + std::to_string(port) + "/"),
            "连接失败:\nHost:127.0.0.1\nIp:127.0.0.1\n错误码：" + std::to_string(nimo_test::sock::kConnectionRefused));
}

TEST(HttpTransport, UnansweredConnectTimesOut) {
  nimo_test::FullListener full;
  auto start = Clock::now();
  EXPECT_EQ(ErrorOf("http://127.0.0.1:" + std::to_string(full.Port()) + "/"),
            "连接超时:\nHost:127.0.0.1\nIp:127.0.0.1\n超时：400ms");
  EXPECT_LT(SecondsSince(start), 3.0);
}

TEST(HttpTransport, UnknownHostGivesTheResolverText) {
  const std::string text = ErrorOf("http://no-such-host.invalid/");
  EXPECT_EQ(text.rfind("错误", 0), 0u) << text;
  EXPECT_GT(text.size(), std::string("错误-2").size());
}

int TenSecondResolver(const std::string&, std::string& ip, std::string&) {
  std::this_thread::sleep_for(std::chrono::seconds(10));
  ip = "127.0.0.1";
  return 0;
}

// A resolver that takes 10 s: the lookup ends within the connect limit, an
// abort ends it at once, an address is never looked up, and a request whose
// whole limit is spent fails before waiting at all.
TEST(HttpTransport, NameResolutionIsBoundedAndAbortable) {
  nimo_net::Lookup::SetResolverForTests(&TenSecondResolver);
  auto start = Clock::now();
  EXPECT_EQ(ErrorOf("http://slow.test/"), "域名解析超时:\nHost:slow.test\n超时：400ms");
  EXPECT_LT(SecondsSince(start), 1.0);

  sion::AbortHandle abort;
  std::string error;
  start = Clock::now();
  std::thread t([&] {
    try {
      Request r;
      r.SetUrl("http://slow.test/").SetMethod(Method::Get);
      r.Send(&abort);
    } catch (const std::exception& e) {
      error = e.what();
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  abort.Abort();
  t.join();
  EXPECT_EQ(error, "请求已取消");
  EXPECT_LT(SecondsSince(start), 0.35);

  RawServer server(RawServer::Reply(kOk));
  start = Clock::now();
  EXPECT_EQ(Post(server.Url()).StrBody(), "{\"code\":200}");
  EXPECT_LT(SecondsSince(start), 1.0);

  sion::Connection spent(nullptr, sion::Timeouts{10000, 30000, 0});
  start = Clock::now();
  EXPECT_THROW(spent.Resolve("slow.test"), sion::Error);
  EXPECT_THROW(spent.Connect("127.0.0.1", "127.0.0.1", static_cast<unsigned short>(server.Port())), sion::Error);
  EXPECT_LT(SecondsSince(start), 0.1);
}

TEST(HttpTransport, ResetWhileSendingDoesNotRaiseSigpipe) {
  // The server closes without reading a large body: the client's writes then
  // fail with EPIPE/ECONNRESET, which must stay an error, not a signal.
  RawServer server([](RawConn&) {});
  std::string body(8 * 1024 * 1024, 'z');
  Request r;
  r.SetUrl(server.Url()).SetBody(body).SetMethod(Method::Post);
  EXPECT_THROW(r.Send(), sion::Error);
  SUCCEED() << "still alive";
}

TEST(HttpTransport, AbortFromAnotherThreadEndsAStuckRequestAtOnce) {
  RawServer server(RawServer::Silent());
  sion::AbortHandle abort;
  std::string error;
  auto start = Clock::now();
  std::thread t([&] {
    try {
      Request r;
      r.SetUrl(server.Url()).SetMethod(Method::Get);
      r.Send(&abort);
    } catch (const std::exception& e) {
      error = e.what();
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  abort.Abort();
  t.join();
  EXPECT_EQ(error, "请求已取消");
  EXPECT_LT(SecondsSince(start), 0.9);  // well before the 1 s read limit
}

TEST(HttpTransport, AbortDuringConnectEndsItToo) {
  nimo_test::FullListener full;
  const std::string url = "http://127.0.0.1:" + std::to_string(full.Port()) + "/";
  auto attempt = [&](sion::AbortHandle& abort) {
    try {
      Request r;
      r.SetUrl(url).SetMethod(Method::Get);
      r.Send(&abort);
    } catch (const std::exception& e) {
      return std::string(e.what());
    }
    return std::string("<no error>");
  };
  sion::AbortHandle early;
  early.Abort();  // before the socket exists: Send refuses at once
  EXPECT_EQ(attempt(early), "请求已取消");

  sion::AbortHandle late;
  std::string error;
  std::thread t([&] { error = attempt(late); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // inside the 400 ms connect wait
  late.Abort();
  t.join();
  EXPECT_EQ(error, "请求已取消");
}

}  // namespace
