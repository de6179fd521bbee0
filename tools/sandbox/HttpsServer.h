// The sandbox's HTTPS server on 127.0.0.1: the endpoints' paths and /_control.
// Each request to an endpoint gets the fault set for it, if any, then the
// Api's answer, and leaves one record in the store and one log line.
// httplib stays inside HttpsServer.cpp.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "tools/sandbox/Api.h"
#include "tools/sandbox/Certificates.h"
#include "tools/sandbox/ControlDesk.h"
#include "tools/sandbox/Faults.h"
#include "tools/sandbox/SignedForm.h"
#include "tools/sandbox/StopSignal.h"
#include "tools/sandbox/Store.h"

namespace httplib {
class SSLServer;
struct Request;
struct Response;
class ContentReader;
}  // namespace httplib

namespace nimo_sandbox {

class HttpsServer {
 public:
  // log: one line per request, from server threads; null keeps quiet. A
  // "hang" gives up after hangLimitMs at the latest. The others outlive the server.
  HttpsServer(std::function<void(const std::string&)> log, int hangLimitMs, FaultTable& faults, Store& store,
              Api& api, ControlDesk& control, StopSignal& stop);
  ~HttpsServer();
  HttpsServer(const HttpsServer&) = delete;
  HttpsServer& operator=(const HttpsServer&) = delete;

  // Loads the certificate and binds 127.0.0.1:port (0: a free one); false with a message.
  bool Bind(const CertificatePaths& certs, int port, std::string* error);
  // Serves on a thread of its own once bound; false when it did not come up within 5 s.
  bool Listen();
  // Returns once the serving thread has ended; raise stop first so that
  // hanging and delayed answers end.
  void Stop();

  int Port() const { return port; }  // -1 when binding failed
  int InFlight() const { return inFlight.load(); }
  int Arrived() const { return arrived.load(); }

 private:
  void Register();
  void Serve(Endpoint e, const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader);
  void Hang(const httplib::Request& req);
  static void Drop(const httplib::Request& req);

  // Constant after construction.
  const std::function<void(const std::string&)> log;
  const int hangLimitMs;
  FaultTable& faults;
  Store& store;
  Api& api;
  ControlDesk& control;
  StopSignal& stop;

  // Constant after Bind.
  int port = 0;
  std::unique_ptr<httplib::SSLServer> server;
  std::thread listener;

  std::atomic<int> inFlight{0};  // requests being handled right now (hanging ones too)
  std::atomic<int> arrived{0};   // requests to the endpoints that reached a handler so far
};

}  // namespace nimo_sandbox
