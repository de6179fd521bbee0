// The twelve C++ exports: convert the arguments, call one singleton, return.
// Nothing is thrown back into the game. The C functions (NimoC.cpp) make the same calls.
#pragma GCC visibility push(default)
#include "nimosdk64.h"
#pragma GCC visibility pop

#include "Sdk/CNimoCore.h"
#include "Sdk/CNimoPay.h"
#include "Sdk/CNimoTrack.h"
#include "Sdk/NimoUtils.h"
#include "Sdk/Singletons.h"

using NimoSdk::Core;
using NimoSdk::NimoUtils;

namespace NimoProxy {

void Init(std::wstring appId, std::wstring appKey, ResultCallback callback) {
  try {
    std::string key = NimoUtils::WideToUtf8(appKey);
    std::string id = NimoUtils::WideToUtf8(appId);
    Core().InitSdk(std::move(id), std::move(key), callback);
  } catch (...) {
  }
}

void Exit() {
  try {
    Core().Exit();
  } catch (...) {
  }
}

void Login(ResultCallback callback) {
  try {
    Core().LoginSteam(callback);
  } catch (...) {
  }
}

void Logout() {
  try {
    Core().Logout();
  } catch (...) {
  }
}

void CallPay(std::wstring productId, std::wstring extInfo, ResultCallback callback) {
  try {
    Core().CallPay(NimoUtils::WideToUtf8(productId), NimoUtils::WideToUtf8(extInfo), callback);
  } catch (...) {
  }
}

bool IsPayAvailable() {
  try {
    return Core().IsPayAvailable();
  } catch (...) {
    return false;
  }
}

void PostEvent(const std::wstring& eventName, const std::wstring& params, double value) {
  try {
    NimoSdk::Track().PostEvent(NimoUtils::WideToUtf8(eventName), NimoUtils::WideToUtf8(params), value);
  } catch (...) {
  }
}

void QueryProducts(ResultCallback callback) {
  try {
    NimoSdk::Pay().QueryProducts(callback);
  } catch (...) {
  }
}

void SetGameUserId(std::wstring gameUserId) {
  try {
    Core().SetGameUserId(NimoUtils::WideToUtf8(gameUserId));
  } catch (...) {
  }
}

void SetLevel(int level) {
  try {
    Core().SetLevel(level);
  } catch (...) {
  }
}

void SetNickName(std::wstring nickName) {
  try {
    Core().SetNickName(NimoUtils::WideToUtf8(nickName));
  } catch (...) {
  }
}

void SetServerId(std::wstring serverId) {
  try {
    Core().SetServerId(NimoUtils::WideToUtf8(serverId));
  } catch (...) {
  }
}

}  // namespace NimoProxy
