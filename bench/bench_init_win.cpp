// The cost of the nimo_init call on the game's thread under Windows: one
// sample per process (each call a first Init), printed in microseconds.
// bench/run-bench-win.sh runs it and prints the spread.
#include <windows.h>

#include <cstdio>

#include "nimosdk64_c.h"

int main() {
  LARGE_INTEGER frequency;
  LARGE_INTEGER before;
  LARGE_INTEGER after;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&before);
  nimo_init("bench-app", "bench-key", nullptr, nullptr);
  QueryPerformanceCounter(&after);
  std::printf("%.0f\n", static_cast<double>(after.QuadPart - before.QuadPart) * 1e6 /
                            static_cast<double>(frequency.QuadPart));
  std::fflush(stdout);
  ExitProcess(0);  // the measured call only; the start-up it handed off is not waited for
}
