// Records every line the "default" logger dispatches while an instance lives.
// Logging must be enabled (CNimoCore::InitLog(true)) for lines to be dispatched.
// The sink is installed once per process and never removed: easylogging++ reads
// its callback table without a lock, and HTTP workers may still be logging when
// a test ends.
#pragma once

#include <easylogging++.h>

#include <atomic>
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

  std::vector<LogLine> Lines() const { return sink_->Lines(); }
  void Clear() { sink_->Clear(); }

  // The texts of the lines at one level, in order.
  std::vector<std::string> At(el::Level level) const {
    std::vector<std::string> out;
    for (const LogLine& l : Lines())
      if (l.level == level) out.push_back(l.text);
    return out;
  }
  std::vector<std::string> Errors() const { return At(el::Level::Error); }
  std::vector<std::string> Infos() const { return At(el::Level::Info); }

  // The lines at any level that start with prefix.
  std::vector<std::string> StartingWith(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const LogLine& l : Lines())
      if (l.text.compare(0, prefix.size(), prefix) == 0) out.push_back(l.text);
    return out;
  }

  class Sink : public el::LogDispatchCallback {
   public:
    std::vector<LogLine> Lines() const {
      std::lock_guard<std::mutex> lock(mutex_);
      return lines_;
    }
    void Clear() {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.clear();
    }

   protected:
    void handle(const el::LogDispatchData* data) override {
      if (!active_ || data == nullptr || data->logMessage() == nullptr) return;
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back({data->logMessage()->level(), data->logMessage()->message()});
    }

   private:
    friend class LogCapture;
    std::atomic<bool> active_{false};
    mutable std::mutex mutex_;
    std::vector<LogLine> lines_;
  };

 private:
  Sink* sink_ = nullptr;
};

}  // namespace nimotest
