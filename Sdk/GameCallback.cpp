#include "Sdk/GameCallback.h"

#include "Sdk/NimoUtils.h"

namespace NimoSdk {

void NotifyGame(ResultCallback callback, int code, const std::wstring& message, const std::wstring& data) {
  if (callback == nullptr) return;
  try {
    callback(code, message, data);
  } catch (...) {
    // A game callback that throws must not unwind through our threads.
  }
}

void NotifyGame(ResultCallback callback, int code, const std::string& message, const std::string& data) {
  if (callback == nullptr) return;
  NotifyGame(callback, code, NimoUtils::Utf8ToWide(message), NimoUtils::Utf8ToWide(data));
}

}  // namespace NimoSdk
