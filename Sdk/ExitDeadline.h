// Exit's one budget, computed once when it begins and handed to every part it
// stops, so the waits of the parts can never add up past it.
#pragma once

#include <algorithm>
#include <chrono>

namespace NimoSdk {

class ExitDeadline {
 public:
  using Clock = std::chrono::steady_clock;

  explicit ExitDeadline(Clock::duration budget) : end_(Clock::now() + budget) {}

  // When every wait of Exit has ended.
  Clock::time_point End() const { return end_; }
  // For a step that may wait on the game (a callback it runs): at most share
  // from now, so the steps after it keep their time; never past End().
  Clock::time_point Share(Clock::duration share) const { return std::min(end_, Clock::now() + share); }

 private:
  const Clock::time_point end_;
};

}  // namespace NimoSdk
