// Purchases the game finishes: a real C game (tests/engines/purchase_game.c)
// killed at each step between the server's confirmation and its finish, and two
// processes of one game at once, against the sandbox.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <sstream>

#include "support/SdkHarness.h"

using namespace std::chrono_literals;
using nimo_sandbox::Endpoint;
using nimo_sandbox::FaultMode;
using nimo_test::Eventually;

extern char** environ;

namespace {

// One run of the game, its standard input and output piped to the test.
class Game {
 public:
  Game(const std::vector<std::string>& args, const std::vector<std::string>& env) {
    int in[2], out[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0) return;
    std::vector<std::string> argText = {NIMO_PURCHASE_GAME};
    argText.insert(argText.end(), args.begin(), args.end());
    std::vector<std::string> envText(env);
    for (char** e = environ; *e != nullptr; ++e) envText.emplace_back(*e);  // the first of a name wins
    std::vector<char*> argv, envp;
    for (auto& a : argText) argv.push_back(a.data());
    for (auto& e : envText) envp.push_back(e.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(in[0], 0);
      ::dup2(out[1], 1);
      ::close(in[1]);
      ::close(out[0]);
      ::execve(argv[0], argv.data(), envp.data());
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    in_ = in[1];
    out_ = out[0];
  }
  ~Game() {
    if (pid_ > 0) Kill();
    if (in_ >= 0) ::close(in_);
    if (out_ >= 0) ::close(out_);
  }

  // Reads lines until one begins with prefix; "" when none comes in time.
  std::string WaitFor(const std::string& prefix, std::chrono::milliseconds limit = 40s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (std::size_t seen = 0;; ++seen) {
      while (seen >= lines_.size()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        pollfd p{out_, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return "";
        char buf[4096];
        const ssize_t n = ::read(out_, buf, sizeof buf);
        if (n <= 0) return "";
        partial_.append(buf, static_cast<std::size_t>(n));
        for (std::size_t nl; (nl = partial_.find('\n')) != std::string::npos; partial_.erase(0, nl + 1)) {
          lines_.push_back(partial_.substr(0, nl));
        }
      }
      if (lines_[seen].rfind(prefix, 0) == 0 && taken_.insert(seen).second) return lines_[seen];
    }
  }
  // The second word of every line that begins with word (the order ids of "got", say).
  std::multiset<std::string> Orders(const std::string& word) const {
    std::multiset<std::string> out;
    for (const auto& l : lines_) {
      std::istringstream words(l);
      std::string first, second;
      if (words >> first >> second && first == word) out.insert(second);
    }
    return out;
  }
  bool Broke() const {
    for (const auto& l : lines_) {
      if (l.rfind("bad", 0) == 0) return true;
    }
    return false;
  }
  void Say(const std::string& line) { EXPECT_EQ(::write(in_, line.data(), line.size()), ssize_t(line.size())); }
  int Kill() {
    ::kill(pid_, SIGKILL);
    return Wait();
  }
  int Wait() {
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
  }

 private:
  pid_t pid_ = -1;
  int in_ = -1, out_ = -1;
  std::string partial_;
  std::vector<std::string> lines_;
  std::set<std::size_t> taken_;
};

class PurchaseFinish : public nimo_test::SdkTest {
 protected:
  std::vector<std::string> Env() {
    return {"NIMOSDK_API_BASE_URL=" + Server().BaseUrl(), "NIMOSDK_TRACK_URL=" + Server().TrackUrl(),
            "NIMOSDK_CA_FILE=" + Server().CaFile(), "NIMO_STEAM_BRIDGE=" + Server().SteamBridge(),
            "XDG_DATA_HOME=" + home_->DataHome()};
  }
  // A start that finishes all it receives; returns what it received.
  std::multiset<std::string> StartAndFinish(const char* mode) {
    Game g({mode, "nobuy", "finish"}, Env());
    EXPECT_NE(g.WaitFor("done"), "");
    EXPECT_EQ(g.Wait(), 0);
    EXPECT_FALSE(g.Broke());
    EXPECT_EQ(g.Orders("got"), g.Orders("finished"));
    return g.Orders("got");
  }
};

// Killed anywhere from the server's confirmation to the finish, the purchase
// comes at the next start, once, and never again once finished.
TEST_F(PurchaseFinish, KilledAtEachStepItComesAtTheNextStartUntilFinished) {
  int step = 0;
  for (const char* at : {"confirmed", "callback", "listener", "unfinished"}) {
    SCOPED_TRACE(at);
    const bool confirmedOnly = std::string(at) == "confirmed";
    // The server pays, its answers never arrive: killed once it has paid.
    if (confirmedOnly) Fail(Endpoint::PayResult, FaultMode::Lost);
    Game buyer({++step % 2 ? "threads" : "poll", "buy", confirmedOnly ? "keep" : at}, Env());
    std::string order;
    if (confirmedOnly) {
      ASSERT_TRUE(Eventually([&] { return Server().Orders().size() == std::size_t(step); }, 40s));
      order = Server().Orders().back().orderId;
      ASSERT_TRUE(Eventually([&] { return Server().FindOrder(order)->payStatus == 1; }, 20s));
    } else {
      ASSERT_NE(buyer.WaitFor("at " + std::string(at)), "");
      const std::string paid = buyer.WaitFor("paid ", 1s);
      ASSERT_NE(paid, "");
      order = paid.substr(5);
      EXPECT_EQ(buyer.Orders("got").size(), std::string(at) == "callback" ? 0u : 1u);
    }
    EXPECT_EQ(buyer.Kill(), 128 + SIGKILL);
    Server().ClearFaults();
    Game next({"poll", "nobuy", "finish"}, Env());
    const std::string got = next.WaitFor("got ");
    EXPECT_NE(got.find("\"orderId\":\"" + order + "\""), std::string::npos) << got;
    EXPECT_NE(got.find("\"extInfo\":\"{\\\"chest\\\":\\\"gold\\\"}\""), std::string::npos) << got;
    EXPECT_NE(got.find("\"status\":1,\"userId\":\""), std::string::npos) << got;
    ASSERT_NE(next.WaitFor("done"), "");
    EXPECT_EQ(next.Wait(), 0);
    EXPECT_EQ(next.Orders("got"), std::multiset<std::string>{order});
    EXPECT_EQ(next.Orders("finished"), std::multiset<std::string>{order});
    EXPECT_FALSE(next.Broke());
  }
  EXPECT_TRUE(StartAndFinish("threads").empty());
}

// Two processes of one game hold disjoint purchases; one killed lets its own
// go to the next start, the other keeps its own until it exits.
TEST_F(PurchaseFinish, TwoProcessesNeverGetTheSamePurchaseAtOnce) {
  std::set<std::string> bought;
  for (std::size_t i = 1; i <= 3; ++i) {
    Game buyer({"threads", "buy", "keep"}, Env());
    ASSERT_NE(buyer.WaitFor("ready"), "");
    EXPECT_EQ(buyer.Orders("got").size(), i);  // its own, and those left before
    ASSERT_EQ(buyer.Orders("paid").size(), 1u);
    bought.insert(*buyer.Orders("paid").begin());
    buyer.Say("\n");
    EXPECT_EQ(buyer.Wait(), 0);
  }
  ASSERT_EQ(bought.size(), 3u);
  Game a({"poll", "nobuy", "keep"}, Env());
  Game b({"threads", "nobuy", "keep"}, Env());
  ASSERT_NE(a.WaitFor("ready"), "");
  ASSERT_NE(b.WaitFor("ready"), "");
  const std::multiset<std::string> ofA = a.Orders("got"), ofB = b.Orders("got");
  std::multiset<std::string> both(ofA);
  both.insert(ofB.begin(), ofB.end());
  EXPECT_EQ(both, std::multiset<std::string>(bought.begin(), bought.end()));  // each once, by one of them
  EXPECT_EQ(a.Kill(), 128 + SIGKILL);
  EXPECT_EQ(StartAndFinish("poll"), ofA);
  b.Say("\n");
  ASSERT_NE(b.WaitFor("done"), "");
  EXPECT_EQ(b.Wait(), 0);
  EXPECT_EQ(StartAndFinish("threads"), ofB);
  EXPECT_TRUE(StartAndFinish("poll").empty());
}

// A claim file that cannot be locked (a planted link here) must not keep a
// paid purchase from the game: it is told unclaimed.
TEST_F(PurchaseFinish, WithoutClaimsThePurchaseStillReachesTheGame) {
  EXPECT_TRUE(StartAndFinish("poll").empty());  // makes the game's folder
  std::string folder;
  for (const auto& d : std::filesystem::directory_iterator(home_->DataHome() + "/NimoSteamExeSdk")) {
    if (std::filesystem::exists(d.path() / "AppConf")) folder = d.path().string();
  }
  ASSERT_NE(folder, "");
  std::filesystem::create_symlink("/nonexistent/claims", folder + "/PayJournal.claims");
  Game buyer({"poll", "buy", "finish"}, Env());
  ASSERT_NE(buyer.WaitFor("done"), "");
  EXPECT_EQ(buyer.Wait(), 0);
  EXPECT_EQ(buyer.Orders("paid").size(), 1u);
  EXPECT_EQ(buyer.Orders("got"), buyer.Orders("paid"));
  EXPECT_EQ(buyer.Orders("finished"), buyer.Orders("paid"));
  EXPECT_TRUE(StartAndFinish("threads").empty());
}

}  // namespace
