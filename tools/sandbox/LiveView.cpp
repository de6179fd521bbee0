#include "tools/sandbox/LiveView.h"

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "tools/sandbox/Sandbox.h"
#include "tools/sandbox/ServerSockets.h"

namespace nimo_sandbox {
namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxBody = 64 * 1024;
constexpr std::size_t kBatch = 500;      // requests or events per answer
constexpr std::size_t kMaxOrders = 500;  // the latest ones
constexpr std::size_t kMaxText = 400;    // parameters, notes and ext info shown

std::string Clip(const std::string& s, std::size_t n = kMaxText) { return s.size() <= n ? s : s.substr(0, n) + "..."; }

std::string Str(const json& j, const char* key) {
  auto it = j.find(key);
  if (it == j.end()) return {};
  return it->is_string() ? it->get<std::string>() : Clip(Dump(*it), 64);
}

// A token is shown only far enough to tell two apart.
std::string ShortToken(const std::string& t) { return t.size() <= 8 ? t : t.substr(0, 6) + "..." + t.substr(t.size() - 2); }

// Accepting waits while every slot is taken, so a flood of connections stays in
// the kernel's small backlog instead of piling up here.
class BoundedPool : public httplib::TaskQueue {
 public:
  BoundedPool(std::size_t workers, std::size_t maxQueued) : maxQueued_(maxQueued) {
    for (std::size_t i = 0; i < workers; ++i) threads_.emplace_back([this] { Work(); });
  }
  ~BoundedPool() override { shutdown(); }

  void enqueue(std::function<void()> fn) override {
    std::unique_lock<std::mutex> lock(mutex_);
    roomCv_.wait(lock, [this] { return jobs_.size() < maxQueued_ || shutdown_; });
    if (shutdown_) {
      lock.unlock();
      fn();  // closes its socket; the server is stopping, so it ends at once
      return;
    }
    jobs_.push_back(std::move(fn));
    workCv_.notify_one();
  }

  void shutdown() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      shutdown_ = true;
    }
    workCv_.notify_all();
    roomCv_.notify_all();
    for (auto& t : threads_) {
      if (t.joinable()) t.join();
    }
  }

 private:
  void Work() {
    for (;;) {
      std::function<void()> fn;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        workCv_.wait(lock, [this] { return !jobs_.empty() || shutdown_; });
        if (jobs_.empty()) return;  // shut down, nothing left
        fn = std::move(jobs_.front());
        jobs_.pop_front();
      }
      roomCv_.notify_one();
      fn();
    }
  }

  const std::size_t maxQueued_;
  std::vector<std::thread> threads_;  // joined by shutdown
  std::mutex mutex_;
  std::condition_variable workCv_, roomCv_;
  std::deque<std::function<void()>> jobs_;  // guarded by mutex_
  bool shutdown_ = false;                   // guarded by mutex_
};

// The common checks a signed request passes in this order; the one that
// refused it failed, those before it passed, those after were not reached.
json Checks(const RequestRecord& r) {
  if (r.endpoint == "track") return nullptr;
  if (r.check == "not checked") return r.check;
  json out = json::array();
  bool failedEarlier = false;
  for (const char* check : {"content type", "parameter order", "appId", "signature"}) {
    std::string result = failedEarlier ? "not reached" : r.check == check ? "failed" : "passed";
    failedEarlier = failedEarlier || result == "failed";
    out.push_back({check, result});
  }
  return out;
}

json RequestRow(const RequestRecord& r) {
  json answer = json::parse(r.answer, nullptr, false);
  json row = {{"time", r.timeMs},
              {"endpoint", r.endpoint},
              {"http", r.httpStatus},
              {"code", answer.is_object() && answer.contains("code") ? answer["code"] : json(nullptr)},
              {"fault", r.fault},
              {"checks", Checks(r)},
              {"why", Clip(r.note)}};
  // Answers the client never read whole say so in words: "(never answered)".
  if (!r.answer.empty() && r.answer[0] == '(') row["outcome"] = Clip(r.answer.substr(0, r.answer.find(')') + 1), 80);
  else if (r.httpStatus == 200 && !answer.is_object()) row["outcome"] = "(answer cut short)";
  return row;
}

