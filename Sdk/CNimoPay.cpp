#include "Sdk/CNimoPay.h"

#include <easylogging++.h>

#include <chrono>
#include <vector>

#include "Sdk/CNimoCore.h"
#include "Sdk/CNimoTrack.h"
#include "Sdk/JsonFields.h"
#include "Sdk/NimoUtils.h"
#include "Sdk/ServerAnswers.h"
#include "Sdk/Singletons.h"

namespace NimoSdk {
namespace {

const char kParseError[] = "Server JSON Parse Error.";

HttpResp ParseFailure() { return HttpResp{-501, NimoUtils::Utf8ToWide(kParseError), L""}; }

bool IsTransportFailure(int code) { return code == -501 || code == -502; }

}  // namespace

CNimoPay::CNimoPay() {
  productMap_.rehash(8);
  productMap_.max_load_factor(1.0f);
  orderMap_.rehash(8);
  orderMap_.max_load_factor(1.0f);
}

bool CNimoPay::IsProductsLoaded() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return productsLoaded_;
}

bool CNimoPay::HasOrder(const std::string& steamOrderId) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return orderMap_.count(steamOrderId) != 0;
}

std::size_t CNimoPay::ProductCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return productMap_.size();
}

// ---------------------------------------------------------------- catalogue

void CNimoPay::QueryProducts(GameCallback callback) {
  if (IsProductsLoaded()) {
    ProductResult r = BuildProductResult();
    NotifyGame(callback, r.code, r.msg, r.data);
    return;
  }
  if (Core().isExit.load()) {
    NotifyGame(callback, -400, "Process Exit!");
    return;
  }
  QueryProducts(
      [this, callback] {
        ProductResult r = BuildProductResult();
        NotifyGame(callback, r.code, r.msg, r.data);
      },
      [callback](HttpResp resp) { NotifyGame(callback, resp.code, resp.msg, resp.data); });
}

void CNimoPay::QueryProducts(std::function<void()> onReady, std::function<void(HttpResp)> onFailure) {
  if (IsProductsLoaded()) {
    LOG(INFO) << "Query Products Already Init";
    if (onReady) onReady();
    return;
  }
  Api().RequestProducts([this, onReady, onFailure](HttpResp resp) { OnProductsAnswer(resp, onReady, onFailure); });
}

void CNimoPay::OnProductsAnswer(const HttpResp& resp, const std::function<void()>& onReady,
                                const std::function<void(HttpResp)>& onFailure) {
  if (Core().isExit.load()) return;
  if (resp.code != 200) {
    if (onFailure) onFailure(resp);
    return;
  }
  LOG(INFO) << "开始解析商品列表";
  std::vector<ProductInfo> products;
  if (!ReadCatalogue(NimoUtils::WideToUtf8(resp.data), products)) {
    // The catalogue stays as it was; the caller still hears back once.
    if (onFailure) onFailure(ParseFailure());
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& p : products) productMap_[p.productId] = p;
    productsLoaded_ = true;
  }
  if (onReady) onReady();
}

CNimoPay::ProductResult CNimoPay::BuildProductResult() const {
  json data = json::object();
  data["code"] = 200;
  data["msg"] = "Success";
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [id, p] : productMap_) {
      json item = json::object();
      item["productId"] = p.productId;
      item["productName"] = p.productName;
      item["productDesc"] = p.productDesc;
      item["gameCurrencyAmount"] = p.gameCurrencyAmount;
      data["productList"].push_back(std::move(item));
    }
  }
  return {200, "Success", data.dump(-1, ' ', false, json::error_handler_t::replace)};
}

// ---------------------------------------------------------------- orders

void CNimoPay::CreateOrder(std::string productId, std::string extInfo, GameCallback callback) {
  auto orderStep = [this, productId, extInfo, callback] { OrderStep(productId, extInfo, callback); };
  if (IsProductsLoaded()) {
    orderStep();
    return;
  }
  if (Core().isExit.load()) {
    NotifyGame(callback, -400, "Process Exit!");
    return;
  }
  QueryProducts(orderStep, [callback](HttpResp resp) {
    NotifyGame(callback, resp.code, L"Query Product Failure, " + resp.msg, resp.data);
  });
}

void CNimoPay::OrderStep(const std::string& productId, const std::string& extInfo, GameCallback callback) {
  ProductInfo product;
  bool found = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = productMap_.find(productId);
    found = it != productMap_.end();
    if (found) product = it->second;
  }
  if (!found) {
    LOG(WARNING) << "Not Found Product：" << productId;
    NotifyGame(callback, -400, "Not Found Product.");
    return;
  }
  UserFacts user = Core().User();
  CreateOrderParams params;
  params.productId = productId;
  params.userId = user.userId;
  params.serverId = user.serverId;
  params.gameUserId = user.gameUserId;
  params.nickName = user.nickName;
  params.orderAmountMicros = "0";
  json info = json::object();
  info["deviceId"] = Track().DeviceId();
  info["resolution"] = Track().Resolution();
  params.collectionInfo = info.dump(-1, ' ', false, json::error_handler_t::replace);
  params.currencyCode = "";
  params.extInfo = extInfo;
  Api().RequestCreateOrder(std::move(params), [this, product, extInfo, callback](HttpResp resp) {
    OnCreateOrderAnswer(resp, product, extInfo, callback);
  });
}

