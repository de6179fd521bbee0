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

class CNimoApi {
 public:
  // Reads NIMOSDK_API_BASE_URL and NIMOSDK_TRACK_URL once; compiled-in defaults otherwise.
  CNimoApi();

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

  void RequestClientConfig(HttpHandler handler);
  void RequestAttribution(HttpHandler handler);
  void RequestLogin(std::string puserId, std::string accessToken, HttpHandler handler);
  void RequestProducts(HttpHandler handler);
  void RequestCreateOrder(CreateOrderParams order, HttpHandler handler);
  void RequestPayResult(PayResultParams result, HttpHandler handler);
  void PostTrackData(std::string body, HttpHandler handler);
};

}  // namespace NimoSdk
