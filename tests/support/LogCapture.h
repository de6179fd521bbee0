// Records every line the "default" logger dispatches while an instance lives
// (none while logging is disabled). The sink is installed once per process and
// never removed: easylogging++ reads its callback table without a lock, and HTTP
// workers may still be logging when a test ends.
#pragma once

#include <easylogging++.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace nimotest {

struct LogLine {
  el::Level level;
  std::string text;
};

class LogCapture {
 public:
  LogCapture() {
    static Sink* const sink = [] {
      el::Helpers::installLogDispatchCallback<Sink>("nimotest-capture");
      return el::Helpers::logDispatchCallback<Sink>("nimotest-capture");
    }();
    sink_ = sink;
    sink_->Clear();
    sink_->active_ = true;
  }
  ~LogCapture() { sink_->active_ = false; }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<LogLine> Lines() const {
    std::lock_guard<std::mutex> lock(sink_->mutex_);
    return sink_->lines_;
  }
  void Clear() { sink_->Clear(); }

  // The texts of the lines at one level, or at any level starting with prefix, in order.
  std::vector<std::string> At(el::Level level) const {
    return Texts([level](const LogLine& l) { return l.level == level; });
  }
  std::vector<std::string> Errors() const { return At(el::Level::Error); }
  std::vector<std::string> Infos() const { return At(el::Level::Info); }
  std::vector<std::string> StartingWith(const std::string& prefix) const {
    return Texts([&prefix](const LogLine& l) { return l.text.compare(0, prefix.size(), prefix) == 0; });
  }

  class Sink : public el::LogDispatchCallback {
   protected:
    void handle(const el::LogDispatchData* data) override {
      if (!active_ || data == nullptr || data->logMessage() == nullptr) return;
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back({data->logMessage()->level(), data->logMessage()->message()});
    }

   private:
    friend class LogCapture;
    void Clear() {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.clear();
    }
    std::atomic<bool> active_{false};
    std::mutex mutex_;
    std::vector<LogLine> lines_;  // guarded by mutex_
  };

 private:
  std::vector<std::string> Texts(const std::function<bool(const LogLine&)>& keep) const {
    std::vector<std::string> out;
    for (const LogLine& l : Lines())
      if (keep(l)) out.push_back(l.text);
    return out;
  }
  Sink* sink_ = nullptr;
};

}  // namespace nimotest