void CNimoPay::OnCreateOrderAnswer(const HttpResp& resp, const ProductInfo& product, const std::string& extInfo,
                                   GameCallback callback) {
  if (Core().isExit.load()) return;
  if (resp.code != 200) {
    NotifyGame(callback, resp.code, resp.msg, resp.data);
    return;
  }
  PayOrder order;
  order.product = product;
  order.callback = callback;
  order.extInfo = extInfo;
  const bool readable = ReadOrder(NimoUtils::WideToUtf8(resp.data), order);
  if (!readable) {
    NotifyGame(callback, -501, kParseError);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    orderMap_[order.steamOrderId] = order;
  }
  LOG(INFO) << "Save SteamOrderId:" << order.steamOrderId << ",OrderId:" << order.orderId;
}

// ---------------------------------------------------------------- payment results

void CNimoPay::PayResult(std::string status, std::string steamOrderId) {
  UserFacts user = Core().User();
  PayOrder order;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = orderMap_.find(steamOrderId);
    if (it == orderMap_.end()) {
      LOG(WARNING) << "Not Found Steam Order：" << steamOrderId;
      return;
    }
    if (it->second.reporting) {
      // A repeated Steam answer while the first is being reported would pay twice.
      LOG(WARNING) << "Steam Order Already Reporting, Ignored：" << steamOrderId;
      return;
    }
    it->second.reporting = true;
    order = it->second;
  }
  PayResultParams params;
  params.channelPayType = "";
  params.orderId = order.orderId;
  json verify = json::object();
  verify["steamOrderId"] = steamOrderId;
  params.extVerifyInfo = verify.dump(-1, ' ', false, json::error_handler_t::replace);
  params.payAmountMicros = status == "1" ? std::to_string(order.defaultAmountMicro) : "0";
  params.serverId = user.serverId;
  params.gameUserId = user.gameUserId;
  params.status = status;
  params.trxId = "";
  params.trxToken = "";
  params.userId = user.userId;
  params.channelProductId = order.product.channelProductId;
  SendPayResult(std::move(params), std::move(order), 1);
}

void CNimoPay::SendPayResult(PayResultParams params, PayOrder order, int attempt) {
  PayResultParams copy = params;
  Api().RequestPayResult(std::move(copy), [this, params, order, attempt](HttpResp resp) {
    OnPayResultAnswer(resp, params, order, attempt);
  });
}

void CNimoPay::OnPayResultAnswer(const HttpResp& resp, const PayResultParams& params, const PayOrder& order,
                                 int attempt) {
  if (Core().isExit.load()) return;
  std::int32_t status = 0;
  const bool readable = ReadPayResult(NimoUtils::WideToUtf8(resp.data), status);
  if (!readable) {
    // The server's report is idempotent: ask again before giving up.
    if (attempt < kPayResultAttempts) {
      int delay = retryBackoffMs_ << (attempt - 1);
      LOG(WARNING) << "Pay Result report failed (" << resp.code << "), retry " << attempt << " of "
                   << (kPayResultAttempts - 1) << " for SteamOrderId:" << order.steamOrderId;
      if (!Core().SleepUnlessExit(std::chrono::milliseconds(delay))) return;
      SendPayResult(params, order, attempt + 1);
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = orderMap_.find(order.steamOrderId);
      if (it != orderMap_.end()) it->second.reporting = false;  // kept, so a later answer can report again
    }
    std::string report = BuildReport(order, 0);
    bool transport = IsTransportFailure(resp.code);
    NotifyGame(order.callback, transport ? resp.code : -501, transport ? resp.msg : NimoUtils::Utf8ToWide(kParseError),
               NimoUtils::Utf8ToWide(report));
    LOG(INFO) << "Notify Pay Result Callback , Data:" << report;
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = orderMap_.find(order.steamOrderId);
    if (resp.code == 200 && status == 1) {
      if (it != orderMap_.end()) orderMap_.erase(it);
    } else if (it != orderMap_.end()) {
      it->second.reporting = false;
    }
  }
  if (resp.code == 200 && status == 1) {
    LOG(INFO) << "Notify Pay Result Success, Remove Order Map:" << order.steamOrderId;
  }
  std::string report = BuildReport(order, status);
  if (order.callback && !NotifyGame(order.callback, resp.code, resp.msg, NimoUtils::Utf8ToWide(report))) {
    // A repeated Steam answer for a purchase the game already heard about: the
    // server has it, the game's callback was used up by the first report.
    LOG(WARNING) << "Pay Result not delivered, the purchase was already answered:" << report;
  }
  LOG(INFO) << "Notify Pay Result Callback , Data:" << report;
}

std::string CNimoPay::BuildReport(const PayOrder& order, std::int32_t status) {
  json report = json::object();
  report["amount"] = order.defaultAmountMicro;
  report["currency"] = order.defaultCurrency;
  report["extInfo"] = order.extInfo;
  report["orderId"] = order.orderId;
  report["productId"] = order.product.productId;
  report["quantity"] = 1;
  report["status"] = status;
  return report.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace NimoSdk
