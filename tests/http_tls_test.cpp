// HTTPS against a local TLS server with certificates made for the test:
// verification on, every refusal with its reason, and session resumption.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "http/Error.h"
#include "http/Request.h"
#include "http/TlsContext.h"
#include "support/RawServer.h"
#include "support/TestCerts.h"

namespace {

using nimo_test::RawConn;
using nimo_test::RawServer;
using nimo_test::TestCerts;
using sion::Method;
using sion::Request;

const bool kLimits = [] {
  setenv("NIMOSDK_IO_TIMEOUT_MS", "1000", 1);
  return true;
}();

const std::string kOk = "HTTP/1.1 200 OK\r\nContent-Length: 12\r\n\r\n{\"code\":200}";

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

sion::Response Get(const std::string& url) {
  Request r;
  r.SetUrl(url).SetMethod(Method::Get);
  return r.Send();
}

std::string ErrorOf(const std::string& url) {
  try {
    Get(url);
  } catch (const sion::Error& e) {
    return e.what();
  }
  return "<no error>";
}

RawServer::Script ReplyNoting(std::vector<std::string>* names, bool* resumed = nullptr) {
  return [names, resumed](RawConn& c) {
    if (names != nullptr) names->push_back(c.ServerName());
    if (resumed != nullptr) *resumed = c.Resumed();
    c.ReadRequest();
    c.Write(kOk);
  };
}

TEST(HttpTls, TrustedServerByNameAndByAddress) {
  TRUST_OR_SKIP(TestCerts::Get().caFile);
  std::vector<std::string> names;
  RawServer server(ReplyNoting(&names), TestCerts::Get().server);
  EXPECT_EQ(Get(server.Url("/a", "https", "localhost")).StrBody(), "{\"code\":200}");
  EXPECT_EQ(Get(server.Url("/b", "https", "127.0.0.1")).StrBody(), "{\"code\":200}");
  ASSERT_EQ(names.size(), 2u);
  EXPECT_EQ(names[0], "localhost");  // SNI for names
  EXPECT_EQ(names[1], "");           // none for addresses
  ASSERT_EQ(server.Requests().size(), 2u);
  EXPECT_EQ(server.Requests()[0], "GET /a HTTP/1.1\r\nHost: localhost\r\nContent-Length: 0\r\n\r\n");
}

TEST(HttpTls, CaFileComesFromTheEnvironment) {
  setenv("NIMOSDK_CA_FILE", TestCerts::Get().caFile.c_str(), 1);
  RawServer server(RawServer::Reply(kOk), TestCerts::Get().server);
  EXPECT_EQ(Get(server.Url("/", "https", "localhost")).status_code, "200");
}

TEST(HttpTls, UnreadableCaFileFailsEveryTlsRequestWithTheReason) {
  TRUST_OR_SKIP("/nonexistent/ca.pem");
  RawServer server(RawServer::Reply(kOk), TestCerts::Get().server);
  for (int i = 0; i < 2; ++i) {
    const std::string text = ErrorOf(server.Url("/", "https", "localhost"));
    EXPECT_EQ(text.rfind("openssl初始化异常:无法读取CA文件 /nonexistent/ca.pem", 0), 0u) << text;
  }
}

TEST(HttpTls, ServerOfUnknownCaIsRefused) {
  TRUST_OR_SKIP("");  // the system store only
  RawServer server(RawServer::Reply(kOk), TestCerts::Get().server);
  EXPECT_EQ(ErrorOf(server.Url("/", "https", "localhost")),
            "TLS握手失败,证书验证未通过:unable to get local issuer certificate");
  EXPECT_TRUE(server.Requests().empty());  // nothing was sent
}

TEST(HttpTls, SelfSignedCertificateIsRefused) {
  TRUST_OR_SKIP(TestCerts::Get().caFile);
  RawServer server(RawServer::Reply(kOk), TestCerts::Get().selfSigned);
  EXPECT_EQ(ErrorOf(server.Url("/", "https", "localhost")), "TLS握手失败,证书验证未通过:self-signed certificate");
}

TEST(HttpTls, CertificateForAnotherNameIsRefused) {
  TRUST_OR_SKIP(TestCerts::Get().caFile);
  RawServer server(RawServer::Reply(kOk), TestCerts::Get().otherName);
  EXPECT_EQ(ErrorOf(server.Url("/", "https", "localhost")), "TLS握手失败,证书验证未通过:hostname mismatch");
  EXPECT_EQ(ErrorOf(server.Url("/", "https", "127.0.0.1")), "TLS握手失败,证书验证未通过:IP address mismatch");
  // The common name never stands in for a missing alternative name.
  RawServer cnOnly(RawServer::Reply(kOk), TestCerts::Get().nameOnlyInCn);
  EXPECT_EQ(ErrorOf(cnOnly.Url("/", "https", "localhost")), "TLS握手失败,证书验证未通过:hostname mismatch");
}

TEST(HttpTls, ExpiredCertificateIsRefused) {
  TRUST_OR_SKIP(TestCerts::Get().caFile);
  RawServer server(RawServer::Reply(kOk), TestCerts::Get().expired);
  EXPECT_EQ(ErrorOf(server.Url("/", "https", "localhost")), "TLS握手失败,证书验证未通过:certificate has expired");
}

TEST(HttpTls, PlainServerOnAnHttpsUrlFailsTheHandshake) {
  TRUST_OR_SKIP(TestCerts::Get().caFile);
  RawServer server([](RawConn& c) {  // answers the ClientHello with plain HTTP
    c.Write("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n");
    c.WaitForClose();
  });
  const std::string text = ErrorOf(server.Url("/", "https"));
  EXPECT_EQ(text.rfind("TLS握手失败:", 0), 0u) << text;
  EXPECT_NE(text.find("wrong version number"), std::string::npos) << text;
}

TEST(HttpTls, PeerClosingInTheHandshakeOrStayingSilent) {
  TRUST_OR_SKIP(TestCerts::Get().caFile);
  RawServer closes([](RawConn&) {});
  EXPECT_EQ(ErrorOf(closes.Url("/", "https")), "TLS握手失败:连接被对方关闭");
  RawServer silent([](RawConn& c) { c.WaitForClose(); });
  EXPECT_EQ(ErrorOf(silent.Url("/", "https")), "网络超时,TLS握手1000ms无进展");
}

TEST(HttpTls, ChunkedAndCloseDelimitedBodiesOverTls) {
  TRUST_OR_SKIP(TestCerts::Get().caFile);
  RawServer chunked(RawServer::Reply("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n"),
                    TestCerts::Get().server);
  EXPECT_EQ(Get(chunked.Url("/", "https", "localhost")).StrBody(), "abc");
  RawServer unframed(RawServer::Reply("HTTP/1.1 200 OK\r\n\r\nuntil close"), TestCerts::Get().server);
  EXPECT_EQ(Get(unframed.Url("/", "https", "localhost")).StrBody(), "until close");
  // A bare close could have cut such a body anywhere: never a success.
  RawServer cut(
      [](nimo_test::RawConn& c) {
        c.ReadRequest();
        c.Write("HTTP/1.1 200 OK\r\n\r\n{\"code\":2");
        c.SkipCloseNotify();
      },
      TestCerts::Get().server);
  EXPECT_EQ(ErrorOf(cut.Url("/", "https", "localhost")), "网络异常,连接未经close_notify关闭,响应可能不完整");
}

TEST(HttpTls, LaterConnectionsResumeTheSessionOfTheirOwnHostAndPort) {
  TRUST_OR_SKIP(TestCerts::Get().caFile);
  RawServer server(RawServer::Reply(kOk), TestCerts::Get().server);
  for (int i = 0; i < 4; ++i) Get(server.Url("/", "https", "localhost"));
  EXPECT_EQ(server.ResumedHandshakes(), 3);
  Get(server.Url("/", "https", "127.0.0.1"));  // another key: a full handshake
  EXPECT_EQ(server.ResumedHandshakes(), 3);
  Get(server.Url("/", "https", "127.0.0.1"));
  EXPECT_EQ(server.ResumedHandshakes(), 4);
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
          if (Get(server.Url("/", "https", "localhost")).StrBody() == "{\"code\":200}") ++ok;
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

}  // namespace
