#include "Sdk/NimoLog.h"

#include <easylogging++.h>

#include <fstream>
#include <mutex>

#include "platform/sync/Mutex.h"

namespace NimoSdk {
namespace {

const char kLogFile[] = "nimolog.log";

// Every line the logging library lets through for the file, appended to
// nimolog.log, which is opened with the first of them.
class FileSink : public el::LogDispatchCallback {
 protected:
  void handle(const el::LogDispatchData* data) override {
    if (data->dispatchAction() != el::base::DispatchAction::NormalLog) return;
    const el::LogMessage* message = data->logMessage();
    const std::string line = message->logger()->logBuilder()->build(message, true);
    nimo_sync::MutexLock lock(mutex_);
    if (!file_.is_open()) {
      if (failed_) return;
      file_.open(kLogFile, std::ios::out | std::ios::app | std::ios::binary);
      if (!file_.is_open()) {
        failed_ = true;  // a read-only folder: standard output still has the lines
        return;
      }
    }
    file_.write(line.data(), static_cast<std::streamsize>(line.size()));
    file_.flush();  // logging is on for test devices only; a crash must not eat the last lines
  }

 private:
  nimo_sync::Mutex mutex_;
  std::ofstream file_ GUARDED_BY(mutex_);
  bool failed_ GUARDED_BY(mutex_) = false;
};

// The library's own file output stays off: it opens its file when configured.
void LibraryFileOff(el::Configurations& conf) { conf.setGlobally(el::ConfigurationType::ToFile, "false"); }

}  // namespace

// Our threads may still log while a game ends without Exit: the logging
// library's storage stays for the process instead of going with its statics.
// A global the leak checker sees, never freed.
el::base::type::StoragePointer* gLogStorageKept = nullptr;

void RouteLogFileThroughSink() {
  el::Helpers::installLogDispatchCallback<FileSink>("NimoFileSink");
  el::Loggers::reconfigureAllLoggers(el::ConfigurationType::ToFile, "false");
}

void KeepLogForThreads() {
  static std::once_flag once;
  // The flag word is read unlocked by every LOG on every thread: written once, before any of ours runs.
  std::call_once(once, [] {
    gLogStorageKept = new el::base::type::StoragePointer(el::Helpers::storage());
    el::Loggers::addFlag(el::LoggingFlag::NewLineForContainer);
  });
}

void ConfigureLog(bool enabled) {
  KeepLogForThreads();
  el::Configurations conf;
  conf.setToDefault();
  conf.setGlobally(el::ConfigurationType::Format, "%datetime [%level]: %msg");
  conf.setGlobally(el::ConfigurationType::Enabled, enabled ? "true" : "false");
  LibraryFileOff(conf);
  el::Loggers::reconfigureLogger("default", conf);
}

}  // namespace NimoSdk
