#include "Sdk/CNimoHttp.h"

#include <atomic>
#include <cctype>
#include <climits>
#include <cstdint>
#include <iterator>
#include <stdexcept>
#include <vector>

#include <easylogging++.h>
#include <nlohmann/json.hpp>

#include "Sdk/JsonFields.h"
#include "Sdk/NimoUtils.h"
#include "Sdk/ResultCode.h"
#include "Sdk/Session.h"
#include "http/Async.h"
#include "http/Header.h"
#include "http/Request.h"
#include "platform/sync/Mutex.h"
#include "platform/sys/ThreadPriority.h"

namespace NimoSdk {
namespace {

using nlohmann::json;

// atoi without its undefined overflow: leading decimal digits, 0 when none.
int StatusOf(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  long long value = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])) && value <= INT_MAX; ++i) {
    value = value * 10 + (text[i] - '0');
  }
  return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

// The body's "code" as an int. Numbers outside the int range are refused
// rather than wrapped, so no stray value can read as the success code 200.
int CodeOf(const json& document) {
  const json& code = document.at("code");
  if (code.is_number_float()) {
    const double d = code.get<double>();
    if (!(d > static_cast<double>(INT_MIN) - 1.0 && d < static_cast<double>(INT_MAX) + 1.0)) {
      throw std::out_of_range("code超出int范围:" + code.dump());
    }
  } else if (code.is_number_unsigned()) {
    if (code.get<std::uint64_t>() > static_cast<std::uint64_t>(INT_MAX)) {
      throw std::out_of_range("code超出int范围:" + code.dump());
    }
  } else if (code.is_number_integer()) {
    const std::int64_t v = code.get<std::int64_t>();
    if (v < INT_MIN || v > INT_MAX) throw std::out_of_range("code超出int范围:" + code.dump());
  }
  return code.get<int>();  // a boolean gives 0 or 1; other types throw type_error.302
}

FailReason ReasonOf(sion::ErrorKind kind) {
  switch (kind) {
    case sion::ErrorKind::Timeout:
      return FailReason::Timeout;
    case sion::ErrorKind::Refused:
      return FailReason::Refused;
    case sion::ErrorKind::Dns:
      return FailReason::Dns;
    case sion::ErrorKind::TlsVerify:
      return FailReason::TlsVerify;
    case sion::ErrorKind::Tls:
      return FailReason::Tls;
    case sion::ErrorKind::Dropped:
      return FailReason::Dropped;
    case sion::ErrorKind::TooLarge:
      return FailReason::TooLarge;
    case sion::ErrorKind::Protocol:
      return FailReason::Protocol;
    case sion::ErrorKind::Aborted:
      return FailReason::Aborted;
    case sion::ErrorKind::Other:
      break;
  }
  return FailReason::Other;
}

// One line of at most 200 bytes: the status text is the server's, and hostile.
std::string OneLine(std::string text) {
  if (text.size() > 200) text.resize(200);
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  }
  return text;
}

void FailTransport(const sion::AsyncResponse& answer, HttpResp& out) {
  out.code = ResultCode::kHttpError;
  const std::string& statusText = answer.resp.status_code;
  std::string why = answer.err_msg;
  if (!statusText.empty()) {
    out.reason = FailReason::HttpStatus;
    out.detail = OneLine("server answered HTTP " + statusText + " " + answer.resp.status_text);
  } else if (answer.err_msg.empty() && answer.err_kind != sion::ErrorKind::Dropped) {
    // Send returned an answer without any line: no status at all.
    out.reason = FailReason::Protocol;
    out.detail = "answer without a status line";
    why = "响应缺少状态行";
  } else {
    out.reason = ReasonOf(answer.err_kind);
    out.detail = OneLine(answer.err_detail.empty() ? std::string(ReasonName(out.reason)) : answer.err_detail);
    // A closed connection has no text of its own; "Msg:" never ends the message empty.
    if (why.empty()) why = "连接被对方关闭";
  }
  out.msg = NimoUtils::CleanUtf8("Http Code:" + statusText + ", Msg:" + why);
}

HttpResp FromAnswer(const sion::AsyncResponse& answer, int status) {
  HttpResp out;
  out.status = status;
  if (status != 200) {
    FailTransport(answer, out);
    return out;
  }
  const std::string text = answer.resp.StrBody();
  try {
    const std::string tooMuch = JsonLimitExceeded(text);
    if (!tooMuch.empty()) throw std::length_error(tooMuch);
    const json document = json::parse(text);  // strict; its error texts are part of the answer
    out.code = CodeOf(document);
    if (document.contains("msg")) {
      out.msg = NimoUtils::CleanUtf8(document.at("msg").get<std::string>());
    } else if (document.contains("message")) {
      out.msg = NimoUtils::CleanUtf8(document.at("message").get<std::string>());
    }
    out.data = NimoUtils::CleanUtf8(text);
  } catch (const std::exception& e) {
    out.code = ResultCode::kServerJsonError;
    out.msg = NimoUtils::CleanUtf8(e.what());
    out.data.clear();
  }
  return out;
}

}  // namespace

// In the order of FailReason.
constexpr const char* kReasonNames[] = {"",        "timeout",   "refused",     "dns",     "tls_verify", "tls",
                                        "dropped", "too_large", "http_status", "aborted", "protocol",   "other"};
static_assert(std::size(kReasonNames) == static_cast<std::size_t>(FailReason::Other) + 1, "a name for every reason");

const char* ReasonName(FailReason reason) {
  const auto i = static_cast<std::size_t>(reason);
  return i < std::size(kReasonNames) ? kReasonNames[i] : "other";
}

