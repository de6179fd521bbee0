// Random games: each seed plays one game against the sandbox through the C
// functions, from several threads and from inside callbacks, while the
// sandbox's faults change under it, then checks what must hold whatever
// happened. A failing game prints its seed and steps; NIMO_GAME_SEED=N replays
// one (RandomGame.SeedFromEnvironment), NIMO_GAME_VERBOSE=1 prints the steps as
// they happen (for a game that crashes). A game may Exit and Init again and
// play on: what holds for one session holds for each.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <iterator>
#include <map>
#include <random>
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

constexpr auto kExitBound = 1500ms;  // about a second, and our callbacks are quick
constexpr auto kGameBound = 45s;

enum class Steam { Running, NotRunning, TicketNever, TicketRefused, NoOverlay, OwnedByGame };
const char* const kSteamNames[] = {"running", "not running", "ticket never comes", "ticket refused", "no overlay",
                                   "owned by the game"};
constexpr int kKnown = 4;  // the first kKnown are sold through Steam
const char* const kProducts[] = {"gem_60", "gem_300", "gem_980", "vip_month", "no_such_product", "GEM_60",
                                 "starter_pack", "lucky_box"};  // the last two have no "STEAM" channel
const char* const kEvents[][2] = {
    {"zko_user_import", R"({"isFirstEnter":1})"}, {"zko_user_import", R"({"isFirstEnter":"yes"})"},
    {"zko_user_create", R"({"nickname":"Ária","registerTime":1700000000000})"}, {"zko_user_create", "{}"},
    {"zko_level_achieved", nullptr}, {"level_up", R"({"stage":3,"os":"mine"})"}, {"bad name!", "{not json"},
    {nullptr, nullptr}, {"stage\xc3", "[1,2]"}, {"zko_user_info_update", R"({"nickname":""})"}};
// Codes with one fixed message; in the default mode all but the ticket's and Init's Steam
// refusal (from the SDK's start-up thread) come back inside the call.
const std::map<int, std::string> kFixed = {{-401, "Sdk Not Init."},         {-402, "Steam Init Failure!"},
                                           {-403, "Steam Ticket TimeOut!"}, {-404, "Steam Ticket Auth Failure!"},
                                           {-405, "Not Login."}};

// mt19937_64's numbers are fixed by the standard: a seed replays on every library.
struct Rng {
  std::mt19937_64 bits;
  int Below(std::size_t n) { return static_cast<int>(bits() % n); }
  bool OneIn(int n) { return Below(static_cast<std::size_t>(n)) == 0; }
};
std::uint64_t Hash(std::uint64_t h, const std::string& text) {  // FNV-1a
  for (char c : text) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
  return h;
}

struct Op {
  std::string label, what;  // label: who started it ("t1.7", "t1.7<" from its callback); what: the call
  int calls = 0, code = 0;
  std::string message, data;
  int session = 0;         // the game's round it was started in
  std::size_t exits = 0;   // Exit calls made before it started (init) or was answered (others)
  bool offPoll = false;    // poll mode: called back outside nimo_run_callbacks on its thread
  bool immediate = false;  // called back inside the call that started it
  bool byExit = false;     // called back on a thread inside nimo_exit
};

thread_local int tPolling = 0;                 // depth of nimo_run_callbacks on this thread
thread_local int tReentered = 0;               // depth of calls made from inside our callbacks
thread_local std::uintptr_t tCalling = 0;      // the operation whose call this thread is in
thread_local bool tExiting = false;            // this thread is in nimo_exit

class Game {
 public:
  Game(std::uint64_t seed, nimo_sandbox::Sandbox& server) : seed_(seed), server_(server) {
    Rng r{std::mt19937_64(seed)};
    poll_ = r.OneIn(2);
    steam_ = static_cast<Steam>(r.Below(std::size(kSteamNames)));
    players_ = 2 + r.Below(3);
    turns_ = 20 + r.Below(40);
    exitInCallbacks_ = r.OneIn(3);
    twoExits_ = r.OneIn(3);
    sessions_ = r.OneIn(2) ? 1 : 2 + r.Below(2);
    game_ = this;
  }

