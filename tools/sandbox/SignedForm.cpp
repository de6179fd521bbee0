#include "tools/sandbox/SignedForm.h"

#include <openssl/evp.h>

namespace nimo_sandbox {
namespace {

const std::vector<std::string> kCommon = {"appId", "os", "sdkVer", "sdkType", "clientId", "runPlatform", "gamePlatform"};

std::vector<std::string> Body(std::vector<std::string> own) {
  std::vector<std::string> keys = kCommon;
  keys.insert(keys.end(), own.begin(), own.end());
  keys.push_back("osign");
  return keys;
}

const FormSpec kSpecs[] = {
    // Config
    {Body({}), {"appId", "appKey", "clientId", "os", "sdkVer", "sdkType", "runPlatform"}},
    // Attribution
    {Body({"osVer", "urlParams", "channelId", "subChannelId", "lp", "userId", "browser", "browserVersion", "language"}),
     {"appId", "appKey", "sdkVer", "sdkType", "os", "osVer", "clientId", "runPlatform", "gamePlatform", "urlParams",
      "channelId", "subChannelId", "lp", "userId", "browser", "browserVersion", "language"}},
    // Login
    {Body({"platform", "bindType", "puserId", "accessToken", "extra"}),
     {"appId", "appKey", "bindType", "sdkVer", "sdkType", "clientId", "runPlatform", "gamePlatform", "platform",
      "accessToken"}},
    // Products
    {Body({"page", "pageSize", "extra"}),
     {"sdkVer", "sdkType", "clientId", "appId", "os", "runPlatform", "gamePlatform", "extra", "page", "pageSize",
      "appKey"}},
    // CreateOrder
    {Body({"appKey", "channel", "productId", "orderAmountMicros", "currencyCode", "extInfo", "collectionInfo", "userId",
           "serverId", "gameUserId", "nickName", "sdkExtInfo"}),
     {"appId", "appKey", "channel", "clientId", "currencyCode", "extInfo", "orderAmountMicros", "productId", "sdkVer",
      "sdkType", "os", "runPlatform", "gamePlatform", "serverId", "gameUserId", "nickName", "userId", "collectionInfo",
      "sdkExtInfo"}},
    // PayResult
    {Body({"channel", "userId", "serverId", "gameUserId", "orderId", "extVerifyInfo", "status", "payAmountMicros",
           "channelPayType", "channelProductId", "trxId", "trxToken"}),
     {"appId", "appKey", "channel", "channelPayType", "clientId", "orderId", "extVerifyInfo", "payAmountMicros", "sdkVer",
      "sdkType", "os", "runPlatform", "gamePlatform", "serverId", "gameUserId", "status", "trxId", "trxToken", "userId",
      "channelProductId"}},
};

struct Splitter {
  const std::string& body;
  const std::vector<std::string>& keys;
  std::size_t cap;
  std::vector<Form> out;
  std::vector<std::string> values;
  // latest[i]: the last place key i's "&key=" may start so that every later key
  // can still follow; a branch beyond it cannot succeed, so none is tried and the
  // work stays bounded by cap readings, whatever the body holds.
  std::vector<std::size_t> latest;

  static std::string Marker(const std::string& key) { return "&" + key + "="; }

  bool Prepare() {
    const std::size_t n = keys.size();
    const std::size_t firstValue = keys[0].size() + 1;
    latest.assign(n, std::string::npos);
    // The signature is always last and holds no "&": its marker is the last one.
    std::size_t at = body.rfind(Marker(keys[n - 1]));
    if (at == std::string::npos || at < firstValue) return false;
    latest[n - 1] = at;
    for (std::size_t i = n - 1; i-- > 1;) {
      const std::string m = Marker(keys[i]);
      if (latest[i + 1] < firstValue + m.size()) return false;
      at = body.rfind(m, latest[i + 1] - m.size());
      if (at == std::string::npos || at < firstValue) return false;
      latest[i] = at;
    }
    return true;
  }

