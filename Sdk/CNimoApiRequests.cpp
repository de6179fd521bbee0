#include "Sdk/CNimoApi.h"

namespace NimoSdk {

void CNimoApi::RequestClientConfig(HttpHandler) {}
void CNimoApi::RequestAttribution(HttpHandler) {}
void CNimoApi::RequestLogin(std::string, std::string, HttpHandler) {}
void CNimoApi::RequestProducts(HttpHandler) {}
void CNimoApi::RequestCreateOrder(CreateOrderParams, HttpHandler) {}
void CNimoApi::RequestPayResult(PayResultParams, HttpHandler) {}
void CNimoApi::PostTrackData(std::string, HttpHandler) {}

}  // namespace NimoSdk
