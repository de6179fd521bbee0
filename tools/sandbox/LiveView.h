// The sandbox's live view: one page on plain HTTP on 127.0.0.1, for a person
// watching a game talk to the sandbox. It keeps nothing of its own: the page
// polls the sandbox's state and sends its switches as control commands.
//   GET  /                        the page (view.html, compiled in)
//   GET  /state?requests=N&events=M
//                                 requests and events from those numbers on (a
//                                 bounded batch), players, orders with their
//                                 progress, settings; "next" numbers to ask for next
//                                 and "end", the number after the last one kept
//   POST /control                 the body of POST /_control (Sandbox::Control)
// Plain HTTP so that no certificate has to be trusted by the browser; bounded
// in body size and in connections served at once.
#pragma once

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

namespace nimo_sandbox {

class Sandbox;

class LiveView {
 public:
  explicit LiveView(Sandbox& sandbox);  // the sandbox outlives the view
  ~LiveView();                          // stops
  LiveView(const LiveView&) = delete;
  LiveView& operator=(const LiveView&) = delete;

  // Listens on 127.0.0.1:port (0: any free port); false with a message when it cannot.
  bool Start(int port, std::string* error);
  // Returns once the server's threads have ended: within about the 2 s read limit.
  void Stop();
  int Port() const;
  std::string Url() const;  // http://127.0.0.1:PORT/

  // The /state answer.
  nlohmann::json Snapshot(std::uint64_t requestsFrom, std::uint64_t eventsFrom) const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

// The page, as built into the binary.
const char* LiveViewPage();

}  // namespace nimo_sandbox
