// Records every line the "default" logger dispatches while an instance lives (none while logging is off).
// The sink is installed once per process and never removed: easylogging++ reads its callback table
// without a lock, and HTTP workers may still be logging when a test ends.
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
  LogCapture() : sink_(TheSink()) {
    Clear();
    sink_->active = true;
  }
  ~LogCapture() { sink_->active = false; }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<LogLine> Lines() const {
    std::lock_guard<std::mutex> lock(sink_->mutex);
    return sink_->lines;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(sink_->mutex);
    sink_->lines.clear();
  }

  // The texts of the lines at one level, or at any level starting with prefix, in order.
  std::vector<std::string> At(el::Level level) const {
    return Texts([level](const LogLine& l) { return l.level == level; });
  }
  std::vector<std::string> Errors() const { return At(el::Level::Error); }
  std::vector<std::string> Infos() const { return At(el::Level::Info); }
  std::vector<std::string> StartingWith(const std::string& prefix) const {
    return Texts([&prefix](const LogLine& l) { return l.text.compare(0, prefix.size(), prefix) == 0; });
  }

  struct Sink : el::LogDispatchCallback {
    void handle(const el::LogDispatchData* data) override {
      if (!active || data == nullptr || data->logMessage() == nullptr) return;
      std::lock_guard<std::mutex> lock(mutex);
      lines.push_back({data->logMessage()->level(), data->logMessage()->message()});
    }
    std::atomic<bool> active{false};
    std::mutex mutex;
    std::vector<LogLine> lines;  // guarded by mutex
  };

 private:
  static Sink* TheSink() {
    static Sink* const sink = [] {
      el::Helpers::installLogDispatchCallback<Sink>("nimotest-capture");
      return el::Helpers::logDispatchCallback<Sink>("nimotest-capture");
    }();
    return sink;
  }
  std::vector<std::string> Texts(const std::function<bool(const LogLine&)>& keep) const {
    std::vector<std::string> out;
    for (const LogLine& l : Lines())
      if (keep(l)) out.push_back(l.text);
    return out;
  }
  Sink* const sink_;
};

}  // namespace nimotest
