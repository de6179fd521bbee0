#include "Sdk/CNimoApi.h"

#include <openssl/evp.h>

#include <cstdio>

#ifndef NIMO_DEFAULT_API_HOST
#define NIMO_DEFAULT_API_HOST "https://api.nimo-publisher.example"
#endif

namespace NimoSdk {
namespace {

ApiUrls MakeUrls(const std::string& base, const std::string& track) {
  return {base,
          base + "/v22/init.do",
          base + "/v3/config/client.do",
          base + "/v1/attribution.do",
          base + "/v10/pay/products.do",
          base + "/v10/pay/create_order.do",
          base + "/v10/pay/pay_result.do",
          track};
}

}  // namespace

CNimoApi::CNimoApi(const SessionFacts& facts)
    : facts_(facts),
      defaultBase_(NIMO_DEFAULT_API_HOST "/sdkapi"),
      defaultTrack_(NIMO_DEFAULT_API_HOST "/data/h5/v1.do"),
      urls_(MakeUrls(defaultBase_, defaultTrack_)) {}

void CNimoApi::UseUrls(std::string apiBaseUrl, std::string dataTrackUrl) {
  nimo_sync::MutexLock lock(mutex_);
  defaultBase_ = std::move(apiBaseUrl);
  defaultTrack_ = std::move(dataTrackUrl);
  urls_ = MakeUrls(defaultBase_, defaultTrack_);
}

void CNimoApi::ApplyUrls(const std::string& apiBaseUrl, const std::string& dataTrackUrl) {
  nimo_sync::MutexLock lock(mutex_);
  urls_ = MakeUrls(apiBaseUrl.empty() ? defaultBase_ : apiBaseUrl, dataTrackUrl.empty() ? defaultTrack_ : dataTrackUrl);
}

std::string CNimoApi::DefaultBaseUrl() const {
  nimo_sync::MutexLock lock(mutex_);
  return defaultBase_;
}

std::string CNimoApi::DefaultTrackUrl() const {
  nimo_sync::MutexLock lock(mutex_);
  return defaultTrack_;
}

ApiUrls CNimoApi::Urls() const {
  nimo_sync::MutexLock lock(mutex_);
  return urls_;
}

std::string CNimoApi::Md5Hex(const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  bool ok = ctx != nullptr && EVP_DigestInit_ex2(ctx, EVP_md5(), nullptr) == 1 &&
            EVP_DigestUpdate(ctx, text.data(), text.size()) == 1 && EVP_DigestFinal_ex(ctx, digest, &len) == 1;
  EVP_MD_CTX_free(ctx);
  if (!ok || len != 16) return std::string(32, '0');  // never a short signature
  static const char kHex[] = "0123456789abcdef";
  std::string out(32, '0');
  for (unsigned i = 0; i < 16; ++i) {
    out[2 * i] = kHex[digest[i] >> 4];
    out[2 * i + 1] = kHex[digest[i] & 0x0F];
  }
  return out;
}

CoreParams CNimoApi::Snapshot() const { return facts_.Params(); }

std::string CNimoApi::BuildCommonParams(const CoreParams& p) {
  return "appId=" + p.appId + "&os=" + p.os + "&sdkVer=" + p.sdkVer + "&sdkType=" + p.sdkType +
         "&clientId=" + p.clientId + "&runPlatform=" + p.runPlatform + "&gamePlatform=" + p.gamePlatform;
}

}  // namespace NimoSdk
