// The product catalogue: loaded from the server once per session, then answered
// from memory.
//
// Threads: the game's thread (queries), HTTP workers (answers). productMap_ and
// the loaded flag are guarded by mutex_; the game is never called back while it
// is held.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <unordered_map>

#include "Sdk/CNimoApi.h"
#include "Sdk/ClientIdGate.h"
#include "Sdk/GameCallback.h"
#include "Sdk/HttpResp.h"
#include "Sdk/PayOrder.h"
#include "Sdk/SessionEnd.h"
#include "platform/sync/Mutex.h"

namespace NimoSdk {

class ProductCatalogue {
 public:
  // api: where the catalogue comes from; end: no load after Exit; idGate: the
  // request carries the client id, so it waits for it.
  ProductCatalogue(CNimoApi& api, const SessionEnd& end, ClientIdGate& idGate);

  // Answers from the cache at once, or loads the catalogue first.
  void Query(GameCallback callback);
  // onReady once the catalogue is loaded (at once when it is), or onFailure
  // with the answer that failed.
  void Load(std::function<void()> onReady, std::function<void(HttpResp)> onFailure);
  // A new session asks for the catalogue again.
  void Forget();

  bool IsLoaded() const;
  std::size_t Count() const;
  // False when the catalogue has no product of that id.
  bool Find(const std::string& productId, ProductInfo& product) const;

  // The record given to the game for a loaded catalogue (code 200, "Success", JSON).
  struct Result {
    int code;
    std::string msg;
    std::string data;
  };
  Result BuildResult() const;

 private:
  void OnProductsAnswer(const HttpResp& resp, const std::function<void()>& onReady,
                        const std::function<void(HttpResp)>& onFailure);

  CNimoApi& api_;
  const SessionEnd& end_;
  ClientIdGate& idGate_;
  mutable nimo_sync::Mutex mutex_;
  std::unordered_map<std::string, ProductInfo> productMap_;  // guarded by mutex_
  bool productsLoaded_ = false;                              // guarded by mutex_
};

}  // namespace NimoSdk