json EventRow(const StoredEvent& e) {
  const json& j = e.json;
  if (!j.is_object()) return {{"name", ""}};
  json row = {{"device", Str(j, "deviceId")},   {"name", Str(j, "event")},        {"order", Str(j, "eventOrder")},
              {"userId", Str(j, "userId")},     {"gameUserId", Str(j, "gameUserId")}, {"serverId", Str(j, "serverId")},
              {"params", j.contains("context") ? Clip(Dump(j["context"])) : std::string()}};
  if (j.contains("value")) row["value"] = j["value"];
  return row;
}

}  // namespace

class LiveView::Impl {
 public:
  explicit Impl(Sandbox& s) : sandbox(s) {}

  json OrderRow(const Order& o) const {
    bool answered = o.player != "never" && (o.reports > 0 || sandbox.SteamAnswered(o.steamOrderId));
    std::string steam = o.player == "never" ? "never" : !answered ? "waiting" : o.authorized ? "approved" : "declined";
    std::string state = o.payStatus == 1   ? "confirmed"
                        : o.payStatus == 0 ? "declined"
                        : o.reports > 0    ? "reported"
                        : o.player == "never" ? "never answered"
                        : answered         ? "Steam answered"
                                           : "created";
    return {{"orderId", o.orderId},       {"productId", o.productId}, {"productName", o.productName},
            {"amountMicro", o.defaultAmountMicro}, {"currency", o.defaultCurrency}, {"extInfo", Clip(o.extInfo)},
            {"userId", o.userId},         {"time", o.createdMs},     {"steam", steam},
            {"reports", o.reports},       {"state", state}};
  }

  Sandbox& sandbox;
  std::unique_ptr<httplib::Server> server;
  std::thread listener;  // owned: joined by Stop
  int port = 0;
};

LiveView::LiveView(Sandbox& sandbox) : impl_(std::make_unique<Impl>(sandbox)) {}
LiveView::~LiveView() { Stop(); }

int LiveView::Port() const { return impl_->port; }
std::string LiveView::Url() const { return "http://127.0.0.1:" + std::to_string(impl_->port) + "/"; }

bool LiveView::Start(int port, std::string* error) {
  if (impl_->server) {
    *error = "the view was already started";
    return false;
  }
  auto server = std::make_unique<httplib::Server>();
  Sandbox& sandbox = impl_->sandbox;
  server->set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    // Another site's page in the same browser may send here too: only our own
    // host name is served (against DNS rebinding), and a switch must be JSON,
    // which a foreign page cannot send without a preflight we never allow.
    std::string host = req.get_header_value("Host");
    std::string port = ":" + std::to_string(impl_->port);
    bool ours = host == "127.0.0.1" + port || host == "localhost" + port;
    bool isJson = req.get_header_value("Content-Type").rfind("application/json", 0) == 0;
    if (ours && (req.method == "GET" || isJson)) return httplib::Server::HandlerResponse::Unhandled;
    res.status = 403;
    res.set_content("forbidden", "text/plain");
    return httplib::Server::HandlerResponse::Handled;
  });
  server->Get("/", [](const httplib::Request&, httplib::Response& res) {
    res.set_header("Cache-Control", "no-store");
    res.set_content(LiveViewPage(), "text/html; charset=utf-8");
  });
  server->Get("/state", [this](const httplib::Request& req, httplib::Response& res) {
    auto number = [&](const char* key) {
      return req.has_param(key) ? std::strtoull(req.get_param_value(key).c_str(), nullptr, 10) : 0ULL;
    };
    res.set_header("Cache-Control", "no-store");
    res.set_content(Dump(Snapshot(number("requests"), number("events"))), "application/json");
  });
  server->Post("/control", [&sandbox](const httplib::Request& req, httplib::Response& res) {
    json command = json::parse(req.body, nullptr, false);
    json answer = command.is_object() ? sandbox.Control(command)
                                      : json{{"code", 400}, {"msg", "The control body must be a JSON object"}};
    res.set_content(Dump(answer), "application/json");
  });
  server->set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
    res.status = 500;
    res.set_content("{\"code\":500,\"msg\":\"view error\"}", "application/json");
  });
  server->set_payload_max_length(kMaxBody);
  server->set_read_timeout(2, 0);
  server->set_write_timeout(2, 0);
  server->set_keep_alive_timeout(2);
  server->new_task_queue = [] { return new BoundedPool(4, 8); };
  // Not SO_REUSEPORT (httplib's default): a taken port must be an error, not shared.
  server->set_socket_options([](socket_t sock) { ClaimPortAlone(sock); });
  int bound = port == 0 ? server->bind_to_any_port("127.0.0.1") : (server->bind_to_port("127.0.0.1", port) ? port : -1);
  if (bound <= 0) {
    *error = "cannot listen on 127.0.0.1:" + std::to_string(port) + " for the view";
    return false;
  }
  impl_->port = bound;
  impl_->server = std::move(server);
  impl_->listener = std::thread([this] { impl_->server->listen_after_bind(); });
  // stop() before the accept loop runs would be lost.
  auto deadline = Clock::now() + std::chrono::seconds(5);
  while (!impl_->server->is_running() && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (!impl_->server->is_running()) {
    Stop();
    *error = "the view server did not start";
    return false;
  }
  return true;
}

