#include "support/CallbackRecorder.h"

#include "Sdk/NimoUtils.h"

namespace nimo_test {

CallbackRecorder& CallbackRecorder::Get() {
  static CallbackRecorder* r = new CallbackRecorder();
  return *r;
}

void CallbackRecorder::Callback(int code, std::wstring message, std::wstring data) {
  Get().Add({code, NimoSdk::NimoUtils::WideToUtf8(message), NimoSdk::NimoUtils::WideToUtf8(data),
             std::this_thread::get_id()});
}

void CallbackRecorder::CCallback(int code, const char* message, const char* data, void* user) {
  Get().Add({code, message, data, std::this_thread::get_id(), user});
}

void CallbackRecorder::Add(Call call) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(std::move(call));
  }
  cv_.notify_all();
}

bool CallbackRecorder::WaitFor(std::size_t n, std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, limit, [&] { return calls_.size() >= n; });
}

std::vector<Call> CallbackRecorder::Calls() {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}

std::size_t CallbackRecorder::Count() {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_.size();
}

}  // namespace nimo_test
