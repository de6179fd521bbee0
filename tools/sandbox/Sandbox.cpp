#include "tools/sandbox/Sandbox.h"

#include "tools/sandbox/Certificates.h"

#include <httplib.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>

// Debian's cpp-httplib is a prebuilt, uninstrumented library: ThreadSanitizer
// cannot see its atomics (for example a static's init guard), so the memory
// calls it makes are not checked. Our own code and every lock stay checked.
// Used only by ThreadSanitizer builds of programs that link the sandbox.
extern "C" __attribute__((visibility("default"), used)) const char* __tsan_default_suppressions() { return "called_from_lib:libcpp-httplib.so\n"; }

namespace nimo_sandbox {
namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxBody = 1024 * 1024;
constexpr const char* kJsonType = "application/json;charset=UTF-8";
constexpr const char* kBadGateway =
    "<html>\r\n<head><title>502 Bad Gateway</title></head>\r\n<body>\r\n<center><h1>502 Bad Gateway</h1></center>\r\n"
    "<hr><center>sandbox gateway</center>\r\n</body>\r\n</html>\r\n";

// Values echoed in messages stay short.
std::string Clip(const std::string& s) { return s.size() <= 64 ? s : s.substr(0, 64) + "..."; }

bool IsDecimal(const std::string& s, std::size_t maxLen = 19) {
  if (s.empty() || s.size() > maxLen) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

bool IsLowerHex(const std::string& s) {
  for (char c : s) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// The merchant JSON of login, products and create-order: {"merId":"<Steam app id>"}.
bool MerchantOk(const std::string& text, std::uint32_t* steamAppId) {
  json j = json::parse(text, nullptr, false);
  if (j.is_discarded() || !j.is_object() || j.size() != 1 || !j.contains("merId") || !j["merId"].is_string()) {
    return false;
  }
  std::string id = j["merId"].get<std::string>();
  if (!IsDecimal(id, 10) || std::stoull(id) > 0xFFFFFFFFULL) return false;
  if (steamAppId != nullptr) *steamAppId = static_cast<std::uint32_t>(std::stoull(id));
  return true;
}

struct Outcome {
  json answer;
  std::string note;                 // set when refused
  std::function<void()> afterSend;  // runs once the answer has left (or failed to)
};

Outcome Refuse(int code, const std::string& msg, std::string note = {}) {
  return {{{"code", code}, {"msg", msg}}, note.empty() ? msg : msg + "; " + note, nullptr};
}

json Success() { return {{"code", 200}, {"msg", "Success"}}; }

}  // namespace

class Sandbox::Impl {
 public:
  explicit Impl(Options o) : options(std::move(o)) {}

  bool Start(std::string* error);
  void Stop();
  void Register();
  void Serve(Endpoint e, const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader);
  // *check: the common check that refused it, if one did.
  Outcome Process(Endpoint e, const std::string& body, const std::string& contentType, std::string* check);
  Outcome Signed(Endpoint e, const Form& f, const App& app);
  Outcome Login(const Form& f, const App& app);
  Outcome Products(const Form& f, const App& app);
  Outcome CreateOrder(const Form& f, const App& app);
  Outcome PayResult(const Form& f, const App& app);
  Outcome Track(const std::string& body, const std::string& contentType);
  // false when the sandbox began stopping meanwhile
  bool Sleep(int ms);
  void Hang(const httplib::Request& req);
  static void Drop(const httplib::Request& req);
  json Control(const json& command);
  json State() const;
  json Settings() const;

  // Constant after Start.
  Options options;
  CertificatePaths certs;
  int port = 0;
  std::unique_ptr<httplib::SSLServer> server;
  std::thread listener;
  bool started = false;
  std::atomic<bool> running{false};
  std::atomic<int> inFlight{0};
  std::atomic<int> arrived{0};

  FaultTable faults;
  Store store;
  SteamSide steam;

  Catalog catalog;  // constant after Start

  mutable std::mutex settingsMutex;
  PlayerSettings player;   // guarded by settingsMutex
  bool testDevice = false;  // guarded by settingsMutex

  std::mutex stopMutex;
  std::condition_variable stopCv;
  bool stopping = false;  // guarded by stopMutex
};

bool Sandbox::Impl::Start(std::string* error) {
  if (started) {
    *error = "the sandbox was already started";
    return false;
  }
  // A client that leaves early must not kill the process with SIGPIPE on our next write.
  std::signal(SIGPIPE, SIG_IGN);
  if (options.stateDir.empty()) {
    *error = "a state folder is needed (--state DIR)";
    return false;
  }
  std::error_code ec;
  std::filesystem::create_directories(options.stateDir, ec);
  options.stateDir = std::filesystem::absolute(options.stateDir, ec).lexically_normal().string();
  if (!options.stateDir.empty() && options.stateDir.back() == '/' && options.stateDir.size() > 1) {
    options.stateDir.pop_back();
  }
  if (!std::filesystem::is_directory(options.stateDir, ec)) {
    *error = "cannot create the state folder " + options.stateDir;
    return false;
  }
  std::string certDir = options.certDir.empty()
                            ? options.stateDir
                            : std::filesystem::absolute(options.certDir, ec).lexically_normal().string();
  std::filesystem::create_directories(certDir, ec);
  if (!EnsureCertificates(certDir, &certs, error)) return false;
  if (options.configFile.empty()) {
    catalog = Catalog::Default();
  } else if (!Catalog::FromFile(options.configFile, &catalog, error)) {
    return false;
  }
  player = options.player;
  testDevice = options.testDevice;
  for (const auto& [name, fault] : options.faults) {
    Endpoint e;
    if (name == "all") {
      for (int i = 0; i < kEndpointCount; ++i) faults.Set(static_cast<Endpoint>(i), fault);
    } else if (EndpointFromName(name, &e)) {
      faults.Set(e, fault);
    } else {
      *error = "unknown endpoint '" + name + "' in a fault";
      return false;
    }
  }
  if (!store.Open(options.stateDir, error)) return false;
  if (!steam.Start(options.steamPort, error)) return false;

  server = std::make_unique<httplib::SSLServer>(certs.serverCert.c_str(), certs.serverKey.c_str());
  if (!server->is_valid()) {
    *error = "cannot load the server certificate " + certs.serverCert;
    steam.Stop();
    return false;
  }
  Register();
  port = options.port == 0 ? server->bind_to_any_port("127.0.0.1")
                           : (server->bind_to_port("127.0.0.1", options.port) ? options.port : -1);
  if (port <= 0) {
    *error = "cannot listen on 127.0.0.1:" + std::to_string(options.port);
    steam.Stop();
    return false;
  }
  listener = std::thread([this] { server->listen_after_bind(); });
  // stop() before the accept loop runs would be lost.
  auto deadline = Clock::now() + std::chrono::seconds(5);
  while (!server->is_running() && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  started = true;
  running = server->is_running();
  if (!running) {
    *error = "the HTTPS server did not start";
    Stop();
    return false;
  }
  return true;
}

void Sandbox::Impl::Stop() {
  if (!started) return;
  started = false;
  {
    std::lock_guard<std::mutex> lock(stopMutex);
    stopping = true;
  }
  stopCv.notify_all();
  server->stop();
  if (listener.joinable()) listener.join();
  running = false;
  steam.Stop();
  store.Close();
}

bool Sandbox::Impl::Sleep(int ms) {
  std::unique_lock<std::mutex> lock(stopMutex);
  return !stopCv.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping; });
}

void Sandbox::Impl::Drop(const httplib::Request& req) {
  int fd = req.ssl != nullptr ? SSL_get_fd(req.ssl) : -1;
  if (fd >= 0) ::shutdown(fd, SHUT_RDWR);  // the write that follows fails: nothing is answered
}

void Sandbox::Impl::Hang(const httplib::Request& req) {
  int fd = req.ssl != nullptr ? SSL_get_fd(req.ssl) : -1;
  auto deadline = Clock::now() + std::chrono::milliseconds(options.hangLimitMs);
  while (Clock::now() < deadline && Sleep(50)) {
    // A client that gave up frees this worker.
    if (fd >= 0) {
      pollfd p{fd, static_cast<short>(POLLRDHUP), 0};
      if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) break;
    }
  }
  Drop(req);
}

