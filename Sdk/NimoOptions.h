// The game's settings of the SDK (server URLs, trusted CA, time limits), set
// before Init. At each Init the settings in force are fixed: the game's value,
// else the environment's (unless the game said environment=ignore), else the
// default; they stay fixed until Exit has returned.
#pragma once

#include <array>
#include <optional>
#include <string>

#include "Sdk/CNimoApi.h"
#include "platform/sync/Mutex.h"

namespace NimoSdk {

enum class SetOptionResult { Ok, TooLate, Invalid };

class CNimoOptions {
 public:
  // api: its URLs are the defaults, and where the fixed ones go.
  explicit CNimoOptions(CNimoApi& api) : api_(api) {}
  CNimoOptions(const CNimoOptions&) = delete;
  CNimoOptions& operator=(const CNimoOptions&) = delete;

  // An empty value drops the game's setting. Invalid for an unknown name or a
  // value that does not pass its check (a CA file is read here).
  SetOptionResult Set(const std::string& name, const std::string& value);
  // The value in force (before Init: the one Init would use now); false for an unknown name.
  bool Get(const std::string& name, std::string* value) const;

  // Init: fixes the settings and hands them to the transport. Does nothing
  // while already fixed (a repeated Init).
  void Freeze();
  // The settings in force and where each came from, to the log (no secrets: a
  // URL's query stays out). Nothing before Freeze.
  void LogInForce() const;
  // Exit has returned: settable again, read afresh at the next Init.
  void Thaw();

  enum Key { kApiBaseUrl, kTrackUrl, kCaFile, kCaOnly, kConnectTimeout, kIoTimeout, kRequestTimeout, kEnvironment,
             kKeyCount };
  using Values = std::array<std::string, kKeyCount>;

 private:
  Values Resolve(Values* sources) const EXCLUDES(mutex_);

  CNimoApi& api_;
  mutable nimo_sync::Mutex mutex_;
  std::array<std::optional<std::string>, kKeyCount> game_ GUARDED_BY(mutex_);
  bool frozen_ GUARDED_BY(mutex_) = false;
  Values inForce_ GUARDED_BY(mutex_);
  Values sources_ GUARDED_BY(mutex_);  // "game", "environment" or "default"
};

}  // namespace NimoSdk
