// The sandbox's fault modes as a client sees them, their counting, and that a
// server full of hanging requests still stops at once. Also the two small
// parsers behind them: fault flags and the ordered form reading.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "support/CallbackRecorder.h"
#include "support/SandboxRequests.h"

using nimo_sandbox::Endpoint;
using nimo_sandbox::Fault;
using nimo_sandbox::FaultMode;
using nimo_test::MakeFault;
using NimoSdk::CNimoApi;
using json = nlohmann::json;

namespace {

class SandboxFaults : public nimo_test::SandboxServerTest {
 protected:
  nimo_test::RawAnswer Config(int timeoutMs = 5000) {
    return sb.Post(nimo_sandbox::EndpointPath(Endpoint::Config), CNimoApi::ClientConfigBody(p).body,
                   "application/x-www-form-urlencoded", timeoutMs);
  }
  // Logs in and sends a create-order request; the raw answer.
  nimo_test::RawAnswer RawOrder() {
    auto login = nimo_test::LoginAtSandbox(sb);
    return sb.Post(nimo_sandbox::EndpointPath(Endpoint::CreateOrder),
                   CNimoApi::CreateOrderBody(p, nimo_test::OrderFor("gem_60"), login.userId).body);
  }
};

}  // namespace

TEST_F(SandboxFaults, TruncatedAndCloseSpoilTheAnswerOfAProcessedRequest) {
  sb->SetFault(Endpoint::CreateOrder, MakeFault(FaultMode::Truncated, 1));
  auto cut = RawOrder();
  EXPECT_EQ(cut.status, 200);
  EXPECT_FALSE(cut.body.empty());
  EXPECT_TRUE(json::parse(cut.body, nullptr, false).is_discarded()) << cut.body;
  EXPECT_EQ(sb->Orders().size(), 1u);
  EXPECT_EQ(std::string(R"({"code":200,"defaultAmountMicro")").rfind(cut.body.substr(0, 10), 0), 0u);

  sb->SetFault(Endpoint::CreateOrder, MakeFault(FaultMode::Close, 1));
  auto dropped = RawOrder();
  EXPECT_EQ(dropped.status, 0) << dropped.body;  // the client never got a whole answer
  EXPECT_EQ(sb->Orders().size(), 2u);

  EXPECT_EQ(RawOrder().status, 200);  // each was for one request only
  EXPECT_EQ(sb->Orders().size(), 3u);
}

TEST_F(SandboxFaults, HangNeverAnswersAndFreesItsWorkerWhenTheClientLeaves) {
  sb->SetFault(Endpoint::Config, MakeFault(FaultMode::Hang));
  nimo_test::RawAnswer a;
  std::thread client([&] { a = Config(3000); });
  EXPECT_TRUE(nimo_test::Eventually([&] { return sb->InFlight() == 1; }, std::chrono::seconds(10)));
  client.join();
  EXPECT_EQ(a.status, 0);
  EXPECT_FALSE(a.error.empty());
  ASSERT_TRUE(nimo_test::Eventually([&] { return sb->InFlight() == 0; }, std::chrono::seconds(5)));
  auto requests = sb->Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].fault, "hang");
  EXPECT_EQ(requests[0].answer, "(never answered)");
}

TEST_F(SandboxFaults, AllAppliesToEveryEndpointIncludingDataCollection) {
  const Fault f = MakeFault(FaultMode::Code, -1, 503);
  ASSERT_TRUE(sb->SetFault("all", f));
  EXPECT_EQ(json::parse(Config().body).value("code", 0), 503);
  EXPECT_EQ(json::parse(sb.Post("/data/h5/v1.do", "{}", "text/plain").body).value("code", 0), 503);
  EXPECT_FALSE(sb->SetFault("elsewhere", f));
  sb->ClearFaults();
  EXPECT_EQ(json::parse(Config().body).value("code", 0), 200);
}

