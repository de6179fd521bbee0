// The request table: the server's URLs and one builder per endpoint. Each builder
// copies the core parameters once, forms the signed body and posts it; the
// handler later runs on an HTTP worker thread.
#pragma once

#include <functional>
#include <string>

#include "Sdk/CoreParams.h"
#include "Sdk/HttpResp.h"

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

class CNimoApi {
 public:
  // Reads NIMOSDK_API_BASE_URL and NIMOSDK_TRACK_URL once; compiled-in defaults otherwise.
  CNimoApi();

  // Test seam: points the table at another server, as the two variables would
  // have at load. Call before any request is made; not safe against requests in flight.
  void UseUrls(std::string apiBaseUrl, std::string dataTrackUrl);

  // Constant after construction.
  std::string baseUrl;
  std::string initUrl;
  std::string configUrl;
  std::string attributionUrl;
  std::string productsUrl;
  std::string createOrderUrl;
  std::string payResultUrl;
  std::string trackUrl;

  static std::string Md5Hex(const std::string& text);
  // "appId=..&os=..&sdkVer=..&sdkType=..&clientId=..&runPlatform=..&gamePlatform=.."
  static std::string BuildCommonParams();
  static std::string BuildCommonParams(const CoreParams& p);
  // A by-value copy of the nine core parameters.
  static CoreParams Snapshot();

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
};

}  // namespace NimoSdk