  void Play() {
    std::thread watchdog([this] { Watch(); });
    Log("seed " + std::to_string(seed_) + ": callbacks " + (poll_ ? "on poll" : "on SDK threads") + ", Steam " +
        kSteamNames[static_cast<int>(steam_)] + ", " + std::to_string(players_) + " threads of " +
        std::to_string(turns_) + " steps" + (exitInCallbacks_ ? ", Exit from callbacks" : "") + ", " +
        std::to_string(sessions_) + " sessions");
    EXPECT_EQ(nimo_set_callback_mode(poll_ ? NIMO_CALLBACKS_ON_POLL : NIMO_CALLBACKS_ON_SDK_THREADS), NIMO_SET_OK);
    if (steam_ == Steam::NotRunning) steam_standin::SetRunning(false);
    if (steam_ == Steam::TicketNever) steam_standin::SetTicketAnswer(k_EResultOK, -1);
    if (steam_ == Steam::TicketRefused) steam_standin::SetTicketAnswer(k_EResultAccessDenied, 0);
    if (steam_ == Steam::NoOverlay) steam_standin::SetOverlayEnabled(false);
    EXPECT_TRUE(steam_ != Steam::OwnedByGame || nimo_set_steam_owner(NIMO_STEAM_OWNED_BY_GAME) + SteamAPI_InitFlat() == 0);
    Init("t0.start");
    for (int s = 0; s < sessions_; ++s) {
      if (s > 0) NextSession(s);
      std::atomic<bool> stop{false};
      std::atomic<int> playing{players_ - 1};
      std::thread chaos([this, &stop] { Chaos(stop); });
      std::vector<std::thread> others;
      for (int t = 1; t < players_; ++t) others.emplace_back([this, t, s, &playing] { Player(t, s), --playing; });
      Player(0, s);
      while (playing.load() > 0) Frame(), std::this_thread::sleep_for(5ms);  // the main thread keeps its frames
      for (auto& t : others) t.join();
      stop = true;
      chaos.join();
    }
    // It ends with Exit, sometimes from a second thread at the same moment; a
    // callback answered by Exit may Init again, so Exit until none did.
    for (int round = 0;; ++round) {
      const int inits = inits_.load();
      std::thread second;
      std::atomic<bool> started{!twoExits_ || round > 0};
      if (!started.load()) second = std::thread([this, &started] { started = true, Exit("t1.end"); });
      while (!started.load()) std::this_thread::yield();
      Exit("end");
      ended_ = !poll_ && inits_.load() == inits;  // every open operation was answered before Exit returned
      for (int i = 0; i < 10 && (Poll("last") > 0 || i == 0);) ++i;  // results of the callbacks' own calls
      if (second.joinable()) second.join();
      if (inits_.load() == inits || round == 5) break;
    }
    ended_ = true;
    std::this_thread::sleep_for(100ms);
    const int arrived = server_.Arrived();
    std::this_thread::sleep_for(400ms);
    Frame();
    Check(arrived);
    finished_ = true;
    watchdog.join();
  }

  // One result per operation, whichever thread it comes on.
  static void OnResult(int code, const char* message, const char* data, void* user) {
    Game& g = *game_;
    std::unique_lock<std::recursive_mutex> lock(g.mutex_);
    Op& op = g.ops_[reinterpret_cast<std::uintptr_t>(user) - 1];
    const bool first = ++op.calls == 1;
    if (first) op.code = code, op.message = message, op.data = data, op.exits = g.exitWallMs_.size();
    op.immediate = op.immediate || (first && tCalling == reinterpret_cast<std::uintptr_t>(user));
    op.byExit = op.byExit || (first && tExiting);
    op.offPoll = op.offPoll || (g.poll_ && tPolling == 0);
    if (g.ended_.load()) g.Fail(op.label + " " + op.what + ": called back after the game ended");
    if (op.what == "init" && code == NIMO_OK && op.session == g.session_.load()) g.initOk_ = true;
    g.Log(op.label + " <- " + std::to_string(code) + " " + message + " " + std::string(data).substr(0, 90));
    const std::string label = op.label + "<";
    lock.unlock();  // the game's own calls never under our lock
    if (first) g.Reenter(label);
  }