FailReason ReasonOfData(const std::string& data) {
  if (data.empty() || !JsonLimitExceeded(data).empty()) return FailReason::None;
  const json document = json::parse(data, nullptr, false);
  if (!document.is_object()) return FailReason::None;
  const auto it = document.find("reason");
  if (it == document.end() || !it->is_string()) return FailReason::None;
  const std::string& word = it->get_ref<const std::string&>();
  for (int r = static_cast<int>(FailReason::Timeout); r <= static_cast<int>(FailReason::Other); ++r) {
    if (word == kReasonNames[r]) return static_cast<FailReason>(r);
  }
  return FailReason::None;
}

HttpResp CNimoHttp::ToHttpResp(const sion::AsyncResponse& answer) {
  return FromAnswer(answer, StatusOf(answer.resp.status_code));
}

namespace {

// What a pool can tell no caller (a handler that threw, workers still busy
// after Stop) goes to our log: nothing of ours writes to the game's stderr.
void PoolDiagnostic(const std::string& line) { LOG(WARNING) << line; }

sion::Async* NewPool() {
  return new sion::Async(6, std::chrono::milliseconds(750), 4, nimo_sys::LowerThisThreadPriority, PoolDiagnostic);
}

// One pool per session: a stopped pool cannot start again, so the next Init
// takes a fresh one. Old pools are kept (never freed), as a thread may still
// hold a reference to one.
struct Pools {
  nimo_sync::Mutex mutex;
  sion::Async* current GUARDED_BY(mutex) = NewPool();
  // Set by the first start: a request made before Init (a query, an event)
  // starts the workers rather than waiting for an Init that may never come.
  bool started GUARDED_BY(mutex) = false;
  bool stopped GUARDED_BY(mutex) = false;
  std::vector<sion::Async*> retired GUARDED_BY(mutex);
};

Pools& ThePools() {
  static Pools* const pools = new Pools();
  return *pools;
}

}  // namespace

sion::Async& CNimoHttp::Pool() {
  Pools& p = ThePools();
  nimo_sync::MutexLock lock(p.mutex);
  return *p.current;
}

bool CNimoHttp::StartPool() {
  Pools& p = ThePools();
  nimo_sync::MutexLock lock(p.mutex);
  if (p.started) return false;
  p.started = true;
  try {
    p.current->Start();
    return true;
  } catch (const std::exception& e) {
    LOG(ERROR) << "HTTP pool not started: " << e.what();
    return false;
  }
}

void CNimoHttp::StopPool(std::chrono::steady_clock::time_point deadline) {
  sion::Async* pool = nullptr;
  {
    Pools& p = ThePools();
    nimo_sync::MutexLock lock(p.mutex);
    p.stopped = true;
    pool = p.current;
  }
  try {
    pool->Stop(deadline);  // waits for workers: not under our lock
  } catch (const std::exception& e) {
    LOG(ERROR) << "HTTP pool stop: " << e.what();
  }
}

void CNimoHttp::RenewPool() {
  Pools& p = ThePools();
  nimo_sync::MutexLock lock(p.mutex);
  if (!p.stopped) return;
  p.retired.push_back(p.current);
  p.current = NewPool();
  p.started = false;
  p.stopped = false;
}

void CNimoHttp::PostCallback(const std::string& url, const std::string& body, std::function<void(HttpResp)> callback,
                             sion::Header* header) {
  Post(false, url, body, std::move(callback), header);
}

void CNimoHttp::PostInBackground(const std::string& url, const std::string& body,
                                 std::function<void(HttpResp)> callback, sion::Header* header) {
  Post(true, url, body, std::move(callback), header);
}

void CNimoHttp::Post(bool background, const std::string& url, const std::string& body,
                     std::function<void(HttpResp)> callback, sion::Header* header) {
  // The default list lives only for this call: Run builds the request (and
  // copies the list into it) before returning.
  sion::Header defaults;
  if (header == nullptr) {
    defaults.Add("content-type", "application/x-www-form-urlencoded");
    header = &defaults;
  }
  StartPool();  // at once when started already
  LOG(INFO) << "\n" << "请求地址：" << url << "\n" << "请求数据：" << body << "\n";
  const sion::Header& list = *header;
  auto factory = [&url, &body, &list] {
    sion::Request request;
    request.SetUrl(url).SetBody(body).SetHeader(list).SetMethod(sion::Method::Post);
    return request;
  };
  try {
    if (background) {
      Pool().RunInBackground(factory, SionCallback(std::move(callback), url));
    } else {
      Pool().Run(factory, SionCallback(std::move(callback), url));
    }
  } catch (const std::exception& e) {
    LOG(ERROR) << "请求未能加入队列:" << e.what();
  }
}

std::function<void(sion::AsyncResponse)> CNimoHttp::SionCallback(std::function<void(HttpResp)> callback,
                                                                const std::string& url) {
  // The answer is handled for the session that asked.
  return [callback = std::move(callback), url, session = session::OfThisThread()](sion::AsyncResponse answer) {
    session::Scope scope(session);
    const int status = StatusOf(answer.resp.status_code);
    // The log may leave the machine with a bug report: no session token in it.
    const std::string result =
        status == 200 ? "请求结果:" + MaskStringMember(answer.resp.StrBody(), "token") : std::string();
    LOG(INFO) << "\n" << "请求地址:" << url << "     响应:" << status << "\n" << result << "\n";
    HttpResp out = FromAnswer(answer, status);
    callback(std::move(out));  // an empty handler throws bad_function_call; the pool reports it
  };
}

}  // namespace NimoSdk
