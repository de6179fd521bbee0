#include "tools/sandbox/HttpsServer.h"

#include <httplib.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <chrono>
#include <utility>

#include "tools/sandbox/ServerSockets.h"

namespace nimo_sandbox {
namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxBody = 1024 * 1024;
constexpr const char* kJsonType = "application/json;charset=UTF-8";
constexpr const char* kBadGateway =
    "<html>\r\n<head><title>502 Bad Gateway</title></head>\r\n<body>\r\n<center><h1>502 Bad Gateway</h1></center>\r\n"
    "<hr><center>sandbox gateway</center>\r\n</body>\r\n</html>\r\n";

}  // namespace

HttpsServer::HttpsServer(std::function<void(const std::string&)> log, int hangLimitMs, FaultTable& faults,
                         Store& store, Api& api, ControlDesk& control, StopSignal& stop)
    : log(std::move(log)),
      hangLimitMs(hangLimitMs),
      faults(faults),
      store(store),
      api(api),
      control(control),
      stop(stop) {}

HttpsServer::~HttpsServer() = default;

bool HttpsServer::Bind(const CertificatePaths& certs, int wanted, std::string* error) {
  server = std::make_unique<httplib::SSLServer>(certs.serverCert.c_str(), certs.serverKey.c_str());
  if (!server->is_valid()) {
    *error = "cannot load the server certificate " + certs.serverCert;
    return false;
  }
  Register();
  port = wanted == 0 ? server->bind_to_any_port("127.0.0.1")
                     : (server->bind_to_port("127.0.0.1", wanted) ? wanted : -1);
  if (port <= 0) {
    *error = "cannot listen on 127.0.0.1:" + std::to_string(wanted);
    return false;
  }
  return true;
}

bool HttpsServer::Listen() {
  listener = std::thread([this] { server->listen_after_bind(); });
  // stop() before the accept loop runs would be lost.
  auto deadline = Clock::now() + std::chrono::seconds(5);
  while (!server->is_running() && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return server->is_running();
}

void HttpsServer::Stop() {
  server->stop();
  if (listener.joinable()) listener.join();
}

void HttpsServer::Drop(const httplib::Request& req) {
  CutConnection(req.ssl != nullptr ? SSL_get_fd(req.ssl) : -1);  // the write that follows fails: nothing is answered
}

void HttpsServer::Hang(const httplib::Request& req) {
  int fd = req.ssl != nullptr ? SSL_get_fd(req.ssl) : -1;
  auto deadline = Clock::now() + std::chrono::milliseconds(hangLimitMs);
  while (Clock::now() < deadline && stop.Sleep(50)) {
    // A client that gave up frees this worker.
    if (PeerLeft(fd)) break;
  }
  Drop(req);
}

void HttpsServer::Register() {
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
                      : control.Control(command);
    res.set_content(Dump(answer), kJsonType);
  });
  server->Get("/_control", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content(control.State().dump(2, ' ', false, json::error_handler_t::replace), kJsonType);
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
    ClaimPortAlone(sock);
    // Answers leave in several writes (TLS session tickets, header, body);
    // with Nagle each later one waits for the client's delayed ACK, about
    // 40 ms per request. Accepted sockets inherit this from the listener.
    SendWithoutDelay(sock);
  });
  server->set_payload_max_length(kMaxBody);
  server->set_keep_alive_timeout(1);
  server->set_read_timeout(5, 0);
  server->set_write_timeout(5, 0);
  // Enough workers that a few hanging requests do not starve the rest.
  server->new_task_queue = [] { return new httplib::ThreadPool(24); };
}

void HttpsServer::Serve(Endpoint e, const httplib::Request& req, httplib::Response& res,
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
    if (log) {
      auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - began).count();
      std::string line = "POST " + req.path + " -> " + std::to_string(rec.httpStatus) + " " + Clip(answer) + " (" +
                         std::to_string(ms) + " ms)";
      if (!rec.fault.empty()) line += " [fault " + rec.fault + "]";
      if (!rec.note.empty()) line += " [" + rec.note + "]";
      log(line);
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
  if (fault.delayMs > 0 && !stop.Sleep(fault.delayMs)) {
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
  Outcome out = api.Process(e, body, rec.contentType, &rec.check);
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

}  // namespace nimo_sandbox