  std::string Steps() { return std::lock_guard<std::recursive_mutex>(mutex_), steps_; }
  std::string failures_;  // guarded by mutex_ until the game ended

 private:
  void Player(int t, int session) {
    Rng r{std::mt19937_64(seed_ * 8 + static_cast<std::uint64_t>(t) + 1000003ULL * static_cast<std::uint64_t>(session))};
    const std::string prefix = session > 0 ? "s" + std::to_string(session) + "." : "";
    for (int step = 0; step < turns_; ++step) {
      if (t == 0) Frame();
      const std::string label = prefix + "t" + std::to_string(t) + "." + std::to_string(step);
      const int what = r.Below(20);
      if (what == 0) Init(label);
      else if (what <= 3) Login(label);
      else if (what <= 5) Query(label);
      else if (what <= 10) Buy(label, kProducts[r.Below(std::size(kProducts))]);
      else if (what <= 12) {
        const auto& e = kEvents[r.Below(std::size(kEvents))];
        Log(label + " post_event " + (e[0] ? e[0] : "(null)"));
        nimo_post_event(e[0], e[1], r.OneIn(2) ? NAN : step);
      } else if (what <= 14) Facts(label, r);
      else if (what == 15) Log(label + " logout"), nimo_logout();
      else if (what <= 17) Poll(label);
      else PayAvailable(label);
      std::this_thread::sleep_for(std::chrono::milliseconds(r.Below(60)));
    }
  }

  // A callback's own calls, decided by its label so that a seed replays them.
  void Reenter(const std::string& label) {
    Rng r{std::mt19937_64(Hash(seed_, label))};
    if (tReentered >= 2 || !r.OneIn(3) || reentries_.fetch_add(1) >= 40) return;
    ++tReentered;
    switch (r.Below(6)) {
      case 0: Init(label); break;
      case 1: Login(label); break;
      case 2: Query(label); break;
      case 3: Buy(label, kProducts[r.Below(std::size(kProducts))]); break;
      case 4: Poll(label); break;
      default: if (exitInCallbacks_ && r.OneIn(6)) Exit(label);
    }
    --tReentered;
  }

  // Exit, then Init again: nothing of the ended session may reach the server
  // until the next Init (unless a callback answered by Exit made one).
  void NextSession(int s) {
    const std::string label = "s" + std::to_string(s);
    const int inits = inits_.load();
    Exit(label + ".exit");
    for (int i = 0; i < 10 && (Poll(label + ".poll") > 0 || i == 0);) ++i;
    std::this_thread::sleep_for(100ms);
    const int arrived = server_.Arrived();
    std::this_thread::sleep_for(300ms);
    if (inits_.load() == inits && server_.Arrived() != arrived) Fail(label + ": requests reached the sandbox between sessions");
    session_ = s, exiting_ = false, initOk_ = false;
    Init(label + ".start");
  }

