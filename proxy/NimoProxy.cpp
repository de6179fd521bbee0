// The twelve C++ exports: convert the arguments, call one singleton, return.
// Nothing is thrown back into the game. The C functions (NimoC.cpp) make the same calls.
#include "nimosdk64.h"

#include "Sdk/CNimoCore.h"
#include "Sdk/CNimoPay.h"
#include "Sdk/CNimoTrack.h"
#include "Sdk/NimoUtils.h"
#include "Sdk/Singletons.h"
#include "proxy/Guard.h"

using NimoSdk::Core;
using NimoSdk::NimoUtils;

namespace NimoProxy {

void Init(std::wstring appId, std::wstring appKey, ResultCallback callback) {
  Guarded([&] {
    std::string key = NimoUtils::WideToUtf8(appKey);
    std::string id = NimoUtils::WideToUtf8(appId);
    Core().InitSdk(std::move(id), std::move(key), callback);
  });
}

void Exit() {
  Guarded([&] { Core().Exit(); });
}

void Login(ResultCallback callback) {
  Guarded([&] { Core().LoginSteam(callback); });
}

void Logout() {
  Guarded([&] { Core().Logout(); });
}

void CallPay(std::wstring productId, std::wstring extInfo, ResultCallback callback) {
  Guarded([&] { Core().CallPay(NimoUtils::WideToUtf8(productId), NimoUtils::WideToUtf8(extInfo), callback); });
}

bool IsPayAvailable() {
  return Guarded(false, [] { return Core().IsPayAvailable(); });
}

void PostEvent(const std::wstring& eventName, const std::wstring& params, double value) {
  Guarded([&] { NimoSdk::Track().PostEvent(NimoUtils::WideToUtf8(eventName), NimoUtils::WideToUtf8(params), value); });
}

void QueryProducts(ResultCallback callback) {
  Guarded([&] { NimoSdk::Pay().QueryProducts(callback); });
}

void SetGameUserId(std::wstring gameUserId) {
  Guarded([&] { Core().SetGameUserId(NimoUtils::WideToUtf8(gameUserId)); });
}

void SetLevel(int level) {
  Guarded([&] { Core().SetLevel(level); });
}

void SetNickName(std::wstring nickName) {
  Guarded([&] { Core().SetNickName(NimoUtils::WideToUtf8(nickName)); });
}

void SetServerId(std::wstring serverId) {
  Guarded([&] { Core().SetServerId(NimoUtils::WideToUtf8(serverId)); });
}

}  // namespace NimoProxy
