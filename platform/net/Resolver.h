// Name lookup that the caller can stop waiting for. The system resolver
// cannot be interrupted, so each lookup runs on a helper thread of its own;
// on time-out or cancel the caller leaves, and the helper finishes alone,
// touching nothing but the lookup's shared state. Portable C++ over
// ResolveIpv4 (Socket.h), so every platform's socket layer serves it.
#pragma once

#include <memory>
#include <string>

#include "platform/sync/Mutex.h"

namespace nimo_net {

class Lookup {
 public:
  enum class Status { Done, Failed, TimedOut, Cancelled, Busy };

  // At most this many helpers run at once; a lookup beyond is Busy at once,
  // so a resolver that hangs cannot pile up threads.
  static constexpr int kMaxHelpers = 8;

  // Starts resolving host's first IPv4 address.
  static std::shared_ptr<Lookup> Start(const std::string& host);

  // Waits up to timeoutMs (0: only looks). Done: ip is set. Failed: code and
  // text are the resolver's (getaddrinfo result and message). Busy: text says why.
  Status Wait(int timeoutMs, std::string& ip, int& code, std::string& text);

  // Ends Wait at once, from any thread.
  void Cancel();

  // Test seam: resolution done by fn instead of the system (null: the system).
  using ResolveFn = int (*)(const std::string& host, std::string& ip, std::string& text);
  static void SetResolverForTests(ResolveFn fn);

  Lookup() = default;

 private:
  static void Run(const std::shared_ptr<Lookup>& self, std::string host);

  nimo_sync::Mutex mutex_;
  nimo_sync::CondVar cv_;
  bool finished_ GUARDED_BY(mutex_) = false;
  bool cancelled_ GUARDED_BY(mutex_) = false;
  bool busy_ GUARDED_BY(mutex_) = false;  // no helper could be had
  int code_ GUARDED_BY(mutex_) = 0;
  std::string ip_ GUARDED_BY(mutex_);
  std::string text_ GUARDED_BY(mutex_);
};

}  // namespace nimo_net