void Sandbox::Impl::Register() {
  for (int i = 0; i < kEndpointCount; ++i) {
    auto e = static_cast<Endpoint>(i);
    server->Post(EndpointPath(e), [this, e](const httplib::Request& req, httplib::Response& res,
                                            const httplib::ContentReader& reader) { Serve(e, req, res, reader); });
  }
  server->Post("/_control", [this](const httplib::Request&, httplib::Response& res,
                                   const httplib::ContentReader& reader) {
    std::string body;
    bool ok = reader([&](const char* d, std::size_t n) {
      if (body.size() + n > kMaxBody) return false;
      body.append(d, n);
      return true;
    });
    json command = ok ? json::parse(body, nullptr, false) : json();
    json answer = command.is_discarded() || !command.is_object()
                      ? json{{"code", 400}, {"msg", "The control body must be a JSON object"}}
                      : Control(command);
    res.set_content(Dump(answer), kJsonType);
  });
  server->Get("/_control", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content(State().dump(2, ' ', false, json::error_handler_t::replace), kJsonType);
  });
  server->set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request& req,
                                                                   httplib::Response& res) {
    if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;  // a fault's own page
    std::string msg = res.status == 404   ? "Unknown path: " + Clip(req.path)
                      : res.status == 413 ? std::string("Request body too large")
                                          : "HTTP " + std::to_string(res.status);
    res.set_content(Dump({{"code", res.status}, {"msg", msg}}), kJsonType);
    return httplib::Server::HandlerResponse::Handled;
  }));
  server->set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
    res.status = 500;
    res.set_content(Dump({{"code", 500}, {"msg", "Sandbox internal error"}}), kJsonType);
  });
  // Not SO_REUSEPORT (httplib's default): a second sandbox on a taken port must fail, not share it.
  server->set_socket_options([](socket_t sock) {
    int one = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    // Answers leave in several writes (TLS session tickets, header, body);
    // with Nagle each later one waits for the client's delayed ACK, about
    // 40 ms per request. Accepted sockets inherit this from the listener.
    ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  });
  server->set_payload_max_length(kMaxBody);
  server->set_keep_alive_timeout(1);
  server->set_read_timeout(5, 0);
  server->set_write_timeout(5, 0);
  // Enough workers that a few hanging requests do not starve the rest.
  server->new_task_queue = [] { return new httplib::ThreadPool(24); };
}

