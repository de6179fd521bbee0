#include "Sdk/CNimoPay.h"

#include <easylogging++.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "Sdk/CNimoCore.h"
#include "Sdk/CNimoTrack.h"
#include "Sdk/JsonFields.h"
#include "Sdk/NimoUtils.h"
#include "Sdk/PurchaseJournal.h"
#include "Sdk/ServerAnswers.h"
#include "Sdk/Singletons.h"

namespace NimoSdk {
namespace {

const char kParseError[] = "Server JSON Parse Error.";

HttpResp ParseFailure() {
  HttpResp r;
  r.code = -501;
  r.msg = NimoUtils::Utf8ToWide(kParseError);
  return r;
}

bool IsTransportFailure(int code) { return code == -501 || code == -502; }

// Never destroyed: HTTP workers and the pay thread may use it late.
PurchaseJournal& Journal() {
  static PurchaseJournal* const journal = new PurchaseJournal();
  return *journal;
}

// Repeats of one Steam answer are rare; a flood of them is not kept.
constexpr std::size_t kMaxPendingAnswers = 8;
constexpr std::size_t kMaxHeldAnswers = 64;
constexpr std::size_t kMaxQueuedAnswers = 256;

}  // namespace

CNimoPay::CNimoPay() {
  productMap_.rehash(8);
  productMap_.max_load_factor(1.0f);
  orderMap_.rehash(8);
  orderMap_.max_load_factor(1.0f);
}

bool CNimoPay::IsProductsLoaded() const {
  nimo_sync::MutexLock lock(mutex_);
  return productsLoaded_;
}

bool CNimoPay::HasOrder(const std::string& steamOrderId) const {
  nimo_sync::MutexLock lock(mutex_);
  return orderMap_.count(steamOrderId) != 0;
}

std::size_t CNimoPay::ProductCount() const {
  nimo_sync::MutexLock lock(mutex_);
  return productMap_.size();
}

// ---------------------------------------------------------------- catalogue

void CNimoPay::QueryProducts(GameCallback callback) {
  if (IsProductsLoaded()) {
    ProductResult r = BuildProductResult();
    NotifyGame(callback, r.code, r.msg, r.data);
    return;
  }
  if (Core().Exited()) {
    NotifyGame(callback, -400, "Process Exit!");
    return;
  }
  // The request carries the client id, which Init may still be reading.
  Core().AfterClientId([this, callback] {
    QueryProducts(
        [this, callback] {
          ProductResult r = BuildProductResult();
          NotifyGame(callback, r.code, r.msg, r.data);
        },
        [callback](HttpResp resp) { NotifyGame(callback, resp); });
  });
}

void CNimoPay::QueryProducts(std::function<void()> onReady, std::function<void(HttpResp)> onFailure) {
  if (IsProductsLoaded()) {
    LOG(INFO) << "Query Products Already Init";
    if (onReady) onReady();
    return;
  }
  Api().RequestProducts([this, onReady, onFailure](HttpResp resp) { OnProductsAnswer(resp, onReady, onFailure); });
}

void CNimoPay::OnProductsAnswer(const HttpResp& resp, const std::function<void()>& onReady,
                                const std::function<void(HttpResp)>& onFailure) {
  if (Core().Exited()) return;
  if (resp.code != 200) {
    if (onFailure) onFailure(resp);
    return;
  }
  LOG(INFO) << "开始解析商品列表";
  std::vector<ProductInfo> products;
  if (!ReadCatalogue(NimoUtils::WideToUtf8(resp.data), products)) {
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

CNimoPay::ProductResult CNimoPay::BuildProductResult() const {
  json data = json::object();
  data["code"] = 200;
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
  return {200, "Success", data.dump(-1, ' ', false, json::error_handler_t::replace)};
}

// ---------------------------------------------------------------- orders

void CNimoPay::CreateOrder(std::string productId, std::string extInfo, GameCallback callback) {
  auto orderStep = [this, productId, extInfo, callback] { OrderStep(productId, extInfo, callback); };
  if (IsProductsLoaded()) {
    orderStep();
    return;
  }
  if (Core().Exited()) {
    NotifyGame(callback, -400, "Process Exit!");
    return;
  }
  QueryProducts(orderStep, [callback](HttpResp resp) {
    NotifyGame(callback, L"Query Product Failure, ", resp);
  });
}

void CNimoPay::OrderStep(const std::string& productId, const std::string& extInfo, GameCallback callback) {
  ProductInfo product;
  bool found = false;
  {
    nimo_sync::MutexLock lock(mutex_);
    auto it = productMap_.find(productId);
    found = it != productMap_.end();
    if (found) product = it->second;
  }
  if (!found) {
    LOG(WARNING) << "Not Found Product：" << productId;
    NotifyGame(callback, -400, "Not Found Product.", "", ProductNotFoundForC());
    return;
  }
  UserFacts user = Core().User();
  CreateOrderParams params;
  params.productId = productId;
  params.userId = user.userId;
  params.serverId = user.serverId;
  params.gameUserId = user.gameUserId;
  params.nickName = user.nickName;
  params.orderAmountMicros = "0";
  json info = json::object();
  info["deviceId"] = Track().DeviceId();
  info["resolution"] = Track().Resolution();
  params.collectionInfo = info.dump(-1, ' ', false, json::error_handler_t::replace);
  params.currencyCode = "";
  params.extInfo = extInfo;
  Api().RequestCreateOrder(std::move(params), [this, product, extInfo, callback, user](HttpResp resp) {
    OnCreateOrderAnswer(resp, product, extInfo, callback, user);
  });
}

void CNimoPay::OnCreateOrderAnswer(const HttpResp& resp, const ProductInfo& product, const std::string& extInfo,
                                   GameCallback callback, const UserFacts& user) {
  if (Core().Exited()) return;
  if (resp.code != 200) {
    NotifyGame(callback, resp);
    return;
  }
  PayOrder order;
  order.product = product;
  order.callback = callback;
  order.extInfo = extInfo;
  order.serverId = user.serverId;
  order.gameUserId = user.gameUserId;
  order.nickName = user.nickName;
  order.userId = user.userId;
  // Without a Steam order id no Steam answer could ever find the order.
  const bool readable = ReadOrder(NimoUtils::WideToUtf8(resp.data), order) && !order.steamOrderId.empty();
  if (!readable) {
    NotifyGame(callback, -501, kParseError);
    return;
  }
  // On disk before anything can report it: from here on a crash loses nothing.
  Journal().PutOrder(order);
  std::string held;
  {
    nimo_sync::MutexLock lock(mutex_);
    order.purchase = nextPurchase_++;
    PayOrder& live = orderMap_[order.steamOrderId];
    live = order;
    auto h = heldAnswers_.find(order.steamOrderId);
    if (h != heldAnswers_.end()) {
      held = h->second.status;
      heldAnswers_.erase(h);
      live.reporting = true;
    }
  }
  LOG(INFO) << "Save SteamOrderId:" << order.steamOrderId << ",OrderId:" << order.orderId;
  if (!held.empty()) {
    LOG(INFO) << "Report Held Steam Answer, SteamOrderId:" << order.steamOrderId << ", Authorized:" << held;
    StartReport(order, held, false);
  }
}

// ---------------------------------------------------------------- payment results

void CNimoPay::PayResult(std::string status, std::string steamOrderId) {
  // Recorded before anything is sent: a crash or kill from here on loses nothing.
  Journal().RecordSteamAnswer(steamOrderId, status);
  enum class Next { Report, Queue, Hold, Full } next;
  PayOrder order;
  {
    nimo_sync::MutexLock lock(mutex_);
    auto it = orderMap_.find(steamOrderId);
    if (it == orderMap_.end()) {
      // The server opens the transaction before it answers create_order: Steam
      // may well be first.
      auto h = heldAnswers_.find(steamOrderId);
      if (h == heldAnswers_.end() && heldAnswers_.size() >= kMaxHeldAnswers) {
        next = Next::Full;
      } else {
        HeldAnswer& answer = heldAnswers_[steamOrderId];
        if (answer.status != "1") answer.status = status;
        answer.until = std::chrono::steady_clock::now() + std::chrono::milliseconds(heldAnswerMs_.load());
        next = Next::Hold;
      }
    } else if (it->second.reporting) {
      // Never two reports of one order at once; this one follows.
      std::deque<std::string>& pending = it->second.pending;
      if (pending.empty() || pending.back() != status) {
        if (pending.size() < kMaxPendingAnswers) {
          pending.push_back(status);
        } else if (status == "1") {
          pending.back() = status;
        }
      }
      next = Next::Queue;
    } else {
      it->second.reporting = true;
      order = it->second;
      next = Next::Report;
    }
  }
  switch (next) {
    case Next::Hold:
      LOG(WARNING) << "Not Found Steam Order：" << steamOrderId;
      LOG(INFO) << "Steam Answer Held For Its Order：" << steamOrderId;
      return;
    case Next::Full:
      LOG(WARNING) << "Not Found Steam Order：" << steamOrderId;
      LOG(ERROR) << "Too Many Held Steam Answers, Kept In The Journal Only：" << steamOrderId;
      return;
    case Next::Queue:
      LOG(INFO) << "Steam Answer Queued Behind The Report In Flight：" << steamOrderId;
      return;
    case Next::Report:
      StartReport(order, status, false);
      return;
  }
}

PayResultParams CNimoPay::ParamsFor(const PayOrder& order, const std::string& status) {
  PayResultParams params;
  params.channelPayType = "";
  params.orderId = order.orderId;
  json verify = json::object();
  verify["steamOrderId"] = order.steamOrderId;
  params.extVerifyInfo = verify.dump(-1, ' ', false, json::error_handler_t::replace);
  params.payAmountMicros = status == "1" ? std::to_string(order.defaultAmountMicro) : "0";
  // The facts of the player who bought, whatever happened since.
  params.serverId = order.serverId;
  params.gameUserId = order.gameUserId;
  params.status = status;
  params.trxId = "";
  params.trxToken = "";
  params.userId = order.userId;
  params.channelProductId = order.product.channelProductId;
  return params;
}

void CNimoPay::StartReport(const PayOrder& order, const std::string& status, bool recovered) {
  SendPayResult(ParamsFor(order, status), order, 1, recovered);
}

void CNimoPay::SendPayResult(PayResultParams params, PayOrder order, int attempt, bool recovered) {
  PayResultParams copy = params;
  Api().RequestPayResult(std::move(copy), [this, params, order, attempt, recovered](HttpResp resp) {
    OnPayResultAnswer(resp, params, order, attempt, recovered);
  });
}

void CNimoPay::OnPayResultAnswer(const HttpResp& resp, const PayResultParams& params, const PayOrder& order,
                                 int attempt, bool recovered) {
  std::int32_t status = 0;
  bool readable = ReadPayResult(NimoUtils::WideToUtf8(resp.data), status);
  const bool confirmed = readable && resp.code == 200 && status == 1;
  // Once the server has the payment, the game hears it even if Exit began meanwhile.
  if (!confirmed && Core().Exited()) return;
  if (!readable && attempt < kPayResultAttempts) {
    // The server's report is idempotent: ask again before giving up.
    int delay = retryBackoffMs_.load() << (attempt - 1);
    LOG(WARNING) << "Pay Result report failed (" << resp.code << "), retry " << attempt << " of "
                 << (kPayResultAttempts - 1) << " for SteamOrderId:" << order.steamOrderId;
    if (!Core().SleepUnlessExit(std::chrono::milliseconds(delay))) return;
    SendPayResult(params, order, attempt + 1, recovered);
    return;
  }
  const std::string& id = order.steamOrderId;
  int code = resp.code;
  std::wstring msg = resp.msg;
  if (!readable) {
    status = 0;
    if (!IsTransportFailure(code)) {
      code = -501;
      msg = NimoUtils::Utf8ToWide(kParseError);
    }
  }
  std::string report = BuildReport(order, status);
  std::string nextStatus;
  PayOrder nextOrder;
  LateReportHandler late;
  {
    nimo_sync::MutexLock lock(mutex_);
    auto it = orderMap_.find(id);
    // A later purchase may have been given the same Steam order id: its entry is not ours.
    if (it != orderMap_.end() && it->second.purchase != order.purchase) it = orderMap_.end();
    if (it != orderMap_.end() && !confirmed && !it->second.pending.empty() && !Core().Exited()) {
      // A Steam answer came during this report: it is reported next, and the
      // game hears the outcome of the last one.
      nextStatus = it->second.pending.front();
      it->second.pending.pop_front();
      nextOrder = it->second;
    } else {
      if (it != orderMap_.end()) {
        it->second.reporting = false;
        it->second.pending.clear();
        if (confirmed) orderMap_.erase(it);
      }
      late = lateReport_;
    }
  }
  if (!nextStatus.empty()) {
    LOG(INFO) << "Report Queued Steam Answer, SteamOrderId:" << id << ", Authorized:" << nextStatus;
    StartReport(nextOrder, nextStatus, recovered);
    return;
  }
  // The entry goes only once the result is the game's (Exit can no longer turn
  // it into -400), or when no callback is left for it (a repeat, a recovery).
  // An Exit that answered first leaves it to the next run.
  auto settle = [&] {
    if (!confirmed) return;
    Journal().Remove(id, order.orderId);
    LOG(INFO) << "Notify Pay Result Success, Remove Order Map:" << id;
  };
  // One callback per purchase: a repeat or a recovered report finds it answered (or absent).
  const bool heard =
      NotifyGameSettled(order.callback, code, msg, NimoUtils::Utf8ToWide(report), settle, TransportForC(resp, report));
  if (!heard && !Core().Exited()) settle();
  if (heard) {
    LOG(INFO) << "Notify Pay Result Callback , Data:" << report;
  } else {
    LOG(INFO) << (recovered ? "Recovered" : "Repeated") << " Pay Result, SteamOrderId:" << id << ", Code:" << code
              << ", Data:" << report;
    if (late) {
      try {
        late(code, NimoUtils::WideToUtf8(msg), report);
      } catch (...) {
        // whoever registered it must not break the report chain
      }
    }
  }
  if (recovered && !Core().Exited()) NextRecoveryReport();
}

// ---------------------------------------------------------------- the journal

void CNimoPay::SetLateReportHandler(LateReportHandler handler) {
  nimo_sync::MutexLock lock(mutex_);
  lateReport_ = std::move(handler);
}

std::size_t CNimoPay::HeldAnswerCount() const {
  nimo_sync::MutexLock lock(mutex_);
  return heldAnswers_.size();
}

void CNimoPay::RecoverJournal() {
  {
    nimo_sync::MutexLock lock(mutex_);
    if (recovered_) return;
    recovered_ = true;
  }
  const int heldMs = heldAnswerMs_.load();
  std::vector<PurchaseJournal::Entry> entries = Journal().Load(heldMs);
  const std::int64_t nowMs = PurchaseJournal::NowMs();
  const auto now = std::chrono::steady_clock::now();
  std::size_t orders = 0;
  std::size_t toReport = 0;
  bool held = false;
  {
    nimo_sync::MutexLock lock(mutex_);
    for (const auto& e : entries) {
      if (orderMap_.count(e.steamOrderId) != 0) continue;
      if (!e.hasOrder) {
        // Its order was answered to an earlier run: it only waits out its time.
        if (heldAnswers_.size() < kMaxHeldAnswers) {
          auto left = std::max<std::int64_t>(0, heldMs - (nowMs - e.createdMs));
          heldAnswers_[e.steamOrderId] = HeldAnswer{e.steamStatus, now + std::chrono::milliseconds(left)};
          held = PayThreadRunningLocked();
        }
        continue;
      }
      PayOrder& live = orderMap_[e.steamOrderId];
      live = e.order;
      live.callback = nullptr;  // the game that bought it is gone
      live.purchase = nextPurchase_++;
      ++orders;
      if (e.steamStatus == "1") {
        recoveryQueue_.push_back(e.steamOrderId);
        ++toReport;
      }
    }
  }
  if (held) payWake_.notify_one();  // it expires them
  if (!entries.empty()) {
    LOG(INFO) << "Pay Journal Loaded, Orders:" << orders << ", Authorisations To Report:" << toReport;
  }
  NextRecoveryReport();
}

void CNimoPay::NextRecoveryReport() {
  for (;;) {
    PayOrder order;
    {
      nimo_sync::MutexLock lock(mutex_);
      if (recoveryQueue_.empty()) return;
      std::string id = recoveryQueue_.front();
      recoveryQueue_.pop_front();
      auto it = orderMap_.find(id);
      if (it == orderMap_.end() || it->second.reporting) continue;  // settled, or being reported already
      it->second.reporting = true;
      order = it->second;
    }
    LOG(INFO) << "Recover Pay Result, SteamOrderId:" << order.steamOrderId << ",OrderId:" << order.orderId;
    StartReport(order, "1", true);
    return;
  }
}

void CNimoPay::ExpireHeldAnswers() {
  std::vector<std::pair<std::string, std::string>> expired;
  {
    nimo_sync::MutexLock lock(mutex_);
    if (heldAnswers_.empty()) return;
    const auto now = std::chrono::steady_clock::now();
    for (auto it = heldAnswers_.begin(); it != heldAnswers_.end();) {
      if (it->second.until <= now) {
        expired.emplace_back(it->first, it->second.status);
        it = heldAnswers_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (const auto& [id, status] : expired) {
    LOG(WARNING) << "Held Steam Answer Expired, Dropped SteamOrderId:" << id << ",SteamStatus:" << status;
    Journal().RemoveAnswerWithoutOrder(id);
  }
}

// ---------------------------------------------------------------- the pay thread

void CNimoPay::OnSteamAnswer(std::string status, std::string steamOrderId) {
  std::deque<std::pair<std::string, std::string>> direct;
  {
    nimo_sync::MutexLock lock(mutex_);
    if (steamAnswers_.size() >= kMaxQueuedAnswers) {
      LOG(ERROR) << "Too Many Steam Answers Queued, Dropped SteamOrderId:" << steamOrderId;
      return;
    }
    steamAnswers_.emplace_back(std::move(status), std::move(steamOrderId));
    // Without a thread of ours (none could be made) the payment still comes first.
    if (!PayThreadRunningLocked()) direct.swap(steamAnswers_);
  }
  payWake_.notify_one();
  for (auto& [s, id] : direct) PayResult(s, id);
}

bool CNimoPay::PayThreadRunningLocked() {
  if (!payThreadUp_ && !payThreadStop_) {
    const std::uint64_t gen = payGen_;
    payThreadUp_ = payThread_.Spawn([this, gen] { PayThread(gen); });
  }
  return payThreadUp_ && !payThreadStop_;
}

void CNimoPay::PayThread(std::uint64_t gen) {
  nimo_sync::UniqueLock lock(mutex_);
  for (;;) {
    if (gen != payGen_) return;  // a thread of an ended session: the new one has its own
    if (!steamAnswers_.empty()) {
      auto [status, id] = std::move(steamAnswers_.front());
      steamAnswers_.pop_front();
      const bool reporting = !payThreadStop_ && !Core().Exited();
      lock.unlock();
      if (reporting) {
        PayResult(status, id);
      } else {
        Journal().RecordSteamAnswer(id, status);  // Exit: the next run reports it
      }
      lock.lock();
      continue;
    }
    if (payThreadStop_) return;
    auto next = std::chrono::steady_clock::time_point::max();
    for (const auto& h : heldAnswers_) next = std::min(next, h.second.until);
    if (next <= std::chrono::steady_clock::now()) {
      lock.unlock();
      ExpireHeldAnswers();
      lock.lock();
    } else if (next == std::chrono::steady_clock::time_point::max()) {
      payWake_.wait(lock);
    } else {
      payWake_.wait_until(lock, next);
    }
  }
}

void CNimoPay::BeginSession() {
  {
    nimo_sync::MutexLock lock(mutex_);
    // The catalogue is asked again; orders and held answers of the ended
    // session are in the journal, which this session's Init recovers.
    productMap_.clear();
    productsLoaded_ = false;
    orderMap_.clear();
    heldAnswers_.clear();
    recoveryQueue_.clear();
    recovered_ = false;
    ++payGen_;
    payThreadUp_ = false;
    payThreadStop_ = false;
  }
  payWake_.notify_all();  // a late pay thread of the ended session leaves
}

void CNimoPay::StopPayThread(std::chrono::steady_clock::time_point deadline) {
  {
    nimo_sync::MutexLock lock(mutex_);
    payThreadStop_ = true;
  }
  payWake_.notify_all();
  if (!payThread_.JoinUntil(deadline)) LOG(WARNING) << "The pay thread is still writing the journal; left to end.";
}

std::string CNimoPay::BuildReport(const PayOrder& order, std::int32_t status) {
  json report = json::object();
  report["amount"] = order.defaultAmountMicro;
  report["currency"] = order.defaultCurrency;
  report["extInfo"] = order.extInfo;
  report["orderId"] = order.orderId;
  report["productId"] = order.product.productId;
  report["quantity"] = 1;
  report["status"] = status;
  return report.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace NimoSdk
