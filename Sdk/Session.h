// Sessions: each Init after an Exit starts a new one. A thread of ours works for
// the session it was started in (or the request it runs was made in); once that
// session has ended, what such a thread still does (it may have been inside a
// game callback while the game exited and started again) must not reach the new
// session. Game code always runs as "the current session".
#pragma once

#include <cstdint>

namespace NimoSdk {
namespace session {

// The process's session, 1 from load on.
std::uint64_t Current();
// Starts the next session; returns its number.
std::uint64_t Begin();
// The session the calling thread works for: the current one for the game's threads.
std::uint64_t OfThisThread();
// This thread works for a session that has ended.
bool Stale();

// While alive, the calling thread works for number (0: for whichever is current).
class Scope {
 public:
  explicit Scope(std::uint64_t number);
  ~Scope();
  Scope(const Scope&) = delete;
  Scope& operator=(const Scope&) = delete;

 private:
  std::uint64_t saved_;
};

}  // namespace session
}  // namespace NimoSdk