void Sandbox::Impl::Serve(Endpoint e, const httplib::Request& req, httplib::Response& res,
                          const httplib::ContentReader& reader) {
  auto began = Clock::now();
  ++arrived;
  struct Counting {
    std::atomic<int>& n;
    explicit Counting(std::atomic<int>& c) : n(c) { ++n; }
    ~Counting() { --n; }
  } counting(inFlight);
  RequestRecord rec;
  rec.endpoint = EndpointName(e);
  rec.method = req.method;
  rec.path = req.path;
  rec.contentType = req.get_header_value("Content-Type");
  rec.check = "not checked";  // until it is processed: a fault or an unread body may answer first
  std::string body;
  bool tooBig = false;
  bool read = reader([&](const char* d, std::size_t n) {
    if (body.size() + n > kMaxBody) {
      tooBig = true;
      return false;
    }
    body.append(d, n);
    return true;
  });
  rec.body = body;
  auto finish = [&](const std::string& answer) {
    rec.httpStatus = res.status < 0 ? 200 : res.status;
    rec.answer = answer;
    if (options.log) {
      auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - began).count();
      std::string line = "POST " + req.path + " -> " + std::to_string(rec.httpStatus) + " " + Clip(answer) + " (" +
                         std::to_string(ms) + " ms)";
      if (!rec.fault.empty()) line += " [fault " + rec.fault + "]";
      if (!rec.note.empty()) line += " [" + rec.note + "]";
      options.log(line);
    }
    store.Record(std::move(rec));
  };

  if (!read || tooBig) {
    res.status = tooBig || res.status == 413 ? 413 : 400;
    std::string text = Dump({{"code", res.status},
                             {"msg", res.status == 413 ? "Request body too large" : "Request body could not be read"}});
    res.set_header("Connection", "close");
    res.set_content(text, kJsonType);
    rec.note = "body not read";
    finish(text);
    return;
  }

  Fault fault = faults.Take(e, body);
  if (fault.Active()) rec.fault = FaultModeName(fault.mode) + (fault.delayMs > 0 ? "+delay" : std::string());
  if (fault.delayMs > 0 && !Sleep(fault.delayMs)) {
    Drop(req);
    finish("(stopped while delaying)");
    return;
  }
  switch (fault.mode) {
    case FaultMode::Hang:
      Hang(req);
      finish("(never answered)");
      return;
    case FaultMode::Http502:
      res.status = 502;
      res.set_content(kBadGateway, "text/html");
      finish(kBadGateway);
      return;
    case FaultMode::Code:
    case FaultMode::Status: {
      std::string text = Dump({{"code", fault.code}, {"msg", fault.msg}});
      if (fault.mode == FaultMode::Status) res.status = fault.code;
      res.set_content(text, kJsonType);
      finish(text);
      return;
    }
    default:
      break;
  }

  rec.check.clear();
  Outcome out = Process(e, body, rec.contentType, &rec.check);
  rec.note = out.note;
  std::string text = Dump(out.answer);
  auto after = out.afterSend;
  if (fault.mode == FaultMode::Truncated) {
    std::string half = text.substr(0, text.size() / 2);
    res.set_content(half, kJsonType);
    if (after) after();
    finish(half);
    return;
  }
  if (fault.mode == FaultMode::Lost) {
    Drop(req);  // acted on, never answered
    if (after) after();
    finish("(processed, answer lost) " + text);
    return;
  }
  if (fault.mode == FaultMode::Close) {
    std::string half = text.substr(0, text.size() / 2);
    res.set_content_provider(
        text.size(), kJsonType,
        [half](std::size_t offset, std::size_t, httplib::DataSink& sink) {
          if (offset == 0 && !half.empty()) sink.write(half.data(), half.size());
          return false;  // drops the connection with the answer half sent
        },
        [after](bool) {
          if (after) after();
        });
    finish(half + " (connection closed)");
    return;
  }
  if (after) {
    res.set_content_provider(
        text.size(), kJsonType,
        [text](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
          return sink.write(text.data() + offset, std::min(length, text.size() - offset));
        },
        [after](bool) { after(); });
  } else {
    res.set_content(text, kJsonType);
  }
  finish(text);
}

