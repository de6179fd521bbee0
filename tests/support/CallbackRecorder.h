// Records what the SDK calls the game back with, from any thread, and lets a test
// wait for it. One recorder per test process: callbacks are plain function pointers.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace nimo_test {

struct Call {
  int code = 0;
  std::string message;  // UTF-8
  std::string data;     // UTF-8
  std::thread::id thread;
  void* user = nullptr;  // C callbacks only
};

class CallbackRecorder {
 public:
  static CallbackRecorder& Get();
  // The function to hand to the SDK.
  static void Callback(int code, std::wstring message, std::wstring data);
  // The same for the C functions (nimosdk64_c.h).
  static void CCallback(int code, const char* message, const char* data, void* user);

  // Waits until at least n calls arrived; false after the limit.
  bool WaitFor(std::size_t n, std::chrono::milliseconds limit = std::chrono::seconds(10));
  std::vector<Call> Calls();
  std::size_t Count();

 private:
  void Add(Call call);

  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Call> calls_;  // guarded by mutex_
};

// Waits for pred with a bound; true when it held.
template <class Pred>
bool Eventually(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return pred();
}

}  // namespace nimo_test