TEST_F(SandboxFaults, StopReturnsPromptlyWithRequestsHanging) {
  sb->SetFault(Endpoint::Track, MakeFault(FaultMode::Hang));
  std::vector<std::thread> clients;
  std::vector<nimo_test::RawAnswer> answers(4);
  for (std::size_t i = 0; i < answers.size(); ++i) {
    clients.emplace_back([&, i] { answers[i] = sb.Post("/data/h5/v1.do", "{}", "text/plain", 30000); });
  }
  ASSERT_TRUE(nimo_test::Eventually([&] { return sb->InFlight() == 4; }, std::chrono::seconds(10)));
  auto took = sb.Stop();
  EXPECT_LT(took, std::chrono::milliseconds(1500));
  for (auto& t : clients) t.join();
  for (const auto& a : answers) EXPECT_EQ(a.status, 0);
}

TEST(SandboxFaultFlags, ParseEveryModeWithOptions) {
  std::string endpoint, error;
  Fault f;
  ASSERT_TRUE(nimo_sandbox::ParseFaultFlag("pay_result=http502,times=2", &endpoint, &f, &error));
  EXPECT_EQ(endpoint, "pay_result");
  EXPECT_EQ(f.mode, FaultMode::Http502);
  EXPECT_EQ(f.times, 2);
  ASSERT_TRUE(nimo_sandbox::ParseFaultFlag("login=delay:1500", &endpoint, &f, &error));
  EXPECT_EQ(f.mode, FaultMode::None);
  EXPECT_EQ(f.delayMs, 1500);
  EXPECT_EQ(f.times, -1);
  ASSERT_TRUE(nimo_sandbox::ParseFaultFlag("all=code:500:busy,delay=20,times=1", &endpoint, &f, &error));
  EXPECT_EQ(f.code, 500);
  EXPECT_EQ(f.msg, "busy");
  EXPECT_EQ(f.delayMs, 20);
  EXPECT_EQ(f.times, 1);
  ASSERT_TRUE(nimo_sandbox::ParseFaultFlag("track=status:413,match=big,times=1", &endpoint, &f, &error)) << error;
  EXPECT_EQ(nimo_sandbox::FaultToJson(f).dump(), R"({"code":413,"delayMs":0,"match":"big","mode":"status","msg":"Sandbox fault","times":1})");
  ASSERT_TRUE(nimo_sandbox::ParseFaultFlag("config=code:1001:Out of stock, sorry", &endpoint, &f, &error)) << error;
  EXPECT_EQ(f.msg, "Out of stock, sorry");
  for (const char* mode : {"hang", "truncated", "close", "lost"}) {
    EXPECT_TRUE(nimo_sandbox::ParseFaultFlag(std::string("track=") + mode, &endpoint, &f, &error)) << mode;
  }
  for (const char* bad : {"login", "=hang", "login=explode", "login=delay:soon", "login=code:x", "login=hang:3"}) {
    EXPECT_FALSE(nimo_sandbox::ParseFaultFlag(bad, &endpoint, &f, &error)) << bad;
    EXPECT_FALSE(error.empty());
  }
}

TEST(SandboxForms, AValueHoldingTheNextKeyGivesEveryReading) {
  auto readings = nimo_sandbox::SplitOrdered("a=x&b=y&b=z&osign=s", {"a", "b", "osign"});
  ASSERT_EQ(readings.size(), 2u);
  EXPECT_EQ(readings[0].at("a"), "x");
  EXPECT_EQ(readings[0].at("b"), "y&b=z");
  EXPECT_EQ(readings[1].at("a"), "x&b=y");
  EXPECT_EQ(readings[1].at("b"), "z");
  EXPECT_EQ(readings[1].at("osign"), "s");

  auto empty = nimo_sandbox::SplitOrdered("a=&b=&osign=", {"a", "b", "osign"});
  ASSERT_EQ(empty.size(), 1u);
  EXPECT_EQ(empty[0].at("b"), "");
  EXPECT_TRUE(nimo_sandbox::SplitOrdered("b=1&a=2&osign=", {"a", "b", "osign"}).empty());
  EXPECT_EQ(nimo_sandbox::FirstMissingKey("a=1&osign=2", {"a", "b", "osign"}), "b");
}