Outcome Sandbox::Impl::Process(Endpoint e, const std::string& body, const std::string& contentType,
                               std::string* check) {
  if (e == Endpoint::Track) return Track(body, contentType);
  if (contentType.rfind("application/x-www-form-urlencoded", 0) != 0) {
    *check = "content type";
    return Refuse(400, "Content-Type must be application/x-www-form-urlencoded");
  }
  const FormSpec& spec = SpecOf(e);
  std::vector<Form> readings = SplitOrdered(body, spec.bodyKeys);
  if (readings.empty()) {
    std::string missing = FirstMissingKey(body, spec.bodyKeys);
    std::string order;
    for (const auto& k : spec.bodyKeys) order += (order.empty() ? "" : ",") + k;
    *check = "parameter order";
    return Refuse(400, missing.empty() ? std::string("Malformed parameters") : "Missing parameter: " + missing,
                  "expected the parameters in this order: " + order);
  }
  const App* app = nullptr;
  std::string expected;
  for (const Form& f : readings) {
    const App* a = catalog.FindApp(f.at("appId"));
    if (a == nullptr) continue;
    std::string text = SignText(f, spec, a->appKey);
    if (Md5Hex(text) == f.at("osign")) return Signed(e, f, *a);
    if (app == nullptr) {
      app = a;
      expected = text;
    }
  }
  *check = app == nullptr ? "appId" : "signature";
  if (app == nullptr) return Refuse(403, "Unknown appId: " + Clip(readings.front().at("appId")));
  return Refuse(401, "Signature mismatch", "expected sign text: " + expected);
}

Outcome Sandbox::Impl::Signed(Endpoint e, const Form& f, const App& app) {
  switch (e) {
    case Endpoint::Config: {
      bool test;
      {
        std::lock_guard<std::mutex> lock(settingsMutex);
        test = testDevice || app.testDevices.count(f.at("clientId")) > 0;
      }
      json a = Success();
      a["isTestDevice"] = test ? 1 : 0;
      return {a, {}, nullptr};
    }
    case Endpoint::Attribution:
      store.CountAttribution(app.appId, f.at("clientId"));
      return {Success(), {}, nullptr};
    case Endpoint::Login: return Login(f, app);
    case Endpoint::Products: return Products(f, app);
    case Endpoint::CreateOrder: return CreateOrder(f, app);
    case Endpoint::PayResult: return PayResult(f, app);
    case Endpoint::Track: break;
  }
  return Refuse(404, "Unknown endpoint");
}

Outcome Sandbox::Impl::Login(const Form& f, const App& app) {
  if (f.at("platform") != "STEAM") return Refuse(400, "platform must be STEAM");
  if (f.at("bindType") != "1") return Refuse(400, "bindType must be 1");
  const std::string& puserId = f.at("puserId");
  if (!IsDecimal(puserId, 20) || puserId == "0") return Refuse(400, "puserId must be the decimal Steam id");
  const std::string& ticket = f.at("accessToken");
  if (ticket.empty() || ticket.size() % 2 != 0 || ticket.size() > 8192 || !IsLowerHex(ticket)) {
    return Refuse(400, "accessToken must be the auth ticket in lower-case hex");
  }
  if (!MerchantOk(f.at("extra"), nullptr)) return Refuse(400, "extra must be {\"merId\":\"<Steam app id>\"}");
  User u = store.Login(app.appId, puserId, f.at("clientId"));
  json a = Success();
  a["token"] = u.token;
  a["userId"] = u.userId;
  return {a, {}, nullptr};
}

