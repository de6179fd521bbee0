// Records every line the "default" logger dispatches while an instance lives.
// Logging must be enabled (CNimoCore::InitLog(true)) for lines to be dispatched.
#pragma once

#include <easylogging++.h>

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
    el::Helpers::installLogDispatchCallback<Sink>("nimotest-capture");
    el::Helpers::logDispatchCallback<Sink>("nimotest-capture")->Clear();
  }
  ~LogCapture() { el::Helpers::uninstallLogDispatchCallback<Sink>("nimotest-capture"); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<LogLine> Lines() const { return el::Helpers::logDispatchCallback<Sink>("nimotest-capture")->Lines(); }
  void Clear() { el::Helpers::logDispatchCallback<Sink>("nimotest-capture")->Clear(); }

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
      if (data == nullptr || data->logMessage() == nullptr) return;
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back({data->logMessage()->level(), data->logMessage()->message()});
    }

   private:
    mutable std::mutex mutex_;
    std::vector<LogLine> lines_;
  };
};

}  // namespace nimotest