  void From(std::size_t index, std::size_t pos) {
    if (out.size() >= cap) return;
    const std::size_t next = index + 1;
    if (next == keys.size()) {
      values.push_back(body.substr(pos));
      Form f;
      for (std::size_t i = 0; i < keys.size(); ++i) f[keys[i]] = values[i];
      out.push_back(std::move(f));
      values.pop_back();
      return;
    }
    const std::string marker = Marker(keys[next]);
    if (next + 1 == keys.size()) {  // the signature, at its last marker
      values.push_back(body.substr(pos, latest[next] - pos));
      From(next, latest[next] + marker.size());
      values.pop_back();
      return;
    }
    for (std::size_t p = body.find(marker, pos); p != std::string::npos && p <= latest[next] && out.size() < cap;
         p = body.find(marker, p + 1)) {
      values.push_back(body.substr(pos, p - pos));
      From(next, p + marker.size());
      values.pop_back();
    }
  }
};

}  // namespace

const char* EndpointName(Endpoint e) {
  switch (e) {
    case Endpoint::Config: return "config";
    case Endpoint::Attribution: return "attribution";
    case Endpoint::Login: return "login";
    case Endpoint::Products: return "products";
    case Endpoint::CreateOrder: return "create_order";
    case Endpoint::PayResult: return "pay_result";
    case Endpoint::Track: return "track";
  }
  return "?";
}

bool EndpointFromName(const std::string& name, Endpoint* out) {
  for (int i = 0; i < kEndpointCount; ++i) {
    auto e = static_cast<Endpoint>(i);
    if (name == EndpointName(e)) {
      *out = e;
      return true;
    }
  }
  return false;
}

std::vector<Endpoint> EndpointsNamed(const std::string& name) {
  std::vector<Endpoint> out;
  Endpoint e;
  if (name == "all") {
    for (int i = 0; i < kEndpointCount; ++i) out.push_back(static_cast<Endpoint>(i));
  } else if (EndpointFromName(name, &e)) {
    out.push_back(e);
  }
  return out;
}

const char* EndpointPath(Endpoint e) {
  switch (e) {
    case Endpoint::Config: return "/sdkapi/v3/config/client.do";
    case Endpoint::Attribution: return "/sdkapi/v1/attribution.do";
    case Endpoint::Login: return "/sdkapi/v22/init.do";
    case Endpoint::Products: return "/sdkapi/v10/pay/products.do";
    case Endpoint::CreateOrder: return "/sdkapi/v10/pay/create_order.do";
    case Endpoint::PayResult: return "/sdkapi/v10/pay/pay_result.do";
    case Endpoint::Track: return "/data/h5/v1.do";
  }
  return "/";
}

const FormSpec& SpecOf(Endpoint e) {
  int i = static_cast<int>(e);
  if (i < 0 || i >= static_cast<int>(sizeof kSpecs / sizeof kSpecs[0])) i = 0;
  return kSpecs[i];
}

std::vector<Form> SplitOrdered(const std::string& body, const std::vector<std::string>& keys, std::size_t cap) {
  Splitter s{body, keys, cap, {}, {}, {}};
  if (keys.size() < 2 || body.compare(0, keys[0].size() + 1, keys[0] + "=") != 0 || !s.Prepare()) return {};
  s.From(0, keys[0].size() + 1);
  return std::move(s.out);
}

std::string FirstMissingKey(const std::string& body, const std::vector<std::string>& keys) {
  if (keys.empty()) return {};
  if (body.compare(0, keys[0].size() + 1, keys[0] + "=") != 0) return keys[0];
  std::size_t pos = keys[0].size() + 1;
  for (std::size_t i = 1; i < keys.size(); ++i) {
    std::string marker = "&" + keys[i] + "=";
    std::size_t p = body.find(marker, pos);
    if (p == std::string::npos) return keys[i];
    pos = p + marker.size();
  }
  return {};
}

std::string SignText(const Form& form, const FormSpec& spec, const std::string& appKey) {
  std::string text;
  for (const auto& k : spec.signKeys) {
    if (k == "appKey") {
      text += appKey;
    } else {
      auto it = form.find(k);
      if (it != form.end()) text += it->second;
    }
  }
  return text;
}

std::string Md5Hex(const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_Digest(text.data(), text.size(), digest, &len, EVP_md5(), nullptr) != 1) return {};
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned i = 0; i < len; ++i) {
    out += kHex[digest[i] >> 4];
    out += kHex[digest[i] & 0x0F];
  }
  return out;
}

}  // namespace nimo_sandbox