Outcome Sandbox::Impl::Products(const Form& f, const App& app) {
  const std::string& page = f.at("page");
  const std::string& size = f.at("pageSize");
  if (!IsDecimal(page, 6) || !IsDecimal(size, 6) || std::stoi(page) < 1 || std::stoi(size) < 1) {
    return Refuse(400, "page and pageSize must be positive numbers");
  }
  if (!MerchantOk(f.at("extra"), nullptr)) return Refuse(400, "extra must be {\"merId\":\"<Steam app id>\"}");
  std::size_t first = static_cast<std::size_t>(std::stoi(page) - 1) * static_cast<std::size_t>(std::stoi(size));
  json list = json::array();
  for (std::size_t i = first; i < app.products.size() && i < first + static_cast<std::size_t>(std::stoi(size)); ++i) {
    const Product& p = app.products[i];
    json channels = json::array();
    for (const auto& c : p.payChannel) channels.push_back({{"name", c.name}, {"channelProductId", c.channelProductId}});
    list.push_back({{"productId", p.productId},
                    {"productName", p.productName},
                    {"productDesc", p.productDesc},
                    {"productCurrencyCode", p.productCurrencyCode},
                    {"gameCurrencyAmount", p.gameCurrencyAmount},
                    {"payChannel", channels}});
  }
  json a = Success();
  a["productList"] = list;
  return {a, {}, nullptr};
}

Outcome Sandbox::Impl::CreateOrder(const Form& f, const App& app) {
  if (f.at("appKey") != app.appKey) return Refuse(401, "appKey does not match the app");
  if (f.at("channel") != "STEAM") return Refuse(400, "channel must be STEAM");
  const Product* product = app.FindProduct(f.at("productId"));
  if (product == nullptr) return Refuse(404, "Unknown productId: " + Clip(f.at("productId")));
  const PayChannel* channel = product->SteamChannel();
  if (channel == nullptr) return Refuse(400, "Product " + Clip(product->productId) + " is not sold through STEAM");
  std::optional<User> user = store.FindUser(app.appId, f.at("userId"));
  if (!user) return Refuse(401, "Unknown userId: " + Clip(f.at("userId")) + " (log in first)");
  json info = json::parse(f.at("collectionInfo"), nullptr, false);
  if (info.is_discarded() || !info.is_object()) return Refuse(400, "collectionInfo must be a JSON object");
  std::uint32_t steamAppId = 0;
  if (!MerchantOk(f.at("sdkExtInfo"), &steamAppId)) {
    return Refuse(400, "sdkExtInfo must be {\"merId\":\"<Steam app id>\"}");
  }
  PlayerMode mode;
  int delayMs;
  bool steamFirst;
  {
    std::lock_guard<std::mutex> lock(settingsMutex);
    mode = player.For(product->productId);
    delayMs = player.delayMs;
    steamFirst = player.steamFirst;
  }
  Order draft;
  draft.appId = app.appId;
  draft.userId = f.at("userId");
  draft.steamId = user->puserId;
  draft.productId = product->productId;
  draft.channelProductId = channel->channelProductId;
  draft.productName = product->productName;
  draft.defaultAmountMicro = product->defaultAmountMicro;
  draft.defaultCurrency = product->defaultCurrency;
  draft.virtualCurrency = product->virtualCurrency;
  draft.virtualCoinAmount = product->virtualCoinAmount;
  draft.clientId = f.at("clientId");
  draft.serverId = f.at("serverId");
  draft.gameUserId = f.at("gameUserId");
  draft.nickName = f.at("nickName");
  draft.extInfo = f.at("extInfo");
  draft.collectionInfo = f.at("collectionInfo");
  draft.sdkExtInfo = f.at("sdkExtInfo");
  draft.player = PlayerModeName(mode);
  draft.authorized = mode == PlayerMode::Approve;
  Order o = store.AddOrder(draft);

  json a = Success();
  a["orderId"] = o.orderId;
  a["productName"] = o.productName;
  a["defaultCurrency"] = o.defaultCurrency;
  a["virtualCurrency"] = o.virtualCurrency;
  a["defaultAmountMicro"] = o.defaultAmountMicro;
  a["virtualCoinAmount"] = o.virtualCoinAmount;
  a["extInfo"] = {{"steamOrderId", o.steamOrderId}, {"steamTransId", o.steamTransId}};
  std::function<void()> after;
  if (mode != PlayerMode::Never) {
    std::uint64_t steamId = std::strtoull(o.steamId.c_str(), nullptr, 10);
    std::uint64_t orderId = std::strtoull(o.steamOrderId.c_str(), nullptr, 10);
    bool ok = mode == PlayerMode::Approve;
    if (steamFirst) {
      // The real server opens the transaction before it answers: Steam may be
      // quicker than this answer. Without a connected client it answers anyway.
      steam.Authorize(steamId, steamAppId, orderId, ok, 0);
      if (steam.WaitDelivered(orderId, std::chrono::seconds(10), [this] { return !Sleep(0); })) Sleep(delayMs);
    } else {
      after = [this, steamId, steamAppId, orderId, ok, delayMs] {
        steam.Authorize(steamId, steamAppId, orderId, ok, delayMs);
      };
    }
  }
  return {a, {}, after};
}

