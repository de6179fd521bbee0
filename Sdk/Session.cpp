#include "Sdk/Session.h"

#include <atomic>

namespace NimoSdk {
namespace session {
namespace {
std::atomic<std::uint64_t> gCurrent{1};
thread_local std::uint64_t tMine = 0;  // 0: the game's thread, always current
}  // namespace

std::uint64_t Current() { return gCurrent.load(); }
std::uint64_t Begin() { return gCurrent.fetch_add(1) + 1; }
std::uint64_t OfThisThread() { return tMine != 0 ? tMine : gCurrent.load(); }
bool Stale() { return tMine != 0 && tMine != gCurrent.load(); }

Scope::Scope(std::uint64_t number) : saved_(tMine) { tMine = number; }
Scope::~Scope() { tMine = saved_; }

}  // namespace session
}  // namespace NimoSdk
