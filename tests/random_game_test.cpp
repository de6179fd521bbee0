// Random games: each seed plays one game against the sandbox through the C
// functions, from several threads and from inside callbacks, while the
// sandbox's faults change under it, and then checks what must hold whatever
// happened. A failing game prints its seed and steps; NIMO_GAME_SEED=N replays
// one (RandomGame.SeedFromEnvironment), NIMO_GAME_VERBOSE=1 prints the steps as
// they happen (for a game that crashes).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "nimosdk64_c.h"
#include "platform/steam/steam_control.h"
#include "support/SdkHarness.h"

using namespace std::chrono_literals;
using nimo_sandbox::Endpoint;
using nimo_sandbox::FaultMode;
using nimo_sandbox::PlayerMode;
using Clock = std::chrono::steady_clock;

namespace {

// Faults being mended elsewhere: the action that triggers each stays out until then.
constexpr bool kInitRetriedFromItsOwnFailure = false;  // Init's -402 is called back under its lock: deadlock
constexpr bool kPaymentReadAsExitBegins = false;       // a paid report read as Exit began reaches the game as -400

constexpr auto kExitBound = 1500ms;  // about a second, and our callbacks are quick
constexpr auto kGameBound = 45s;

enum class Steam { Running, NotRunning, TicketNever, TicketRefused, NoOverlay, OwnedByGame };
const char* const kSteamNames[] = {"running",    "not running", "ticket never comes", "ticket refused",
                                   "no overlay", "owned by the game"};
constexpr int kKnown = 4;
const char* const kProducts[] = {"gem_60", "gem_300", "gem_980", "vip_month",  // known: the first kKnown
                                 "no_such_product", "GEM_60",                  // unknown
                                 "starter_pack", "lucky_box"};                 // no STEAM channel
const char* const kEvents[][2] = {
    {"zko_user_import", R"({"isFirstEnter":1})"}, {"zko_user_import", R"({"isFirstEnter":"yes"})"},
    {"zko_user_create", R"({"nickname":"Ária","registerTime":1700000000000})"}, {"zko_user_create", "{}"},
    {"zko_level_achieved", nullptr}, {"level_up", R"({"stage":3,"os":"mine"})"}, {"bad name!", "{not json"},
    {nullptr, nullptr}, {"stage\xc3", "[1,2]"}, {"zko_user_info_update", R"({"nickname":""})"}};

// splitmix64: the same numbers from a seed with every compiler and library.
std::uint64_t Mix(std::uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}
struct Rng {
  std::uint64_t state;
  int Below(int n) { return static_cast<int>((state = Mix(state)) % static_cast<std::uint64_t>(n)); }
  bool OneIn(int n) { return Below(n) == 0; }
};
std::uint64_t Hash(std::uint64_t seed, const std::string& text) {
  for (char c : text) seed = Mix(seed ^ static_cast<unsigned char>(c));
  return seed;
}
std::int64_t WallMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

struct Op {
  std::string label, what;  // label: who started it ("t1.7", "t1.7<" from its callback); what: the call
  int calls = 0, code = 0;
  std::string message, data;
  bool offPoll = false;  // poll mode: called outside nimo_run_callbacks on its thread
};

thread_local int tPolling = 0;    // depth of nimo_run_callbacks on this thread
thread_local int tReentered = 0;  // depth of calls made from inside our callbacks

class Game;
Game* gGame = nullptr;

class Game {
 public:
  Game(std::uint64_t seed, nimo_sandbox::Sandbox& server) : seed_(seed), server_(server) {
    Rng r{seed};
    poll_ = r.OneIn(2);
    steam_ = static_cast<Steam>(r.Below(6));
    players_ = 2 + r.Below(3);
    steps_ = 20 + r.Below(40);
    exitInCallbacks_ = r.OneIn(3);
    twoExits_ = r.OneIn(3);
  }