Outcome Sandbox::Impl::PayResult(const Form& f, const App& app) {
  if (f.at("channel") != "STEAM") return Refuse(400, "channel must be STEAM");
  const std::string& status = f.at("status");
  if (status != "0" && status != "1") return Refuse(400, "status must be 1 (authorised) or 0 (declined)");
  std::optional<Order> found = store.FindOrder(f.at("orderId"));
  if (!found || found->appId != app.appId) return Refuse(404, "Unknown orderId: " + Clip(f.at("orderId")));
  const Order& order = *found;
  if (order.userId != f.at("userId")) return Refuse(409, "Order " + order.orderId + " belongs to another user");
  json verify = json::parse(f.at("extVerifyInfo"), nullptr, false);
  if (verify.is_discarded() || !verify.is_object() || !verify.contains("steamOrderId") ||
      verify["steamOrderId"] != json(order.steamOrderId)) {
    return Refuse(422, "extVerifyInfo must be {\"steamOrderId\":\"" + order.steamOrderId + "\"}");
  }
  if (f.at("channelProductId") != order.channelProductId) {
    return Refuse(422, "channelProductId must be " + order.channelProductId);
  }
  std::string amount = std::to_string(order.defaultAmountMicro);
  if (status == "1" && f.at("payAmountMicros") != amount) {
    return Refuse(422, "payAmountMicros must be the order's amount " + amount);
  }
  std::string verdict;
  store.UpdateOrder(order.orderId, [&](Order& o) {
    ++o.reports;
    // A repeated report hears the verdict again, unless the order was not paid
    // and Steam's authorisation now arrives after a decline.
    if (!o.verdict.empty() && !(o.payStatus == 0 && status == "1" && o.authorized)) {
      verdict = o.verdict;
      return;
    }
    bool paid = status == "1" && o.authorized;
    json a = {{"code", 200},
              {"msg", paid ? "Success" : status == "1" ? "Steam did not authorise this order" : "Payment declined"},
              {"status", paid ? 1 : 0}};
    o.payStatus = paid ? 1 : 0;
    o.verdict = verdict = Dump(a);
  });
  json a = json::parse(verdict, nullptr, false);
  return {a.is_discarded() ? Success() : a, {}, nullptr};
}

Outcome Sandbox::Impl::Track(const std::string& body, const std::string& contentType) {
  json event = json::parse(body, nullptr, false);
  if (event.is_discarded() || !event.is_object()) return Refuse(400, "An event must be one JSON object");
  store.AddEvent(body, contentType, std::move(event));
  return {Success(), {}, nullptr};
}

json Sandbox::Impl::Settings() const {
  std::lock_guard<std::mutex> lock(settingsMutex);
  return {{"faults", faults.ToJson()}, {"player", player.ToJson()}, {"testDevice", testDevice}};
}

