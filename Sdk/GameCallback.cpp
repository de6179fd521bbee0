#include "Sdk/GameCallback.h"

#include "Sdk/CNimoDelivery.h"
#include "Sdk/NimoUtils.h"

namespace NimoSdk {

GameCallback::GameCallback(ResultCallback callback) {
  if (callback != nullptr) op_ = Delivery().Open(callback, nullptr, nullptr);
}

GameCallback::GameCallback(CResultCallback callback, void* user) {
  if (callback != nullptr) op_ = Delivery().Open(nullptr, callback, user);
}

bool NotifyGame(const GameCallback& callback, int code, const std::wstring& message, const std::wstring& data) {
  if (!callback) return false;
  return Delivery().Finish(callback, code, NimoUtils::WideToUtf8(message), NimoUtils::WideToUtf8(data));
}

bool NotifyGame(const GameCallback& callback, int code, const std::string& message, const std::string& data) {
  if (!callback) return false;
  return Delivery().Finish(callback, code, message, data);
}

bool NotifyGameSettled(const GameCallback& callback, int code, const std::wstring& message, const std::wstring& data,
                       const std::function<void()>& settled) {
  if (!callback) return false;
  return Delivery().Settle(callback, code, NimoUtils::WideToUtf8(message), NimoUtils::WideToUtf8(data), settled);
}

}  // namespace NimoSdk
