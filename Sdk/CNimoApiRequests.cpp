// The endpoint requests. Body and sign list are two separate lists per endpoint,
// fixed by what the server verifies: neither is derived from the other, and
// values go in raw (no URL encoding), the same bytes hashed as sent.
#include <nlohmann/json.hpp>

#include "Sdk/CNimoApi.h"
#include "Sdk/CNimoHttp.h"
#include "http/Header.h"

namespace NimoSdk {
namespace {

// Appends "&key=value" pairs to a body that already holds the common parameters.
class Body {
 public:
  explicit Body(std::string common) : text_(std::move(common)) {}
  Body& Add(const char* key, const std::string& value) {
    text_ += '&';
    text_ += key;
    text_ += '=';
    text_ += value;
    return *this;
  }
  SignedBody Sign(std::string signText) {
    Add("osign", CNimoApi::Md5Hex(signText));
    return {std::move(text_), std::move(signText)};
  }

 private:
  std::string text_;
};

std::string Concat(std::initializer_list<const std::string*> values) {
  std::string out;
  for (const std::string* v : values) out += *v;
  return out;
}

const std::string kSteam = "STEAM";
const std::string kOne = "1";
const std::string kPageSize = "999";
const std::string kUnknown = "_unknown";
const std::string kNoUser = "-1";
const std::string kEmpty;

}  // namespace

std::string CNimoApi::MerchantJson(const CoreParams& p) {
  nlohmann::json merchant = {{"merId", p.steamAppId}};
  return merchant.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

SignedBody CNimoApi::ClientConfigBody(const CoreParams& p) {
  return Body(BuildCommonParams(p))
      .Sign(Concat({&p.appId, &p.appKey, &p.clientId, &p.os, &p.sdkVer, &p.sdkType, &p.runPlatform}));
}

SignedBody CNimoApi::AttributionBody(const CoreParams& p) {
  return Body(BuildCommonParams(p))
      .Add("osVer", kUnknown)
      .Add("urlParams", kEmpty)
      .Add("channelId", kUnknown)
      .Add("subChannelId", kUnknown)
      .Add("lp", kUnknown)
      .Add("userId", kNoUser)
      .Add("browser", kUnknown)
      .Add("browserVersion", kUnknown)
      .Add("language", kUnknown)
      .Sign(Concat({&p.appId, &p.appKey, &p.sdkVer, &p.sdkType, &p.os, &kUnknown, &p.clientId, &p.runPlatform,
                    &p.gamePlatform, &kEmpty, &kUnknown, &kUnknown, &kUnknown, &kNoUser, &kUnknown, &kUnknown,
                    &kUnknown}));
}

SignedBody CNimoApi::LoginBody(const CoreParams& p, const std::string& puserId, const std::string& accessToken) {
  const std::string extra = MerchantJson(p);
  return Body(BuildCommonParams(p))
      .Add("platform", kSteam)
      .Add("bindType", kOne)
      .Add("puserId", puserId)
      .Add("accessToken", accessToken)
      .Add("extra", extra)
      .Sign(Concat({&p.appId, &p.appKey, &kOne, &p.sdkVer, &p.sdkType, &p.clientId, &p.runPlatform, &p.gamePlatform,
                    &kSteam, &accessToken}));
}

SignedBody CNimoApi::ProductsBody(const CoreParams& p) {
  const std::string extra = MerchantJson(p);
  return Body(BuildCommonParams(p))
      .Add("page", kOne)
      .Add("pageSize", kPageSize)
      .Add("extra", extra)
      .Sign(Concat({&p.sdkVer, &p.sdkType, &p.clientId, &p.appId, &p.os, &p.runPlatform, &p.gamePlatform, &extra,
                    &kOne, &kPageSize, &p.appKey}));
}

SignedBody CNimoApi::CreateOrderBody(const CoreParams& p, const CreateOrderParams& o, const std::string& userId) {
  const std::string merchant = MerchantJson(p);
  return Body(BuildCommonParams(p))
      .Add("appKey", p.appKey)
      .Add("channel", kSteam)
      .Add("productId", o.productId)
      .Add("orderAmountMicros", o.orderAmountMicros)
      .Add("currencyCode", o.currencyCode)
      .Add("extInfo", o.extInfo)
      .Add("collectionInfo", o.collectionInfo)
      .Add("userId", userId)
      .Add("serverId", o.serverId)
      .Add("gameUserId", o.gameUserId)
      .Add("nickName", o.nickName)
      .Add("sdkExtInfo", merchant)
      .Sign(Concat({&p.appId, &p.appKey, &kSteam, &p.clientId, &o.currencyCode, &o.extInfo, &o.orderAmountMicros,
                    &o.productId, &p.sdkVer, &p.sdkType, &p.os, &p.runPlatform, &p.gamePlatform, &o.serverId,
                    &o.gameUserId, &o.nickName, &userId, &o.collectionInfo, &merchant}));
}

SignedBody CNimoApi::PayResultBody(const CoreParams& p, const PayResultParams& r, const std::string& userId) {
  return Body(BuildCommonParams(p))
      .Add("channel", kSteam)
      .Add("userId", userId)
      .Add("serverId", r.serverId)
      .Add("gameUserId", r.gameUserId)
      .Add("orderId", r.orderId)
      .Add("extVerifyInfo", r.extVerifyInfo)
      .Add("status", r.status)
      .Add("payAmountMicros", r.payAmountMicros)
      .Add("channelPayType", r.channelPayType)
      .Add("channelProductId", r.channelProductId)
      .Add("trxId", r.trxId)
      .Add("trxToken", r.trxToken)
      .Sign(Concat({&p.appId, &p.appKey, &kSteam, &r.channelPayType, &p.clientId, &r.orderId, &r.extVerifyInfo,
                    &r.payAmountMicros, &p.sdkVer, &p.sdkType, &p.os, &p.runPlatform, &p.gamePlatform, &r.serverId,
                    &r.gameUserId, &r.status, &r.trxId, &r.trxToken, &userId, &r.channelProductId}));
}

void CNimoApi::RequestClientConfig(HttpHandler handler) {
  CNimoHttp::PostCallback(Urls().configUrl, ClientConfigBody(Snapshot()).body, std::move(handler), nullptr);
}

void CNimoApi::RequestAttribution(HttpHandler handler) {
  CNimoHttp::PostCallback(Urls().attributionUrl, AttributionBody(Snapshot()).body, std::move(handler), nullptr);
}

void CNimoApi::RequestLogin(std::string puserId, std::string accessToken, HttpHandler handler) {
  CNimoHttp::PostCallback(Urls().initUrl, LoginBody(Snapshot(), puserId, accessToken).body, std::move(handler),
                          nullptr);
}

void CNimoApi::RequestProducts(HttpHandler handler) {
  CNimoHttp::PostCallback(Urls().productsUrl, ProductsBody(Snapshot()).body, std::move(handler), nullptr);
}

void CNimoApi::RequestCreateOrder(CreateOrderParams order, HttpHandler handler) {
  // The server's user id of the session, not the record's copy.
  CNimoHttp::PostCallback(Urls().createOrderUrl, CreateOrderBody(Snapshot(), order, facts_.UserId()).body,
                          std::move(handler), nullptr);
}

void CNimoApi::RequestPayResult(PayResultParams result, HttpHandler handler) {
  // The user who bought, frozen in the order: a Logout or another login since
  // must not change who the report is for.
  const std::string userId = result.userId;
  CNimoHttp::PostCallback(Urls().payResultUrl, PayResultBody(Snapshot(), result, userId).body, std::move(handler),
                          nullptr);
}

void CNimoApi::PostTrackData(std::string body, HttpHandler handler) {
  sion::Header header;
  header.Add("Content-Type", "text/plain;charset=UTF-8");
  CNimoHttp::PostInBackground(Urls().trackUrl, body, std::move(handler), &header);
}

}  // namespace NimoSdk
