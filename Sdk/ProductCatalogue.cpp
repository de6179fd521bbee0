#include "Sdk/ProductCatalogue.h"

#include <easylogging++.h>

#include <vector>

#include "Sdk/JsonFields.h"
#include "Sdk/NimoUtils.h"
#include "Sdk/ResultCode.h"
#include "Sdk/ServerAnswers.h"

namespace NimoSdk {
namespace {

HttpResp ParseFailure() {
  HttpResp r;
  r.code = ResultCode::kServerJsonError;
  r.msg = kServerParseError;
  return r;
}

}  // namespace

ProductCatalogue::ProductCatalogue(CNimoApi& api, const SessionEnd& end, ClientIdGate& idGate)
    : api_(api), end_(end), idGate_(idGate) {
  productMap_.rehash(8);
  productMap_.max_load_factor(1.0f);
}

bool ProductCatalogue::IsLoaded() const {
  nimo_sync::MutexLock lock(mutex_);
  return productsLoaded_;
}

std::size_t ProductCatalogue::Count() const {
  nimo_sync::MutexLock lock(mutex_);
  return productMap_.size();
}

bool ProductCatalogue::Find(const std::string& productId, ProductInfo& product) const {
  nimo_sync::MutexLock lock(mutex_);
  auto it = productMap_.find(productId);
  if (it == productMap_.end()) return false;
  product = it->second;
  return true;
}

void ProductCatalogue::Forget() {
  nimo_sync::MutexLock lock(mutex_);
  productMap_.clear();
  productsLoaded_ = false;
}

void ProductCatalogue::Query(GameCallback callback) {
  if (IsLoaded()) {
    Result r = BuildResult();
    NotifyGame(callback, r.code, r.msg, r.data);
    return;
  }
  if (end_.Exited()) {
    NotifyGame(callback, ResultCode::kProcessExit, "Process Exit!");
    return;
  }
  // The request carries the client id, which Init may still be reading.
  idGate_.AfterClientId([this, callback] {
    Load(
        [this, callback] {
          Result r = BuildResult();
          NotifyGame(callback, r.code, r.msg, r.data);
        },
        [callback](HttpResp resp) { NotifyGame(callback, resp); });
  });
}

void ProductCatalogue::Load(std::function<void()> onReady, std::function<void(HttpResp)> onFailure) {
  if (IsLoaded()) {
    LOG(INFO) << "Query Products Already Init";
    if (onReady) onReady();
    return;
  }
  api_.RequestProducts([this, onReady, onFailure](HttpResp resp) { OnProductsAnswer(resp, onReady, onFailure); });
}

void ProductCatalogue::OnProductsAnswer(const HttpResp& resp, const std::function<void()>& onReady,
                                        const std::function<void(HttpResp)>& onFailure) {
  if (end_.Exited()) return;
  if (resp.code != ResultCode::kOk) {
    if (onFailure) onFailure(resp);
    return;
  }
  LOG(INFO) << "开始解析商品列表";
  std::vector<ProductInfo> products;
  if (!ReadCatalogue(resp.data, products)) {
    // The catalogue stays as it was; the caller still hears back once.
    if (onFailure) onFailure(ParseFailure());
    return;
  }
  {
    nimo_sync::MutexLock lock(mutex_);
    for (auto& p : products) productMap_[p.productId] = p;
    productsLoaded_ = true;
  }
  if (onReady) onReady();
}

ProductCatalogue::Result ProductCatalogue::BuildResult() const {
  json data = json::object();
  data["code"] = ResultCode::kOk;
  data["msg"] = "Success";
  {
    nimo_sync::MutexLock lock(mutex_);
    for (const auto& [id, p] : productMap_) {
      json item = json::object();
      item["productId"] = p.productId;
      item["productName"] = p.productName;
      item["productDesc"] = p.productDesc;
      item["gameCurrencyAmount"] = p.gameCurrencyAmount;
      data["productList"].push_back(std::move(item));
    }
  }
  return {ResultCode::kOk, "Success", data.dump(-1, ' ', false, json::error_handler_t::replace)};
}

}  // namespace NimoSdk
