// The request table: the server's URLs and one builder per endpoint. Each builder
// copies the core parameters once, forms the signed body and posts it; the
// handler later runs on an HTTP worker thread.
#pragma once

#include <functional>
#include <string>

#include "Sdk/CoreParams.h"
#include "Sdk/HttpResp.h"
#include "Sdk/SessionFacts.h"
#include "platform/sync/Mutex.h"

namespace NimoSdk {

// Handed to the create-order request.
struct CreateOrderParams {
  std::string productId;
  std::string userId;
  std::string serverId;
  std::string gameUserId;
  std::string nickName;
  std::string orderAmountMicros;
  std::string collectionInfo;
  std::string currencyCode;
  std::string extInfo;
};

// Handed to the pay-result request.
struct PayResultParams {
  std::string channelPayType;
  std::string orderId;
  std::string extVerifyInfo;
  std::string payAmountMicros;
  std::string serverId;
  std::string gameUserId;
  std::string status;
  std::string trxId;
  std::string trxToken;
  std::string userId;
  std::string channelProductId;
};

// A request body and the text its osign was computed from.
struct SignedBody {
  std::string body;
  std::string signText;
};

// The server's URLs in force.
struct ApiUrls {
  std::string baseUrl;
  std::string initUrl;
  std::string configUrl;
  std::string attributionUrl;
  std::string productsUrl;
  std::string createOrderUrl;
  std::string payResultUrl;
  std::string trackUrl;
};

class CNimoApi {
 public:
  // The compiled-in URLs; the core parameters come from facts.
  explicit CNimoApi(const SessionFacts& facts);

  // Test seam: replaces the compiled-in URLs (the game's options and the
  // environment still win at the next Init) and uses them from now on.
  void UseUrls(std::string apiBaseUrl, std::string dataTrackUrl);
  // At Init: these URLs from now on; an empty one means the default.
  void ApplyUrls(const std::string& apiBaseUrl, const std::string& dataTrackUrl);
  // The defaults: compiled in, or those of UseUrls.
  std::string DefaultBaseUrl() const;
  std::string DefaultTrackUrl() const;
  ApiUrls Urls() const;

  static std::string Md5Hex(const std::string& text);
  // "appId=..&os=..&sdkVer=..&sdkType=..&clientId=..&runPlatform=..&gamePlatform=.."
  static std::string BuildCommonParams(const CoreParams& p);
  // A by-value copy of the nine core parameters.
  CoreParams Snapshot() const;

  // {"merId":"<steamAppId>"}, compact.
  static std::string MerchantJson(const CoreParams& p);

  // The bodies of the signed endpoints, from one parameter snapshot. userId is
  // the core's user id at the time of the request ("-1" when nobody is logged in).
  static SignedBody ClientConfigBody(const CoreParams& p);
  static SignedBody AttributionBody(const CoreParams& p);
  static SignedBody LoginBody(const CoreParams& p, const std::string& puserId, const std::string& accessToken);
  static SignedBody ProductsBody(const CoreParams& p);
  static SignedBody CreateOrderBody(const CoreParams& p, const CreateOrderParams& order, const std::string& userId);
  static SignedBody PayResultBody(const CoreParams& p, const PayResultParams& result, const std::string& userId);

  // Each returns once the request is queued; handler runs later on an HTTP worker.
  void RequestClientConfig(HttpHandler handler);
  void RequestAttribution(HttpHandler handler);
  void RequestLogin(std::string puserId, std::string accessToken, HttpHandler handler);
  void RequestProducts(HttpHandler handler);
  void RequestCreateOrder(CreateOrderParams order, HttpHandler handler);
  void RequestPayResult(PayResultParams result, HttpHandler handler);
  void PostTrackData(std::string body, HttpHandler handler);

 private:
  const SessionFacts& facts_;
  mutable nimo_sync::Mutex mutex_;
  std::string defaultBase_ GUARDED_BY(mutex_);
  std::string defaultTrack_ GUARDED_BY(mutex_);
  ApiUrls urls_ GUARDED_BY(mutex_);
};

}  // namespace NimoSdk
