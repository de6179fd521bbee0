// Every exported call runs through Guarded: nothing thrown inside the SDK reaches the game.
#pragma once

#include <utility>

namespace NimoProxy {

template <typename Call>
void Guarded(Call&& call) noexcept {
  try {
    std::forward<Call>(call)();
  } catch (...) {
  }
}

// The game gets fallback if the call throws.
template <typename Result, typename Call>
Result Guarded(Result fallback, Call&& call) noexcept {
  try {
    return std::forward<Call>(call)();
  } catch (...) {
    return fallback;
  }
}

}  // namespace NimoProxy