  void Play() {
    gGame = this;
    std::thread watchdog([this] { Watch(); });
    Log("seed " + std::to_string(seed_) + ": callbacks " + (poll_ ? "on poll" : "on SDK threads") + ", Steam " +
        kSteamNames[static_cast<int>(steam_)] + ", " + std::to_string(players_) + " threads of " +
        std::to_string(steps_) + " steps");
    Setup();
    std::atomic<bool> stop{false};
    std::thread chaos([this, &stop] { Chaos(stop); });
    std::atomic<int> playing{players_ - 1};
    std::vector<std::thread> others;
    for (int t = 1; t < players_; ++t) others.emplace_back([this, t, &playing] { Player(t), --playing; });
    Player(0);
    while (playing.load() > 0) Frame(), std::this_thread::sleep_for(5ms);  // the main thread keeps its frames
    for (auto& t : others) t.join();
    stop = true;
    chaos.join();
    // The game ends with Exit, sometimes from a second thread at the same moment.
    std::thread second;
    std::atomic<bool> started{!twoExits_};
    if (twoExits_) second = std::thread([this, &started] { started = true, Exit("t1.end"); });
    while (!started.load()) std::this_thread::yield();
    Exit("end");
    ended_ = !poll_;  // open operations were answered before Exit returned
    // The last polls: results of calls made from the callbacks they deliver come in the next.
    for (int i = 0; i < 10 && (Poll("last") > 0 || i == 0);) ++i;
    ended_ = true;
    if (second.joinable()) second.join();
    std::this_thread::sleep_for(100ms);
    const int arrived = server_.Arrived();
    std::this_thread::sleep_for(400ms);
    Frame();
    Check(arrived);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      finished_ = true;
    }
    cv_.notify_all();
    watchdog.join();
  }

  // One result per operation, whichever thread it comes on.
  static void OnResult(int code, const char* message, const char* data, void* user) {
    Game& g = *gGame;
    std::string label;
    bool first = false, init = false;
    {
      std::lock_guard<std::mutex> lock(g.mutex_);
      Op& op = g.ops_[reinterpret_cast<std::uintptr_t>(user) - 1];
      first = ++op.calls == 1;
      if (first) op.code = code, op.message = message, op.data = data;
      op.offPoll = op.offPoll || (g.poll_ && tPolling == 0);
      if (g.ended_.load()) g.FailLocked(op.label + " " + op.what + ": called back after the game ended");
      label = op.label, init = op.what == "init";
      g.LogLocked(label + " <- " + std::to_string(code) + " " + message + " " + std::string(data).substr(0, 90));
    }
    if (first) g.Reenter(label + "<", init);
  }

