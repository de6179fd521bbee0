// Requests over loopback TCP and TLS against a scriptable server: wire bytes, cut answers, time limits,
// connect and resolution failures, aborts; for HTTPS, every verification refusal and session resumption.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "http/Abort.h"
#include "http/Connection.h"
#include "http/Error.h"
#include "http/Request.h"
#include "http/TlsContext.h"
#include "platform/net/Resolver.h"
#include "support/RawServer.h"
#include "support/TestCerts.h"
#include "support/TestSocket.h"

namespace {

using nimo_test::RawConn;
using nimo_test::RawServer;
using nimo_test::TestCerts;
using sion::Method;
using sion::Request;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Short limits for this process, read by the client at its first request.
const bool kLimits = [] {
  setenv("NIMOSDK_CONNECT_TIMEOUT_MS", "400", 1);
  setenv("NIMOSDK_IO_TIMEOUT_MS", "1000", 1);
  setenv("NIMOSDK_REQUEST_TIMEOUT_MS", "4000", 1);
  return true;
}();

const std::string kOkBody = "{\"code\":200}";
const std::string kOk = "HTTP/1.1 200 OK\r\nContent-Length: 12\r\n\r\n" + kOkBody;

// A GET, or a POST when there is a body.
sion::Response Fetch(const std::string& url, const std::string& body = "", sion::AbortHandle* abort = nullptr) {
  Request r;
  r.SetUrl(url).SetBody(body).SetMethod(body.empty() ? Method::Get : Method::Post);
  return r.Send(abort);
}

std::string ErrorOf(const std::string& url, const std::string& body = "", sion::AbortHandle* abort = nullptr) {
  try {
    Fetch(url, body, abort);
  } catch (const sion::Error& e) {
    return e.what();
  } catch (const std::exception& e) {
    return std::string("<not sion::Error> ") + e.what();
  }
  return "<no error>";
}

// Fetches url on a thread of its own and aborts it after `after`: the error text.
std::string AbortedAfter(const std::string& url, milliseconds after) {
  sion::AbortHandle abort;
  std::string error;
  std::thread t([&] { error = ErrorOf(url, "", &abort); });
  std::this_thread::sleep_for(after);
  abort.Abort();
  t.join();
  return error;
}

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

std::string Loopback(int port) { return "http://127.0.0.1:" + std::to_string(port) + "/"; }

// ---- HTTPS ----

// The CA the client trusts is fixed at its first TLS use; each test runs in a
// process of its own, so this only matters when the whole file runs at once.
std::string gTrusted = "<unset>";
bool Trust(const std::string& caFile) {
  if (gTrusted == caFile) return true;
  if (!sion::TlsContext::UseCaFile(caFile)) return false;
  gTrusted = caFile;
  return true;
}
#define TRUST_OR_SKIP(ca) \
  if (!Trust(ca)) GTEST_SKIP() << "the process already trusts another CA"

std::string Https(const RawServer& server, const std::string& host = "localhost") {
  return server.Url("/", "https", host);
}

// Later connections resume the session of their own host and port only.
TEST(HttpTls, TrustedServerByNameAndByAddressWithSessionsResumedPerKey) {
  TRUST_OR_SKIP(TestCerts::Get().caFile);
  std::vector<std::string> names;
  RawServer server([&names](RawConn& c) {
    names.push_back(c.ServerName());
    c.ReadRequest();
    c.Write(kOk);
  }, TestCerts::Get().server);
  for (const char* host : {"localhost", "localhost", "localhost", "127.0.0.1", "127.0.0.1"}) {
    EXPECT_EQ(Fetch(Https(server, host)).StrBody(), kOkBody);
  }
  EXPECT_EQ(server.ResumedHandshakes(), 3);
  // SNI for names, none for addresses.
  EXPECT_EQ(names, (std::vector<std::string>{"localhost", "localhost", "localhost", "", ""}));
}

TEST(HttpTls, UnreadableCaFileFailsEveryTlsRequestWithTheReason) {
  TRUST_OR_SKIP("/nonexistent/ca.pem");
  RawServer server(RawServer::Reply(kOk), TestCerts::Get().server);
  for (int i = 0; i < 2; ++i) {
    const std::string text = ErrorOf(Https(server));
    EXPECT_EQ(text.rfind("openssl初始化异常:无法读取CA文件 /nonexistent/ca.pem", 0), 0u) << text;
  }
}

TEST(HttpTls, ServerOfUnknownCaIsRefused) {
  TRUST_OR_SKIP("");  // the system store only
  RawServer server(RawServer::Reply(kOk), TestCerts::Get().server);
  EXPECT_EQ(ErrorOf(Https(server)), "TLS握手失败,证书验证未通过:unable to get local issuer certificate");
  EXPECT_TRUE(server.Requests().empty());  // nothing was sent
}

// Init after Exit may bring other trust: the next connection follows it.
TEST(HttpTls, TrustFollowsTheSettingsFromOneConnectionToTheNext) {
  const TestCerts& certs = TestCerts::Get();
  RawServer server(RawServer::Reply(kOk), certs.server);
  for (const bool trusted : {true, false, true}) {
    sion::TlsContext::Configure({trusted ? certs.caFile : certs.selfSigned.cert, true});
    const std::string refused = "TLS握手失败,证书验证未通过:unable to get local issuer certificate";
    EXPECT_EQ(ErrorOf(Https(server)), trusted ? "<no error>" : refused);
  }
  sion::TlsContext::Configure({certs.caFile, false});
  gTrusted = certs.caFile;
}

TEST(HttpTls, UntrustworthyCertificatesAreRefusedWithTheReason) {
  TRUST_OR_SKIP(TestCerts::Get().caFile);
  const TestCerts& certs = TestCerts::Get();
  const struct {
    const nimo_test::CertFiles& files;
    const char* host;
    const char* reason;
  } rows[] = {
      {certs.selfSigned, "localhost", "self-signed certificate"},
      {certs.otherName, "localhost", "hostname mismatch"},
      {certs.otherName, "127.0.0.1", "IP address mismatch"},
      {certs.nameOnlyInCn, "localhost", "hostname mismatch"},  // the common name never stands in
      {certs.expired, "localhost", "certificate has expired"},
  };
  for (const auto& row : rows) {
    RawServer server(RawServer::Reply(kOk), row.files);
    EXPECT_EQ(ErrorOf(Https(server, row.host)), std::string("TLS握手失败,证书验证未通过:") + row.reason);
  }
}

// Peers that fail the handshake, and a close-delimited body, which needs a close_notify.
TEST(HttpTls, PlainClosingOrSilentPeersFailTheHandshakeAndABareCloseCutsTheBody) {
  TRUST_OR_SKIP(TestCerts::Get().caFile);
  RawServer plain([](RawConn& c) {  // answers the ClientHello with plain HTTP
    c.Write("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n");
    c.WaitForClose();
  });
  const std::string text = ErrorOf(plain.Url("/", "https"));
  EXPECT_EQ(text.rfind("TLS握手失败:", 0), 0u) << text;
  EXPECT_NE(text.find("wrong version number"), std::string::npos) << text;
  RawServer closes([](RawConn& c) { c.ReadRequest(200); });  // takes the ClientHello: a close, not a reset
  EXPECT_EQ(ErrorOf(closes.Url("/", "https")), "TLS握手失败:连接被对方关闭");
  RawServer silent([](RawConn& c) { c.WaitForClose(); });
  EXPECT_EQ(ErrorOf(silent.Url("/", "https")), "网络超时,TLS握手1000ms无进展");
  RawServer unframed(RawServer::Reply("HTTP/1.1 200 OK\r\n\r\nuntil close"), TestCerts::Get().server);
  EXPECT_EQ(Fetch(Https(unframed)).StrBody(), "until close");
  // A bare close could have cut such a body anywhere: never a success.
  RawServer cut([](RawConn& c) {
    c.ReadRequest();
    c.Write("HTTP/1.1 200 OK\r\n\r\n{\"code\":2");
    c.SkipCloseNotify();
  }, TestCerts::Get().server);
  EXPECT_EQ(ErrorOf(Https(cut)), "网络异常,连接未经close_notify关闭,响应可能不完整");
}

TEST(TlsConcurrency, ParallelRequestsShareContextAndSessions) {
  TRUST_OR_SKIP(TestCerts::Get().caFile);
  RawServer server(RawServer::Reply(kOk), TestCerts::Get().server);
  std::atomic<int> ok{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 5; ++i) {
        try {
          if (Fetch(Https(server, "127.0.0.1")).StrBody() == kOkBody) ++ok;  // no name lookups racing the limit
        } catch (const std::exception& e) {
          ADD_FAILURE() << e.what();
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(ok.load(), 30);
  EXPECT_GT(server.ResumedHandshakes(), 0);
}

// ---- plain HTTP ----

TEST(HttpTransport, ResolvesNamesAndSendsLargeBodiesWhole) {
  RawServer server(RawServer::Reply(kOk));
  std::string body(300000, 'b');
  Request r;
  r.SetUrl(server.Url("/big", "http", "localhost")).SetBody(body).SetMethod(Method::Put);
  EXPECT_EQ(r.Send().status_code, "200");
  EXPECT_EQ(r.ip, "127.0.0.1");
  ASSERT_EQ(server.Requests().size(), 1u);
  EXPECT_EQ(server.Requests()[0], "PUT /big HTTP/1.1\r\nHost: localhost\r\nContent-Length: 300000\r\n\r\n" + body);
}

TEST(HttpTransport, ReadLimitIsPerReadAndTheRequestLimitBoundsTheWhole) {
  RawServer slower([](RawConn& c) {
    c.ReadRequest();
    c.WriteInPieces(kOk, 10, milliseconds(1600));
  });
  EXPECT_EQ(ErrorOf(slower.Url()), "网络超时,1000ms未收到数据");
  RawServer silent(RawServer::Silent());
  auto start = Clock::now();
  EXPECT_EQ(ErrorOf(silent.Url()), "网络超时,1000ms未收到数据");
  EXPECT_GT(SecondsSince(start), 0.9);
  RawServer steady([](RawConn& c) {
    c.ReadRequest();
    c.Write("HTTP/1.1 200 OK\r\n");
    while (c.Write("X: y\r\n") && c.Sleep(milliseconds(300))) {
    }
  });
  start = Clock::now();
  EXPECT_EQ(ErrorOf(steady.Url()), "网络超时,请求超过4000ms未完成");
  EXPECT_LT(SecondsSince(start), 8.0);
}

// Large bodies to servers that never read: the write times out, and a close (EPIPE/ECONNRESET) stays
// an error, never a signal.
TEST(HttpTransport, ServerThatStopsReadingTimesOutTheWriteAndAResetRaisesNoSigpipe) {
  RawServer stuck([](RawConn& c) { c.Sleep(std::chrono::seconds(10)); });
  EXPECT_EQ(ErrorOf(stuck.Url(), std::string(64 * 1024 * 1024, 'w')), "网络超时,发送数据1000ms无进展");
  RawServer closes([](RawConn&) {});
  // Neither "<no error>" nor "<not sion::Error> ...".
  EXPECT_NE(ErrorOf(closes.Url(), std::string(8 * 1024 * 1024, 'z')).rfind("<no", 0), 0u);
}

TEST(HttpTransport, BrokenAnswersAndAddressesAreSionErrors) {
  // An early close has no text; a parser error reaches the caller as a sion::Error with its text.
  for (const auto& [reply, error] : {std::pair<std::string, std::string>{"", ""},
                                     {"HTTP/1.1 200 OK\r\nContent-Length: x\r\n\r\n", "content-length无效:x"}}) {
    RawServer server(RawServer::Reply(reply));
    EXPECT_EQ(ErrorOf(server.Url()), error) << reply;
  }
  RawServer unframed(RawServer::Reply("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\nall of it"));
  EXPECT_EQ(Fetch(unframed.Url()).StrBody(), "all of it");
  EXPECT_EQ(ErrorOf("http://1.2.3/"), "地址转换错误");
  EXPECT_EQ(ErrorOf("http://_-_/"), "地址转换错误");
  const std::string text = ErrorOf("http://no-such-host.invalid/");  // the resolver's text
  EXPECT_EQ(text.rfind("错误", 0), 0u) << text;
  EXPECT_GT(text.size(), std::string("错误-2").size());
}

TEST(HttpTransport, RefusedOrUnansweredConnectNamesHostAndIp) {
  int port;
  {
    RawServer gone(RawServer::Reply(""));
    port = gone.Port();
  }
  EXPECT_EQ(ErrorOf(Loopback(port)), "连接失败:\nHost:127.0.0.1\nIp:127.0.0.1\n错误码：" +
                                         std::to_string(nimo_test::sock::kConnectionRefused));
  nimo_test::FullListener full;
  auto start = Clock::now();
  EXPECT_EQ(ErrorOf(Loopback(full.Port())), "连接超时:\nHost:127.0.0.1\nIp:127.0.0.1\n超时：400ms");
  EXPECT_LT(SecondsSince(start), 3.0);
}

TEST(HttpTransport, AbortEndsAStuckReadOrConnectAtOnce) {
  RawServer server(RawServer::Silent());
  auto start = Clock::now();
  EXPECT_EQ(AbortedAfter(server.Url(), milliseconds(150)), "请求已取消");
  EXPECT_LT(SecondsSince(start), 0.9);  // well before the 1 s read limit

  nimo_test::FullListener full;
  sion::AbortHandle early;
  early.Abort();  // before the socket exists: Send refuses at once
  EXPECT_EQ(ErrorOf(Loopback(full.Port()), "", &early), "请求已取消");
  EXPECT_EQ(AbortedAfter(Loopback(full.Port()), milliseconds(100)), "请求已取消");  // inside the 400 ms wait
}

int TenSecondResolver(const std::string&, std::string& ip, std::string&) {
  std::this_thread::sleep_for(std::chrono::seconds(10));
  ip = "127.0.0.1";
  return 0;
}

// A 10 s resolver: bounded by the connect limit, ended by an abort, skipped for addresses, not even
// started once the request's limit is spent. Last in the file: the resolver stays slow afterwards.
TEST(HttpTransport, NameResolutionIsBoundedAndAbortable) {
  nimo_net::Lookup::SetResolverForTests(&TenSecondResolver);
  auto start = Clock::now();
  EXPECT_EQ(ErrorOf("http://slow.test/"), "域名解析超时:\nHost:slow.test\n超时：400ms");
  EXPECT_LT(SecondsSince(start), 1.0);

  start = Clock::now();
  EXPECT_EQ(AbortedAfter("http://slow.test/", milliseconds(100)), "请求已取消");
  EXPECT_LT(SecondsSince(start), 0.35);

  RawServer server(RawServer::Reply(kOk));
  start = Clock::now();
  EXPECT_EQ(Fetch(server.Url()).StrBody(), kOkBody);
  EXPECT_LT(SecondsSince(start), 1.0);

  sion::Connection spent(nullptr, sion::Timeouts{10000, 30000, 0});
  start = Clock::now();
  EXPECT_THROW(spent.Resolve("slow.test"), sion::Error);
  EXPECT_THROW(spent.Connect("127.0.0.1", "127.0.0.1", static_cast<unsigned short>(server.Port())), sion::Error);
  EXPECT_LT(SecondsSince(start), 0.1);
}

}  // namespace