json Sandbox::Impl::Control(const json& command) {
  auto bad = [](const std::string& msg) { return json{{"code", 400}, {"msg", msg}}; };
  // Check everything first, so a bad command changes nothing.
  std::vector<std::pair<Endpoint, Fault>> newFaults;
  if (command.contains("faults")) {
    if (!command["faults"].is_object()) return bad("\"faults\" must map endpoint names to faults");
    for (const auto& [name, spec] : command["faults"].items()) {
      Fault fault;
      std::string error;
      if (!FaultFromJson(spec, &fault, &error)) return bad(name + ": " + error);
      Endpoint e;
      if (name == "all") {
        for (int i = 0; i < kEndpointCount; ++i) newFaults.emplace_back(static_cast<Endpoint>(i), fault);
      } else if (EndpointFromName(name, &e)) {
        newFaults.emplace_back(e, fault);
      } else {
        return bad("unknown endpoint '" + name + "'");
      }
    }
  }
  std::optional<PlayerSettings> newPlayer;
  if (command.contains("player")) {
    PlayerSettings p;
    {
      std::lock_guard<std::mutex> lock(settingsMutex);
      p = player;
    }
    const json& j = command["player"];
    if (j.is_string()) {
      if (!PlayerModeFromName(j.get<std::string>(), &p.mode)) return bad("player is approve, decline or never");
    } else if (j.is_object()) {
      if (j.contains("mode") && (!j["mode"].is_string() || !PlayerModeFromName(j["mode"].get<std::string>(), &p.mode))) {
        return bad("player mode is approve, decline or never");
      }
      if (j.contains("delayMs")) {
        if (!j["delayMs"].is_number_integer() || j["delayMs"].get<long long>() < 0 ||
            j["delayMs"].get<long long>() > 600000) {
          return bad("player delayMs must be 0 to 600000");
        }
        p.delayMs = j["delayMs"].get<int>();
      }
      if (j.contains("steamFirst")) {
        if (!j["steamFirst"].is_boolean()) return bad("player steamFirst must be true or false");
        p.steamFirst = j["steamFirst"].get<bool>();
      }
      if (j.contains("products")) {
        if (!j["products"].is_object()) return bad("player products must map product ids to modes");
        p.perProduct.clear();
        for (const auto& [id, m] : j["products"].items()) {
          PlayerMode pm;
          if (!m.is_string() || !PlayerModeFromName(m.get<std::string>(), &pm)) {
            return bad("player mode for " + id + " is approve, decline or never");
          }
          p.perProduct[id] = pm;
        }
      }
    } else {
      return bad("\"player\" must be a mode or an object");
    }
    newPlayer = p;
  }
  if (command.contains("testDevice") && !command["testDevice"].is_boolean()) return bad("testDevice must be true or false");
  if (command.contains("clearState") && !command["clearState"].is_boolean()) return bad("clearState must be true or false");
  if (command.contains("clearFaults") && command["clearFaults"] == true) faults.ClearAll();
  if (command.contains("clearState") && command["clearState"] == true) store.Clear();
  for (auto& [e, f] : newFaults) faults.Set(e, f);
  {
    std::lock_guard<std::mutex> lock(settingsMutex);
    if (newPlayer) player = *newPlayer;
    if (command.contains("testDevice")) testDevice = command["testDevice"].get<bool>();
  }
  json a = Success();
  a["settings"] = Settings();
  return a;
}

json Sandbox::Impl::State() const {
  json ids = json::array();
  for (auto id : steam.ConnectedSteamIds()) ids.push_back(std::to_string(id));
  json a = Success();
  a["settings"] = Settings();
  a["counters"] = store.Counters();
  a["steam"] = {{"bridge", "127.0.0.1:" + std::to_string(steam.Port())},
                {"connected", ids},
                {"delivered", steam.Delivered()},
                {"waiting", steam.Waiting()}};
  a["stateDir"] = options.stateDir;
  return a;
}

// ------------------------------------------------------------------ Sandbox

Sandbox::Sandbox(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}
Sandbox::~Sandbox() { Stop(); }

bool Sandbox::Start(std::string* error) {
  std::string ignored;
  return impl_->Start(error != nullptr ? error : &ignored);
}
void Sandbox::Stop() { impl_->Stop(); }
bool Sandbox::IsRunning() const { return impl_->running.load(); }
int Sandbox::Port() const { return impl_->port; }
int Sandbox::SteamPort() const { return impl_->steam.Port(); }
std::string Sandbox::BaseUrl() const { return "https://127.0.0.1:" + std::to_string(impl_->port) + "/sdkapi"; }
std::string Sandbox::TrackUrl() const {
  return "https://127.0.0.1:" + std::to_string(impl_->port) + "/data/h5/v1.do";
}
std::string Sandbox::ControlUrl() const { return "https://127.0.0.1:" + std::to_string(impl_->port) + "/_control"; }
std::string Sandbox::CaFile() const { return impl_->certs.caCert; }
std::string Sandbox::SteamBridge() const { return "127.0.0.1:" + std::to_string(impl_->steam.Port()); }
const std::string& Sandbox::StateDir() const { return impl_->options.stateDir; }

std::string Sandbox::StartupLines() const {
  return "NIMOSDK_API_BASE_URL=" + BaseUrl() + "\n" + "NIMOSDK_TRACK_URL=" + TrackUrl() + "\n" +
         "NIMOSDK_CA_FILE=" + CaFile() + "\n" + "NIMO_STEAM_BRIDGE=" + SteamBridge() + "\n" +
         "NIMO_SANDBOX_CONTROL=" + ControlUrl() + "\n" + "NIMO_SANDBOX_STATE=" + StateDir() + "\n";
}

