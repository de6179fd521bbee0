#include "Sdk/PayReports.h"

#include <easylogging++.h>

#include <chrono>
#include <utility>

#include "Sdk/GameCallback.h"
#include "Sdk/JsonFields.h"
#include "Sdk/PurchaseReport.h"
#include "Sdk/NimoUtils.h"
#include "Sdk/ResultCode.h"
#include "Sdk/ServerAnswers.h"

namespace NimoSdk {
namespace {

bool IsTransportFailure(int code) { return code == ResultCode::kServerJsonError || code == ResultCode::kHttpError; }

}  // namespace

PayReports::PayReports(OrderBook& book, PurchaseJournal& journal, CNimoApi& api, const SessionEnd& end,
                       UnfinishedPurchases& unfinished)
    : book_(book), journal_(journal), api_(api), end_(end), unfinished_(unfinished) {}

void PayReports::SetLateReportHandler(LateReportHandler handler) {
  nimo_sync::MutexLock lock(mutex_);
  lateReport_ = std::move(handler);
}

PayResultParams PayReports::ParamsFor(const PayOrder& order, const std::string& status) {
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

void PayReports::StartReport(const PayOrder& order, const std::string& status, bool recovered) {
  SendPayResult(ParamsFor(order, status), order, 1, recovered);
}

void PayReports::SendPayResult(PayResultParams params, PayOrder order, int attempt, bool recovered) {
  PayResultParams copy = params;
  api_.RequestPayResult(std::move(copy), [this, params, order, attempt, recovered](HttpResp resp) {
    OnPayResultAnswer(resp, params, order, attempt, recovered);
  });
}

void PayReports::OnPayResultAnswer(const HttpResp& resp, const PayResultParams& params, const PayOrder& order,
                                   int attempt, bool recovered) {
  std::int32_t status = 0;
  bool readable = ReadPayResult(resp.data, status);
  const bool confirmed = readable && resp.code == ResultCode::kOk && status == 1;
  // Once the server has the payment, the game hears it even if Exit began meanwhile.
  if (!confirmed && end_.Exited()) return;
  if (!readable && attempt < kPayResultAttempts) {
    // The server's report is idempotent: ask again before giving up.
    int delay = retryBackoffMs_.load() << (attempt - 1);
    LOG(WARNING) << "Pay Result report failed (" << resp.code << "), retry " << attempt << " of "
                 << (kPayResultAttempts - 1) << " for SteamOrderId:" << order.steamOrderId;
    if (!end_.SleepUnlessExit(std::chrono::milliseconds(delay))) return;
    SendPayResult(params, order, attempt + 1, recovered);
    return;
  }
  const std::string& id = order.steamOrderId;
  int code = resp.code;
  std::string msg = resp.msg;
  if (!readable) {
    status = 0;
    if (!IsTransportFailure(code)) {
      code = ResultCode::kServerJsonError;
      msg = kServerParseError;
    }
  }
  std::string report = PurchaseReport(order, status);
  std::string nextStatus;
  PayOrder nextOrder;
  LateReportHandler late;
  if (book_.EndReport(order, confirmed, nextStatus, nextOrder)) {
    nimo_sync::MutexLock lock(mutex_);
    late = lateReport_;
  }
  if (!nextStatus.empty()) {
    LOG(INFO) << "Report Queued Steam Answer, SteamOrderId:" << id << ", Authorized:" << nextStatus;
    StartReport(nextOrder, nextStatus, recovered);
    return;
  }
  // The entry goes only once the result is the game's (Exit can no longer turn
  // it into -400), or when no callback is left for it (a repeat, a recovery).
  // An Exit that answered first leaves it to the next run. With a purchase
  // listener it stays, unfinished, until the game finishes it.
  bool kept = false;
  auto settle = [&] {
    if (!confirmed) return;
    if (unfinished_.Listening()) {
      kept = unfinished_.Keep(order);
      return;
    }
    journal_.Remove(id, order.orderId);
    LOG(INFO) << "Notify Pay Result Success, Remove Order Map:" << id;
  };
  // One callback per purchase: a repeat or a recovered report finds it answered (or absent).
  const bool heard =
      NotifyGameSettled(order.callback, code, msg, report, settle, TransportForC(resp, report));
  if (!heard && !end_.Exited()) settle();
  if (heard) {
    LOG(INFO) << "Notify Pay Result Callback , Data:" << report;
  } else {
    LOG(INFO) << (recovered ? "Recovered" : "Repeated") << " Pay Result, SteamOrderId:" << id << ", Code:" << code
              << ", Data:" << report;
    if (late) {
      try {
        late(code, msg, report);
      } catch (...) {
        // whoever registered it must not break the report chain
      }
    }
  }
  if (kept) unfinished_.Tell(order);  // after the purchase's callback
  if (recovered && !end_.Exited()) NextRecoveryReport();
}

void PayReports::NextRecoveryReport() {
  PayOrder order;
  if (!book_.NextRecovered(order)) return;
  LOG(INFO) << "Recover Pay Result, SteamOrderId:" << order.steamOrderId << ",OrderId:" << order.orderId;
  StartReport(order, "1", true);
}

}  // namespace NimoSdk
