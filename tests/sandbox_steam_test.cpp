// Steam's side of the sandbox: after create_order it tells the player's Steam
// client (the stand-in inside the game) whether the purchase was authorised, as
// the player setting says.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "platform/steam/steam_api.h"
#include "platform/steam/steam_control.h"
#include "support/CallbackRecorder.h"
#include "support/SandboxRequests.h"

using nimo_sandbox::PlayerMode;
using nimo_test::Eventually;

namespace {

// A bare client of the bridge's line protocol.
class LineClient {
 public:
  explicit LineClient(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~LineClient() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool Send(const std::string& s) { return fd_ >= 0 && ::send(fd_, s.data(), s.size(), MSG_NOSIGNAL) == ssize_t(s.size()); }
  // The next line, "" on time-out, "EOF" when the server closed.
  std::string ReadLine(int timeoutMs = 5000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      auto eol = buf_.find('\n');
      if (eol != std::string::npos) {
        std::string line = buf_.substr(0, eol);
        buf_.erase(0, eol + 1);
        return line;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return "";
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char tmp[512];
      ssize_t n = ::recv(fd_, tmp, sizeof tmp, 0);
      if (n <= 0) return "EOF";
      buf_.append(tmp, static_cast<std::size_t>(n));
    }
  }

 private:
  int fd_ = -1;
  std::string buf_;
};

bool Connected(nimo_test::TestSandbox& sb, std::uint64_t steamId) {
  auto ids = sb->SteamClients();
  return std::find(ids.begin(), ids.end(), steamId) != ids.end();
}

class SandboxSteam : public nimo_test::SandboxServerTest {
 protected:
  void SetUp() override {
    SandboxServerTest::SetUp();
    if (!HasFatalFailure()) sb->SetSteamDelay(20);
  }
};

struct Listener {
  Listener() : callback(this, &Listener::On) {}
  void On(MicroTxnAuthorizationResponse_t* r) {
    appId = r->m_unAppID;
    orderId = r->m_ulOrderID;
    authorized = r->m_bAuthorized;
    ++calls;
  }
  CCallback<Listener, MicroTxnAuthorizationResponse_t> callback;
  std::uint32_t appId = 0;
  std::uint64_t orderId = 0;
  int authorized = -1;
  int calls = 0;
};

}  // namespace

TEST_F(SandboxSteam, EachVerdictReachesOnlyThatPlayersClientAsThePlayerSettingSays) {
  LineClient mine(sb->SteamPort()), theirs(sb->SteamPort());
  ASSERT_TRUE(mine.Send(std::string("HELLO 480 ") + nimo_test::kTestSteamId + "\n"));
  ASSERT_TRUE(theirs.Send("HELLO 480 76561197960287931\n"));
  ASSERT_TRUE(Eventually([&] { return sb->SteamClients().size() == 2; }));
  sb->SetPlayer(PlayerMode::Decline);
  sb->SetProductPlayer("gem_300", PlayerMode::Never);
  sb->SetProductPlayer("vip_month", PlayerMode::Approve);

  auto never = Order("gem_300");
  auto declined = Order("gem_60");
  auto approved = Order("vip_month");
  EXPECT_EQ(mine.ReadLine(), "MICROTXN 480 " + declined.steamOrderId + " 0");
  EXPECT_EQ(mine.ReadLine(), "MICROTXN 480 " + approved.steamOrderId + " 1");
  EXPECT_EQ(theirs.ReadLine(200), "");
  EXPECT_EQ(never.player, "never");
  EXPECT_EQ(sb->SteamDelivered(), 2);
  EXPECT_EQ(sb->SteamWaiting(), 0);
}

TEST_F(SandboxSteam, AVerdictWaitsForALateClientAndGarbageDropsOnlyItsSender) {
  auto order = Order("gem_60");
  ASSERT_TRUE(Eventually([&] { return sb->SteamWaiting() == 1; }));
  LineClient bad(sb->SteamPort());
  ASSERT_TRUE(bad.Send(std::string(10000, 'x')));
  EXPECT_EQ(bad.ReadLine(), "EOF");
  LineClient late(sb->SteamPort());
  ASSERT_TRUE(late.Send("WHAT\nHELLO x y\n"));
  ASSERT_TRUE(late.Send(std::string("HELLO 480 ") + nimo_test::kTestSteamId + "\n"));
  EXPECT_EQ(late.ReadLine(), "MICROTXN 480 " + order.steamOrderId + " 1");
}

TEST_F(SandboxSteam, TheStandInDeliversTheOpenedTransactionOnAPump) {
  steam_standin::Reset();
  steam_standin::SetBridge(sb->SteamBridge());
  ASSERT_EQ(SteamAPI_InitFlat(), 0);
  ASSERT_TRUE(Eventually([&] { return Connected(sb, steam_standin::kDefaultSteamId); }));
  Listener listener;

  auto order = Order("gem_60", std::to_string(steam_standin::kDefaultSteamId));
  ASSERT_TRUE(Eventually([&] {
    SteamAPI_RunCallbacks();
    return listener.calls > 0;
  }));
  EXPECT_EQ(listener.calls, 1);
  EXPECT_EQ(listener.appId, 480u);
  EXPECT_EQ(std::to_string(listener.orderId), order.steamOrderId);
  EXPECT_EQ(listener.authorized, 1);
  SteamAPI_Shutdown();
}
