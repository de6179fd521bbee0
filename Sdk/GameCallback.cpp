#include "Sdk/GameCallback.h"

#include <nlohmann/json.hpp>

#include "Sdk/CNimoDelivery.h"
#include "Sdk/HttpResp.h"
#include "Sdk/ResultCode.h"

namespace NimoSdk {

GameCallback::GameCallback(ResultCallback callback) {
  if (callback != nullptr) op_ = Delivery().Open(callback, nullptr, nullptr);
}

GameCallback::GameCallback(CResultCallback callback, void* user) {
  if (callback != nullptr) op_ = Delivery().Open(nullptr, callback, user);
}

ForC ProductNotFoundForC() { return {true, ResultCode::kProductNotFoundForC, ""}; }

ForC TransportForC(const HttpResp& resp, const std::string& report) {
  if (resp.code != ResultCode::kHttpError || resp.reason == FailReason::None) return {};
  nlohmann::json data = nlohmann::json::object();
  if (!report.empty()) {
    data = nlohmann::json::parse(report, nullptr, false);
    if (!data.is_object()) return {};
  }
  data["reason"] = ReasonName(resp.reason);
  data["detail"] = resp.detail;
  if (resp.reason == FailReason::HttpStatus) data["status"] = resp.status;
  return {true, resp.code, data.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)};
}

bool NotifyGame(const GameCallback& callback, int code, const std::string& message, const std::string& data,
                const ForC& forC) {
  if (!callback) return false;
  return Delivery().Finish(callback.Operation(), code, message, data, forC);
}

bool NotifyGame(const GameCallback& callback, const HttpResp& resp) { return NotifyGame(callback, "", resp); }

bool NotifyGame(const GameCallback& callback, const std::string& prefix, const HttpResp& resp) {
  if (!callback) return false;
  return Delivery().Finish(callback.Operation(), resp.code, prefix + resp.msg, resp.data, TransportForC(resp));
}

bool NotifyGameSettled(const GameCallback& callback, int code, const std::string& message, const std::string& data,
                       const std::function<void()>& settled, const ForC& forC) {
  if (!callback) return false;
  return Delivery().Settle(callback.Operation(), code, message, data, settled, forC);
}

}  // namespace NimoSdk