  std::string Steps() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string out;
    for (const auto& line : steps_log_) out += "  " + line + "\n";
    return out;
  }
  const std::vector<std::string>& Failures() const { return failures_; }

 private:
  void Setup() {
    EXPECT_EQ(nimo_set_callback_mode(poll_ ? NIMO_CALLBACKS_ON_POLL : NIMO_CALLBACKS_ON_SDK_THREADS), NIMO_SET_OK);
    if (steam_ == Steam::NotRunning) steam_standin::SetRunning(false);
    if (steam_ == Steam::TicketNever) steam_standin::SetTicketAnswer(k_EResultOK, -1);
    if (steam_ == Steam::TicketRefused) steam_standin::SetTicketAnswer(k_EResultAccessDenied, 0);
    if (steam_ == Steam::NoOverlay) steam_standin::SetOverlayEnabled(false);
    if (steam_ == Steam::OwnedByGame) {
      EXPECT_EQ(nimo_set_steam_owner(NIMO_STEAM_OWNED_BY_GAME), NIMO_SET_OK);
      EXPECT_EQ(SteamAPI_InitFlat(), 0);
    }
    Init("t0.start");
  }

  void Player(int t) {
    Rng r{Mix(seed_ + 1 + static_cast<std::uint64_t>(t))};
    for (int step = 0; step < steps_; ++step) {
      if (t == 0) Frame();
      const std::string label = "t" + std::to_string(t) + "." + std::to_string(step);
      switch (r.Below(20)) {
        case 0: Init(label); break;
        case 1: case 2: case 3: Login(label); break;
        case 4: case 5: Query(label); break;
        case 6: case 7: case 8: case 9: case 10: Buy(label, kProducts[r.Below(std::size(kProducts))]); break;
        case 11: case 12: {
          const auto& e = kEvents[r.Below(std::size(kEvents))];
          Log(label + " post_event " + (e[0] ? e[0] : "(null)"));
          nimo_post_event(e[0], e[1], r.OneIn(2) ? NAN : step);
          break;
        }
        case 13: case 14: Facts(label, r); break;
        case 15: Log(label + " logout"), nimo_logout(); break;
        case 16: case 17: Poll(label); break;
        default: PayAvailable(label); break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(r.Below(60)));
    }
  }

  // A callback's own calls, decided by its label so a seed replays them.
  void Reenter(const std::string& label, bool fromInit) {
    Rng r{Hash(seed_, label)};
    if (tReentered >= 2 || !r.OneIn(3) || reentries_.fetch_add(1) >= 40) return;
    ++tReentered;
    switch (r.Below(6)) {
      case 0:
        if (kInitRetriedFromItsOwnFailure || poll_ || !fromInit) Init(label);
        break;
      case 1: Login(label); break;
      case 2: Query(label); break;
      case 3: Buy(label, kProducts[r.Below(std::size(kProducts))]); break;
      case 4: Poll(label); break;
      default:
        if (exitInCallbacks_ && r.OneIn(6)) Exit(label);
        break;
    }
    --tReentered;
  }

  void Init(const std::string& label) { nimo_init(nimo_test::kSandboxAppId, nimo_test::kSandboxAppKey, &OnResult, Open(label, "init")); }
  void Login(const std::string& label) { nimo_login(&OnResult, Open(label, "login")); }
  void Query(const std::string& label) { nimo_query_products(&OnResult, Open(label, "query_products")); }
  void Buy(const std::string& label, const char* product) {
    nimo_call_pay(product, label.c_str(), &OnResult, Open(label, std::string("call_pay ") + product));
  }
  void Facts(const std::string& label, Rng& r) {
    const std::string v = "v" + std::to_string(r.Below(1000));
    Log(label + " user facts " + v);
    switch (r.Below(4)) {
      case 0: nimo_set_server_id(v.c_str()); break;
      case 1: nimo_set_game_user_id(r.OneIn(3) ? nullptr : v.c_str()); break;
      case 2: nimo_set_nick_name(r.OneIn(3) ? "\xff\xfe" : v.c_str()); break;
      default: nimo_set_level(r.Below(100) - 10); break;
    }
  }
  void PayAvailable(const std::string& label) {
    const int available = nimo_is_pay_available();
    Log(label + " is_pay_available " + std::to_string(available));
    if (available != 0 && (steam_ == Steam::NotRunning || steam_ == Steam::NoOverlay))
      Fail(label + ": pay available without Steam's overlay");
  }
  int Poll(const std::string& label) {
    Log(label + " poll");
    ++tPolling;
    const int delivered = nimo_run_callbacks();
    --tPolling;
    return delivered;
  }
  void Frame() {
    if (steam_ == Steam::OwnedByGame) SteamAPI_RunCallbacks();
    if (poll_) {
      ++tPolling;
      nimo_run_callbacks();
      --tPolling;
    }
  }
  void Exit(const std::string& label) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (exitWallMs_ == 0) exitWallMs_ = WallMs();
      LogLocked(label + " exit");
    }
    const auto began = Clock::now();
    nimo_exit();
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - began);
    Log(label + " exit returned after " + std::to_string(took.count()) + " ms");
    if (took > kExitBound) Fail(label + ": Exit took " + std::to_string(took.count()) + " ms");
  }

  // The sandbox misbehaves differently every few frames.
  void Chaos(const std::atomic<bool>& stop) {
    Rng r{Mix(seed_ ^ 0xc4a05ULL)};
    while (!stop.load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(30 + r.Below(200)));
      const int what = r.Below(10);
      if (what == 0) {
        Log("sandbox: no faults");
        server_.ClearFaults();
      } else if (what == 1) {
        const auto mode = static_cast<PlayerMode>(r.Below(3));
        const char* product = kProducts[r.Below(kKnown)];
        Log(std::string("sandbox: the player ") + nimo_sandbox::PlayerModeName(mode) + "s " + product);
        server_.SetProductPlayer(product, mode);
      } else if (what == 2) {
        const bool first = r.OneIn(2);
        Log(std::string("sandbox: Steam first ") + (first ? "on" : "off"));
        server_.SetSteamFirst(first);
      } else {
        const auto e = static_cast<Endpoint>(r.Below(nimo_sandbox::kEndpointCount));
        auto mode = static_cast<FaultMode>(r.Below(7));
        // A paid report whose answer is spoiled is the next start's to recover, not this game's.
        if (e == Endpoint::PayResult && mode >= FaultMode::Truncated) mode = FaultMode::Http502;
        const nimo_sandbox::Fault f = nimo_test::MakeFault(mode, 1 + r.Below(3), 4000 + r.Below(10), "Sandbox fault",
                                                           r.OneIn(3) ? 50 + r.Below(400) : 0);
        Log(std::string("sandbox: ") + nimo_sandbox::EndpointName(e) + " " + nimo_sandbox::FaultModeName(mode) +
            " x" + std::to_string(f.times) + " delay " + std::to_string(f.delayMs));
        server_.SetFault(e, f);
      }
    }
  }

  void Check(int arrivedAfterExit) {
    if (server_.Arrived() != arrivedAfterExit)
      Fail(std::to_string(server_.Arrived() - arrivedAfterExit) + " requests reached the sandbox after Exit returned");
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t i = 0; i < ops_.size(); ++i) {
      const Op& op = ops_[i];
      const std::string name = "#" + std::to_string(i + 1) + " " + op.label + " " + op.what;
      if (op.calls != 1) FailLocked(name + ": " + std::to_string(op.calls) + " callbacks");
      if (op.offPoll) FailLocked(name + ": called back outside a poll of its thread");
      if (op.calls > 0 && !Wrong(op).empty())
        FailLocked(name + ": " + Wrong(op) + ": " + std::to_string(op.code) + " " + op.message);
    }
    for (const auto& order : server_.Orders())
      if (std::find(kProducts, kProducts + kKnown, order.productId) == kProducts + kKnown)
        FailLocked("an order for " + order.productId);
    if (steam_ == Steam::OwnedByGame && (steam_standin::ShutdownCalls() != 0 || !steam_standin::IsInitialised()))
      FailLocked("the game's Steam was shut down");
    int paid = 0;
    for (const Op& op : ops_) paid += op.code == NIMO_OK && op.data.find("\"status\":1") != std::string::npos;
    LogLocked(std::to_string(ops_.size()) + " operations, " + std::to_string(paid) + " paid");
    const auto requests = server_.Requests();
    for (const auto& order : server_.Orders()) {
      if (order.payStatus != 1) continue;
      const Op* op = nullptr;
      for (const Op& o : ops_) op = o.label == order.extInfo && o.what.rfind("call_pay", 0) == 0 ? &o : op;
      if (op == nullptr) {
        FailLocked("order " + order.orderId + " paid for no purchase of the game");
        continue;
      }
      if (op->code == NIMO_OK && op->data.find("\"status\":1") != std::string::npos) continue;
      bool nearExit = false;  // its report was answered as Exit began
      for (const auto& r : requests)
        nearExit = nearExit || (r.endpoint == "pay_result" && r.body.find(order.steamOrderId) != std::string::npos &&
                                r.timeMs >= exitWallMs_ - 500);
      if (!kPaymentReadAsExitBegins && nearExit && op->code == NIMO_PROCESS_EXIT) continue;
      FailLocked(op->label + ": paid (order " + order.orderId + ") but the game heard " + std::to_string(op->code) +
                 " " + op->message + " " + op->data);
    }
  }

  // What no call may answer in this game, whatever the sandbox did.
  std::string Wrong(const Op& op) const {
    static const std::map<int, std::string> kFixed = {{-401, "Sdk Not Init."},
                                                      {-402, "Steam Init Failure!"},
                                                      {-403, "Steam Ticket TimeOut!"},
                                                      {-404, "Steam Ticket Auth Failure!"},
                                                      {-405, "Not Login."}};
    const auto fixed = kFixed.find(op.code);
    if (fixed != kFixed.end() && op.message != fixed->second) return "another message for a fixed code";
    if (op.code == NIMO_PROCESS_EXIT && op.message == "Process Exit!") return "";
    const bool buy = op.what.rfind("call_pay ", 0) == 0;
    const bool known = buy && std::find(kProducts, kProducts + kKnown, op.what.substr(9)) != kProducts + kKnown;
    if (op.code == NIMO_PRODUCT_NOT_FOUND) return buy && !known && op.message == "Not Found Product." ? "" : "-400";
    if (buy && !known && op.code == NIMO_OK) return "sold a product Steam does not sell";
    for (int i = 0; op.what == "query_products" && op.code == NIMO_OK && i < kKnown; ++i)
      if (op.data.find('"' + std::string(kProducts[i]) + '"') == std::string::npos) return "half a catalogue";
    const bool noSteam = steam_ == Steam::NotRunning;
    if (op.what == "init" && (op.code == NIMO_STEAM_INIT_FAILURE) != noSteam) return "Steam is " + std::string(kSteamNames[static_cast<int>(steam_)]);
    if (op.what == "login" && noSteam && op.code != NIMO_NOT_INIT) return "logged in without Steam";
    if (op.what == "login" && steam_ == Steam::TicketNever && (op.code == NIMO_OK || op.code == NIMO_TICKET_FAILURE))
      return "Steam never answered the ticket";
    if (op.what == "login" && steam_ == Steam::TicketRefused && (op.code == NIMO_OK || op.code == NIMO_TICKET_TIMEOUT))
      return "Steam refused the ticket";
    return "";
  }

  void Watch() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (cv_.wait_for(lock, kGameBound, [this] { return finished_; })) return;
    lock.unlock();
    std::fprintf(stderr, "random game %llu did not end within %lld s; its steps:\n%s",
                 static_cast<unsigned long long>(seed_), static_cast<long long>(kGameBound.count()), Steps().c_str());
    std::abort();
  }

  void* Open(const std::string& label, std::string what) {
    std::lock_guard<std::mutex> lock(mutex_);
    ops_.emplace_back();
    ops_.back().label = label;
    ops_.back().what = std::move(what);
    LogLocked(label + " " + ops_.back().what + " #" + std::to_string(ops_.size()));
    return reinterpret_cast<void*>(static_cast<std::uintptr_t>(ops_.size()));
  }
  void Log(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    LogLocked(line);
  }
  void LogLocked(const std::string& line) {
    steps_log_.push_back(line);
    if (verbose_) std::fprintf(stderr, "%s\n", line.c_str());
  }
  void Fail(const std::string& what) {
    std::lock_guard<std::mutex> lock(mutex_);
    FailLocked(what);
  }
  void FailLocked(const std::string& what) { failures_.push_back(what); }

  const std::uint64_t seed_;
  nimo_sandbox::Sandbox& server_;
  bool poll_ = false;
  Steam steam_ = Steam::Running;
  int players_ = 2, steps_ = 10;
  bool exitInCallbacks_ = false;  // a callback may end the game early
  bool twoExits_ = false;
  const bool verbose_ = std::getenv("NIMO_GAME_VERBOSE") != nullptr;
  std::atomic<int> reentries_{0};
  std::atomic<bool> ended_{false};  // Exit returned and the last polls found nothing more

  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Op> ops_;                  // guarded by mutex_; op #n is ops_[n - 1]
  std::vector<std::string> steps_log_;  // guarded by mutex_
  std::vector<std::string> failures_;   // guarded by mutex_ until the game ended
  std::int64_t exitWallMs_ = 0;         // guarded by mutex_; when the first Exit began
  bool finished_ = false;               // guarded by mutex_
};

class RandomGame : public nimo_test::SdkTest {
 protected:
  void PlaySeed(std::uint64_t seed) {
    Game game(seed, Server());
    game.Play();
    if (game.Failures().empty()) return;
    std::string what;
    for (const auto& f : game.Failures()) what += "  " + f + "\n";
    ADD_FAILURE() << "random game " << seed << " broke:\n" << what << "replay: NIMO_GAME_SEED=" << seed
                  << " random_game_test --gtest_filter=RandomGame.SeedFromEnvironment\nsteps:\n" << game.Steps();
  }
};
class Seeds : public RandomGame, public ::testing::WithParamInterface<std::uint64_t> {};

}  // namespace

TEST_P(Seeds, Play) { PlaySeed(GetParam()); }

INSTANTIATE_TEST_SUITE_P(Fixed, Seeds, ::testing::Values(1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12));

TEST_F(RandomGame, SeedFromEnvironment) {
  const char* seed = std::getenv("NIMO_GAME_SEED");
  if (seed == nullptr) GTEST_SKIP() << "NIMO_GAME_SEED unset";
  PlaySeed(std::strtoull(seed, nullptr, 10));
}
