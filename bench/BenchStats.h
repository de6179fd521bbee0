// Timing helpers the benchmarks share: microseconds, percentiles, thread CPU time.
#pragma once

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <vector>

namespace nimo_bench {

inline double Micros(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

// The value at fraction p (0..1] of the sorted values; 0 for none.
inline double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  std::size_t i = static_cast<std::size_t>(std::ceil(p * static_cast<double>(v.size()))) - 1;
  return v[std::min(i, v.size() - 1)];
}

inline double ThreadCpuMicros() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

}  // namespace nimo_bench
