// Every reader of a server answer's body: the HttpResp adapter, then the
// configuration, login, catalogue, order and payment-result readers, and the
// masking of the token in the logged body.
#include <cstdint>
#include <string>
#include <vector>

#include "Sdk/CNimoHttp.h"
#include "Sdk/JsonFields.h"
#include "Sdk/ServerAnswers.h"
#include "http/Async.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  sion::AsyncResponse answer;
  answer.resp.status_code = "200";
  answer.resp.body.assign(text.begin(), text.end());
  (void)NimoSdk::CNimoHttp::ToHttpResp(answer);

  std::int32_t value = 0;
  NimoSdk::ReadClientConfig(text, value);
  std::string token, userId;
  NimoSdk::ReadLogin(text, token, userId);
  (void)NimoSdk::MaskStringMember(text, "token");
  std::vector<NimoSdk::ProductInfo> products;
  NimoSdk::ReadCatalogue(text, products);
  NimoSdk::PayOrder order;
  NimoSdk::ReadOrder(text, order);
  NimoSdk::ReadPayResult(text, value);
  return 0;
}