  template <class F>
  void Call(const std::string& label, const std::string& what, F call) {
    std::unique_lock<std::recursive_mutex> lock(mutex_);
    ops_.emplace_back();
    ops_.back().label = label, ops_.back().what = what, ops_.back().session = session_.load();
    ops_.back().exits = exitWallMs_.size();
    if (what == "init") ++inits_;
    const std::uintptr_t id = ops_.size(), outer = tCalling;
    Log(label + " " + what + " #" + std::to_string(id));
    lock.unlock();
    tCalling = id;
    call(reinterpret_cast<void*>(id));
    tCalling = outer;
  }
  void Init(const std::string& l) {
    Call(l, "init", [](void* u) { nimo_init(nimo_test::kSandboxAppId, nimo_test::kSandboxAppKey, &OnResult, u); });
  }
  void Login(const std::string& l) { Call(l, "login", [](void* u) { nimo_login(&OnResult, u); }); }
  void Query(const std::string& l) { Call(l, "query_products", [](void* u) { nimo_query_products(&OnResult, u); }); }
  void Buy(const std::string& l, const char* p) {
    Call(l, std::string("call_pay ") + p, [&](void* u) { nimo_call_pay(p, l.c_str(), &OnResult, u); });
  }
  void Facts(const std::string& label, Rng& r) {
    const std::string v = r.OneIn(3) ? "\xff\xfe" : "v" + std::to_string(r.Below(1000));
    Log(label + " user facts " + v);
    nimo_set_server_id(r.OneIn(2) ? v.c_str() : nullptr), nimo_set_game_user_id(v.c_str());
    nimo_set_nick_name(v.c_str()), nimo_set_level(r.Below(100) - 10);
  }
  void PayAvailable(const std::string& label) {
    const bool ready = initOk_.load() && !exiting_.load();
    const int available = nimo_is_pay_available();
    Log(label + " is_pay_available " + std::to_string(available));
    const bool overlay = steam_ != Steam::NotRunning && steam_ != Steam::NoOverlay;
    if (available == 1 ? !overlay : overlay && ready && !exiting_.load())
      Fail(label + ": pay available " + std::to_string(available));
  }
  int Poll(const std::string& label) {
    if (!label.empty()) Log(label + " poll");
    ++tPolling;
    const int delivered = nimo_run_callbacks();
    return --tPolling, delivered;
  }
  void Frame() {
    if (steam_ == Steam::OwnedByGame) SteamAPI_RunCallbacks();
    if (poll_) Poll("");
  }
  void Exit(const std::string& label) {
    {
      std::lock_guard<std::recursive_mutex> lock(mutex_);
      Log(label + " exit");
      exiting_ = true;
      exitWallMs_.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::system_clock::now().time_since_epoch()).count());
    }
    const auto began = Clock::now();
    const bool outer = tExiting;  // an Exit from the callbacks of this thread's own Exit
    tExiting = true;
    nimo_exit();
    tExiting = outer;
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - began).count();
    Log(label + " exit returned after " + std::to_string(took) + " ms");
    if (took > kExitBound.count()) Fail(label + ": Exit took " + std::to_string(took) + " ms");
  }

  // The sandbox misbehaves differently every few frames.
  void Chaos(const std::atomic<bool>& stop) {
    for (Rng r{std::mt19937_64(seed_ * 8 + 7)}; !stop.load();) {
      std::this_thread::sleep_for(std::chrono::milliseconds(30 + r.Below(200)));
      const int what = r.Below(10);
      const auto mode = static_cast<PlayerMode>(r.Below(3));
      const char* product = kProducts[r.Below(kKnown)];
      const auto e = static_cast<Endpoint>(r.Below(nimo_sandbox::kEndpointCount));
      auto f = nimo_test::MakeFault(static_cast<FaultMode>(r.Below(7)), 1 + r.Below(3), 4000 + r.Below(10),
                                    "Sandbox fault", r.OneIn(3) ? 50 + r.Below(400) : 0);
      // A paid report whose answer is spoiled is the next start's to recover, not this game's.
      if (e == Endpoint::PayResult && f.mode >= FaultMode::Truncated) f.mode = FaultMode::Http502;
      if (what == 0) {
        Log("sandbox: no faults"), server_.ClearFaults();
      } else if (what == 1) {
        Log(std::string("sandbox: the player ") + nimo_sandbox::PlayerModeName(mode) + "s " + product);
        server_.SetProductPlayer(product, mode);
      } else if (what == 2) {
        Log(std::string("sandbox: Steam first ") + (f.times == 1 ? "on" : "off")), server_.SetSteamFirst(f.times == 1);
      } else {
        Log(std::string("sandbox: ") + nimo_sandbox::EndpointName(e) + " " + nimo_sandbox::FaultModeName(f.mode) +
            " x" + std::to_string(f.times) + " delay " + std::to_string(f.delayMs));
        server_.SetFault(e, f);
      }
    }
  }

  // What no call may answer in this game, whatever the sandbox did.
  std::string Wrong(const Op& op) const {
    const auto fixed = kFixed.find(op.code);
    const bool inside = poll_ || op.immediate || op.code == NIMO_TICKET_TIMEOUT || op.code == NIMO_TICKET_FAILURE ||
                        (op.what == "init" && op.code == NIMO_STEAM_INIT_FAILURE);
    if (fixed != kFixed.end() && (op.message != fixed->second || !inside)) return "not the refusal inside the call";
    if (op.message == "Sdk already init." && !inside) return "not inside the call";
    if (op.code == NIMO_PROCESS_EXIT && op.message == "Process Exit!")
      return poll_ || op.immediate || op.byExit ? "" : "not inside the call nor on Exit's thread";
    const bool buy = op.what.rfind("call_pay ", 0) == 0;
    const bool known = buy && std::find(kProducts, kProducts + kKnown, op.what.substr(9)) != kProducts + kKnown;
    if (op.code == NIMO_PRODUCT_NOT_FOUND) return buy && !known && op.message == "Not Found Product." ? "" : "-400";
    if (buy && !known && op.code == NIMO_OK) return "sold a product Steam does not sell";
    for (int i = 0; op.what == "query_products" && op.code == NIMO_OK && i < kKnown; ++i)
      if (op.data.find('"' + std::string(kProducts[i]) + '"') == std::string::npos) return "half a catalogue";
    if (op.what == "init" && (op.code == NIMO_STEAM_INIT_FAILURE) != (steam_ == Steam::NotRunning)) return "Steam?";
    if (op.what != "login" || op.code == NIMO_NOT_INIT) return "";
    if (steam_ == Steam::NotRunning) return "logged in without Steam";
    if (steam_ == Steam::TicketNever && (op.code == NIMO_OK || op.code == NIMO_TICKET_FAILURE)) return "no ticket";
    if (steam_ == Steam::TicketRefused && (op.code == NIMO_OK || op.code == NIMO_TICKET_TIMEOUT)) return "refused";
    return "";
  }

  void Check(int arrivedAfterExit) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (server_.Arrived() != arrivedAfterExit) Fail("requests reached the sandbox after Exit returned");
    const auto asks = std::count_if(ops_.begin(), ops_.end(), [](const Op& o) {
      return o.what == "init" && o.code != NIMO_STEAM_INIT_FAILURE && o.message != "Sdk already init.";
    });  // an Init after one succeeded, or without Steam, asks nothing
    if (server_.RequestCount(Endpoint::Config) > asks) Fail("more configuration requests than Init calls");
    if (steam_ == Steam::OwnedByGame && (steam_standin::ShutdownCalls() != 0 || !steam_standin::IsInitialised()))
      Fail("the game's Steam was shut down");
    std::map<std::string, nimo_sandbox::Order> orders;  // by the label of the purchase
    for (const auto& order : server_.Orders()) {
      orders[order.extInfo] = order;
      if (std::find(kProducts, kProducts + kKnown, order.productId) == kProducts + kKnown)
        Fail("an order for " + order.productId);
    }
    const auto requests = server_.Requests();
    int heardPaid = 0;
    for (std::size_t i = 0; i < ops_.size(); ++i) {
      const Op& op = ops_[i];
      const std::string name = "#" + std::to_string(i + 1) + " " + op.label + " " + op.what + ": ";
      if (op.calls != 1) Fail(name + std::to_string(op.calls) + " callbacks");
      if (op.offPoll) Fail(name + "called back outside a poll of its thread");
      if (op.calls > 0 && !Wrong(op).empty()) Fail(name + Wrong(op) + ": " + std::to_string(op.code) + " " + op.message);
      const bool heard = op.code == NIMO_OK && op.data.find("\"status\":1") != std::string::npos;
      heardPaid += heard;
      const auto order = orders.find(op.label);
      const bool confirmed = order != orders.end() && order->second.payStatus == 1;
      if (heard && !confirmed) Fail(name + "paid, but not to the sandbox");
      if (heard || !confirmed || op.what.rfind("call_pay", 0) != 0) continue;
      // Told "pending": an Init after a later Exit recovered it from the journal.
      const bool pending = (op.code == -501 || op.code == -502) && op.data.find("\"status\":0") != std::string::npos;
      if (pending && std::any_of(ops_.begin(), ops_.end(), [&](const Op& o) { return o.what == "init" && o.exits > op.exits; }))
        continue;
      // Answered just as Exit began: Exit may have stopped the worker before it read the
      // answer; the journal keeps the authorisation for the next start.
      bool nearExit = false;
      for (const auto& r : requests)
        for (const std::int64_t exitMs : exitWallMs_)
          nearExit = nearExit || (r.endpoint == "pay_result" && r.timeMs >= exitMs - 500 &&
                                  r.body.find(order->second.steamOrderId) != std::string::npos);
      if (!nearExit || op.code != NIMO_PROCESS_EXIT)
        Fail(name + "paid, but the game heard " + std::to_string(op.code) + " " + op.message + " " + op.data);
    }
    Log(std::to_string(ops_.size()) + " operations, " + std::to_string(heardPaid) + " paid");
  }

  void Watch() {
    for (auto end = Clock::now() + kGameBound; !finished_.load(); std::this_thread::sleep_for(20ms)) {
      if (Clock::now() < end) continue;
      std::fprintf(stderr, "random game %llu did not end within %d s; its steps:\n%s",
                   static_cast<unsigned long long>(seed_), static_cast<int>(kGameBound.count()), Steps().c_str());
      std::abort();
    }
  }

  void Log(const std::string& line) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    steps_ += "  " + line + "\n";
    if (verbose_) std::fprintf(stderr, "%s\n", line.c_str());
  }
  void Fail(const std::string& what) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    failures_ += "  " + what + "\n";
  }

  static inline Game* game_ = nullptr;
  const std::uint64_t seed_;
  nimo_sandbox::Sandbox& server_;
  bool poll_ = false, exitInCallbacks_ = false, twoExits_ = false;
  Steam steam_ = Steam::Running;
  int players_ = 2, turns_ = 10, sessions_ = 1;
  std::atomic<int> session_{0}, inits_{0};
  const bool verbose_ = std::getenv("NIMO_GAME_VERBOSE") != nullptr;
  std::atomic<int> reentries_{0};
  std::atomic<bool> initOk_{false}, exiting_{false}, finished_{false};
  std::atomic<bool> ended_{false};  // Exit returned and the last polls found nothing more

  std::recursive_mutex mutex_;          // the callbacks' own calls may log again
  std::deque<Op> ops_;                  // guarded by mutex_; op #n is ops_[n - 1]
  std::string steps_;                   // guarded by mutex_; what happened, a line each
  std::vector<std::int64_t> exitWallMs_;  // guarded by mutex_; when each Exit began
};

class RandomGame : public nimo_test::SdkTest {
 protected:
  void PlaySeed(std::uint64_t seed) {
    Game game(seed, Server());
    game.Play();
    EXPECT_TRUE(game.failures_.empty()) << "random game " << seed << " broke:\n"
                                        << game.failures_ << "replay: NIMO_GAME_SEED=" << seed
                              << " random_game_test --gtest_filter=RandomGame.SeedFromEnvironment\nsteps:\n"
                              << game.Steps();
  }
};
class RandomGameConcurrency : public RandomGame, public ::testing::WithParamInterface<std::uint64_t> {};

}  // namespace

TEST_P(RandomGameConcurrency, Play) { PlaySeed(GetParam()); }

INSTANTIATE_TEST_SUITE_P(Fixed, RandomGameConcurrency, ::testing::Range<std::uint64_t>(1, 21));

TEST_F(RandomGame, SeedFromEnvironment) {
  const char* seed = std::getenv("NIMO_GAME_SEED");
  if (seed == nullptr) GTEST_SKIP() << "NIMO_GAME_SEED unset";
  PlaySeed(std::strtoull(seed, nullptr, 10));
}