json Sandbox::Control(const json& command) {
  if (!command.is_object()) return {{"code", 400}, {"msg", "The control body must be a JSON object"}};
  return impl_->Control(command);
}
json Sandbox::State() const { return impl_->State(); }

bool Sandbox::SetFault(const std::string& endpoint, Fault fault) {
  Endpoint e;
  if (endpoint == "all") {
    for (int i = 0; i < kEndpointCount; ++i) impl_->faults.Set(static_cast<Endpoint>(i), fault);
    return true;
  }
  if (!EndpointFromName(endpoint, &e)) return false;
  impl_->faults.Set(e, std::move(fault));
  return true;
}
void Sandbox::SetFault(Endpoint endpoint, Fault fault) { impl_->faults.Set(endpoint, std::move(fault)); }
void Sandbox::ClearFaults() { impl_->faults.ClearAll(); }

void Sandbox::SetPlayer(PlayerMode mode) {
  std::lock_guard<std::mutex> lock(impl_->settingsMutex);
  impl_->player.mode = mode;
}
void Sandbox::SetProductPlayer(const std::string& productId, PlayerMode mode) {
  std::lock_guard<std::mutex> lock(impl_->settingsMutex);
  impl_->player.perProduct[productId] = mode;
}
void Sandbox::SetSteamDelay(int ms) {
  std::lock_guard<std::mutex> lock(impl_->settingsMutex);
  impl_->player.delayMs = ms < 0 ? 0 : ms;
}
void Sandbox::SetSteamFirst(bool on) {
  std::lock_guard<std::mutex> lock(impl_->settingsMutex);
  impl_->player.steamFirst = on;
}
void Sandbox::SetTestDevice(bool all) {
  std::lock_guard<std::mutex> lock(impl_->settingsMutex);
  impl_->testDevice = all;
}
PlayerSettings Sandbox::Player() const {
  std::lock_guard<std::mutex> lock(impl_->settingsMutex);
  return impl_->player;
}
const Catalog& Sandbox::GetCatalog() const { return impl_->catalog; }

std::vector<Order> Sandbox::Orders() const { return impl_->store.Orders(); }
std::optional<Order> Sandbox::FindOrder(const std::string& orderId) const { return impl_->store.FindOrder(orderId); }
std::optional<Order> Sandbox::FindOrderBySteamId(const std::string& steamOrderId) const {
  return impl_->store.FindOrderBySteamId(steamOrderId);
}
std::vector<User> Sandbox::Users() const { return impl_->store.Users(); }
std::vector<StoredEvent> Sandbox::Events() const { return impl_->store.Events(); }
std::map<std::string, DeviceCounters> Sandbox::EventCounters() const { return impl_->store.EventCounters(); }
std::vector<RequestRecord> Sandbox::Requests() const { return impl_->store.Requests(); }
std::vector<RequestRecord> Sandbox::RequestsFrom(std::uint64_t first, std::size_t max, std::uint64_t* next) const {
  return impl_->store.RequestsFrom(first, max, next);
}
std::vector<StoredEvent> Sandbox::EventsFrom(std::uint64_t first, std::size_t max, std::uint64_t* next) const {
  return impl_->store.EventsFrom(first, max, next);
}
bool Sandbox::SteamAnswered(const std::string& steamOrderId) const {
  return impl_->steam.WaitDelivered(std::strtoull(steamOrderId.c_str(), nullptr, 10), std::chrono::milliseconds(0),
                                    [] { return true; });
}
int Sandbox::RequestCount(Endpoint endpoint) const { return impl_->store.Count(EndpointName(endpoint)); }
int Sandbox::InFlight() const { return impl_->inFlight.load(); }
int Sandbox::Arrived() const { return impl_->arrived.load(); }
int Sandbox::RefusedCount(Endpoint endpoint) const { return impl_->store.Refused(EndpointName(endpoint)); }
int Sandbox::Attributions(const std::string& appId, const std::string& clientId) const {
  return impl_->store.Attributions(appId, clientId);
}
std::vector<std::uint64_t> Sandbox::SteamClients() const { return impl_->steam.ConnectedSteamIds(); }
int Sandbox::SteamDelivered() const { return impl_->steam.Delivered(); }
int Sandbox::SteamWaiting() const { return impl_->steam.Waiting(); }

}  // namespace nimo_sandbox