void LiveView::Stop() {
  if (!impl_->server) return;
  impl_->server->stop();
  if (impl_->listener.joinable()) impl_->listener.join();
  impl_->server.reset();
}

json LiveView::Snapshot(std::uint64_t requestsFrom, std::uint64_t eventsFrom) const {
  const Sandbox& sb = impl_->sandbox;
  constexpr std::uint64_t kBeyond = ~std::uint64_t{0};
  std::uint64_t next = 0, end = 0;
  json requests = json::array();
  for (const auto& r : sb.RequestsFrom(requestsFrom, kBatch, &next)) requests.push_back(RequestRow(r));
  sb.RequestsFrom(kBeyond, 0, &end);
  json out = json::object();
  out["requests"] = {{"next", next}, {"end", end}, {"rows", std::move(requests)}};
  json events = json::array();
  for (const auto& e : sb.EventsFrom(eventsFrom, kBatch, &next)) events.push_back(EventRow(e));
  sb.EventsFrom(kBeyond, 0, &end);
  out["events"] = {{"next", next}, {"end", end}, {"rows", std::move(events)}};

  json players = json::array();
  std::set<std::string> clients;
  for (const auto& u : sb.Users()) {
    players.push_back({{"userId", u.userId}, {"appId", u.appId}, {"steamId", u.puserId}, {"clientId", u.clientId},
                       {"token", ShortToken(u.token)}, {"logins", u.logins}});
    clients.insert(u.appId + "/" + u.clientId);
  }
  json state = sb.State();
  const json& attributions = state["counters"]["attributions"];
  for (const auto& [key, n] : attributions.items()) clients.insert(key);
  out["players"] = std::move(players);
  out["clients"] = clients;

  std::vector<Order> all = sb.Orders();
  json orders = json::array();
  for (std::size_t i = all.size() > kMaxOrders ? all.size() - kMaxOrders : 0; i < all.size(); ++i) {
    orders.push_back(impl_->OrderRow(all[i]));
  }
  out["orders"] = std::move(orders);
  out["settings"] = state["settings"];
  out["steam"] = state["steam"];
  json endpoints = json::array();
  for (int i = 0; i < kEndpointCount; ++i) endpoints.push_back(EndpointName(static_cast<Endpoint>(i)));
  out["endpoints"] = std::move(endpoints);
  std::set<std::string> products;
  for (const auto& app : sb.GetCatalog().Apps()) {
    for (const auto& p : app.products) products.insert(p.productId);
  }
  out["products"] = products;
  return out;
}

}  // namespace nimo_sandbox
