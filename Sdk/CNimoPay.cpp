#include "Sdk/CNimoPay.h"

#include <easylogging++.h>

#include <utility>
#include <vector>

#include "Sdk/JsonFields.h"
#include "Sdk/NimoUtils.h"
#include "Sdk/ResultCode.h"
#include "Sdk/ServerAnswers.h"

namespace NimoSdk {

CNimoPay::CNimoPay(CNimoApi& api, const CNimoTrack& track, const SessionFacts& facts, const SessionEnd& end,
                   ClientIdGate& idGate, CNimoDelivery& delivery, nimo_sys::FileSystem& files)
    : api_(api),
      track_(track),
      facts_(facts),
      end_(end),
      journal_("", files),
      catalogue_(api, end, idGate),
      book_(payLock_, journal_, end),
      unfinished_(journal_, delivery, end),
      reports_(book_, journal_, api, end, unfinished_),
      payThread_(payLock_, book_, journal_, end,
                 [this](std::string status, std::string id) { PayResult(std::move(status), std::move(id)); }) {}

bool CNimoPay::IsProductsLoaded() const { return catalogue_.IsLoaded(); }

bool CNimoPay::HasOrder(const std::string& steamOrderId) const { return book_.Has(steamOrderId); }

std::size_t CNimoPay::ProductCount() const { return catalogue_.Count(); }

std::size_t CNimoPay::HeldAnswerCount() const { return book_.HeldAnswerCount(); }

void CNimoPay::SetLateReportHandler(LateReportHandler handler) { reports_.SetLateReportHandler(std::move(handler)); }

void CNimoPay::QueryProducts(GameCallback callback) { catalogue_.Query(std::move(callback)); }

// ---------------------------------------------------------------- orders

void CNimoPay::CreateOrder(std::string productId, std::string extInfo, GameCallback callback) {
  auto orderStep = [this, productId, extInfo, callback] { OrderStep(productId, extInfo, callback); };
  if (catalogue_.IsLoaded()) {
    orderStep();
    return;
  }
  if (end_.Exited()) {
    NotifyGame(callback, ResultCode::kProcessExit, "Process Exit!");
    return;
  }
  catalogue_.Load(orderStep, [callback](HttpResp resp) {
    NotifyGame(callback, "Query Product Failure, ", resp);
  });
}

void CNimoPay::OrderStep(const std::string& productId, const std::string& extInfo, GameCallback callback) {
  ProductInfo product;
  const bool found = catalogue_.Find(productId, product);
  if (!found) {
    LOG(WARNING) << "Not Found Product：" << productId;
    NotifyGame(callback, ResultCode::kProductNotFound, "Not Found Product.", "", ProductNotFoundForC());
    return;
  }
  UserFacts user = facts_.User();
  CreateOrderParams params;
  params.productId = productId;
  params.userId = user.userId;
  params.serverId = user.serverId;
  params.gameUserId = user.gameUserId;
  params.nickName = user.nickName;
  params.orderAmountMicros = "0";
  json info = json::object();
  info["deviceId"] = track_.DeviceId();
  info["resolution"] = track_.Resolution();
  params.collectionInfo = info.dump(-1, ' ', false, json::error_handler_t::replace);
  params.currencyCode = "";
  params.extInfo = extInfo;
  api_.RequestCreateOrder(std::move(params), [this, product, extInfo, callback, user](HttpResp resp) {
    OnCreateOrderAnswer(resp, product, extInfo, callback, user);
  });
}

void CNimoPay::OnCreateOrderAnswer(const HttpResp& resp, const ProductInfo& product, const std::string& extInfo,
                                   GameCallback callback, const UserFacts& user) {
  if (end_.Exited()) return;
  if (resp.code != ResultCode::kOk) {
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
  const bool readable = ReadOrder(resp.data, order) && !order.steamOrderId.empty();
  if (!readable) {
    NotifyGame(callback, ResultCode::kServerJsonError, kServerParseError);
    return;
  }
  // On disk before anything can report it: from here on a crash loses nothing.
  journal_.PutOrder(order);
  const std::string held = book_.Add(order);
  LOG(INFO) << "Save SteamOrderId:" << order.steamOrderId << ",OrderId:" << order.orderId;
  if (!held.empty()) {
    LOG(INFO) << "Report Held Steam Answer, SteamOrderId:" << order.steamOrderId << ", Authorized:" << held;
    reports_.StartReport(order, held, false);
  }
}

// ---------------------------------------------------------------- payment results

void CNimoPay::PayResult(std::string status, std::string steamOrderId) {
  // Recorded before anything is sent: a crash or kill from here on loses nothing.
  journal_.RecordSteamAnswer(steamOrderId, status);
  PayOrder order;
  switch (book_.Route(status, steamOrderId, std::chrono::milliseconds(heldAnswerMs_.load()), order)) {
    case OrderBook::Next::Hold:
      LOG(WARNING) << "Not Found Steam Order：" << steamOrderId;
      LOG(INFO) << "Steam Answer Held For Its Order：" << steamOrderId;
      return;
    case OrderBook::Next::Full:
      LOG(WARNING) << "Not Found Steam Order：" << steamOrderId;
      LOG(ERROR) << "Too Many Held Steam Answers, Kept In The Journal Only：" << steamOrderId;
      return;
    case OrderBook::Next::Queue:
      LOG(INFO) << "Steam Answer Queued Behind The Report In Flight：" << steamOrderId;
      return;
    case OrderBook::Next::Report:
      reports_.StartReport(order, status, false);
      return;
  }
}

void CNimoPay::OnSteamAnswer(std::string status, std::string steamOrderId) {
  payThread_.OnSteamAnswer(std::move(status), std::move(steamOrderId));
}

// ---------------------------------------------------------------- the journal

void CNimoPay::RecoverJournal() {
  if (!book_.BeginRecovery()) return;
  const int heldMs = heldAnswerMs_.load();
  std::vector<PurchaseJournal::Entry> entries = journal_.Load(heldMs);
  const OrderBook::Restored restored = book_.Restore(entries, heldMs);
  if (restored.held) payThread_.WakeForHeldAnswers();
  if (!entries.empty()) {
    LOG(INFO) << "Pay Journal Loaded, Orders:" << restored.orders << ", Authorisations To Report:" << restored.toReport;
  }
  reports_.NextRecoveryReport();
}

// ---------------------------------------------------------------- sessions

void CNimoPay::BeginSession() {
  // The catalogue is asked again.
  catalogue_.Forget();
  {
    nimo_sync::MutexLock lock(payLock_);
    book_.ClearLocked();
    payThread_.BeginSessionLocked();
  }
  payThread_.WakeAll();  // a late pay thread of the ended session leaves
  unfinished_.BeginSession();
}

void CNimoPay::StopPayThread(std::chrono::steady_clock::time_point deadline) { payThread_.Stop(deadline); }

}  // namespace NimoSdk
