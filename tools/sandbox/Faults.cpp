#include "tools/sandbox/Faults.h"

#include <cerrno>
#include <cstdlib>

namespace nimo_sandbox {
namespace {

bool ToInt(const std::string& s, int* out) {
  if (s.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long v = std::strtol(s.c_str(), &end, 10);
  if (errno != 0 || end == nullptr || *end != '\0' || v < -2147483647L || v > 2147483647L) return false;
  *out = static_cast<int>(v);
  return true;
}

bool ModeFromName(const std::string& name, FaultMode* out) {
  static const FaultMode kAll[] = {FaultMode::None, FaultMode::Hang,  FaultMode::Http502,
                                   FaultMode::Truncated, FaultMode::Code, FaultMode::Close,
                                   FaultMode::Lost, FaultMode::Status};
  for (FaultMode m : kAll) {
    if (name == FaultModeName(m)) {
      *out = m;
      return true;
    }
  }
  if (name == "delay") {
    *out = FaultMode::None;
    return true;
  }
  return false;
}

}  // namespace

const char* FaultModeName(FaultMode m) {
  switch (m) {
    case FaultMode::None: return "none";
    case FaultMode::Hang: return "hang";
    case FaultMode::Http502: return "http502";
    case FaultMode::Truncated: return "truncated";
    case FaultMode::Code: return "code";
    case FaultMode::Close: return "close";
    case FaultMode::Lost: return "lost";
    case FaultMode::Status: return "status";
  }
  return "none";
}

bool ParseFaultFlag(const std::string& text, std::string* endpoint, Fault* out, std::string* error) {
  auto eq = text.find('=');
  if (eq == std::string::npos || eq == 0) {
    *error = "a fault is ENDPOINT=MODE, got '" + text + "'";
    return false;
  }
  *endpoint = text.substr(0, eq);
  std::string spec = text.substr(eq + 1);
  Fault f;
  // Options come last, so a message may hold commas of its own.
  for (;;) {
    auto comma = spec.rfind(',');
    if (comma == std::string::npos) break;
    std::string opt = spec.substr(comma + 1);
    int n = 0;
    if (opt.rfind("match=", 0) == 0 && opt.size() > 6) {
      f.match = opt.substr(6);
    } else if (opt.rfind("times=", 0) == 0 && ToInt(opt.substr(6), &n) && n >= 0) {
      f.times = n;
    } else if (opt.rfind("delay=", 0) == 0 && ToInt(opt.substr(6), &n) && n >= 0) {
      f.delayMs = n;
    } else {
      break;
    }
    spec.erase(comma);
  }
  auto colon = spec.find(':');
  std::string mode = spec.substr(0, colon);
  std::string args = colon == std::string::npos ? std::string() : spec.substr(colon + 1);
  if (!ModeFromName(mode, &f.mode)) {
    *error = "unknown fault mode '" + mode +
             "' (none, delay:MS, hang, http502, truncated, code:N[:MSG], status:N[:MSG], close, lost)";
    return false;
  }
  if (mode == "delay") {
    int ms = 0;
    if (!ToInt(args, &ms) || ms < 0) {
      *error = "delay needs milliseconds, as in delay:1500";
      return false;
    }
    f.delayMs = ms;
  } else if (f.mode == FaultMode::Code || f.mode == FaultMode::Status) {
    auto c2 = args.find(':');
    if (!ToInt(args.substr(0, c2), &f.code) || (f.mode == FaultMode::Status && (f.code < 200 || f.code > 599))) {
      *error = f.mode == FaultMode::Code ? "code needs a number, as in code:1001:Out of stock"
                                         : "status needs an HTTP status from 200 to 599, as in status:413";
      return false;
    }
    if (c2 != std::string::npos) f.msg = args.substr(c2 + 1);
  } else if (!args.empty()) {
    *error = "fault mode '" + mode + "' takes no argument";
    return false;
  }
  *out = f;
  return true;
}

bool FaultFromJson(const nlohmann::json& j, Fault* out, std::string* error) {
  if (j.is_null()) {
    *out = Fault{};
    return true;
  }
  if (!j.is_object()) {
    *error = "a fault must be an object such as {\"mode\":\"http502\",\"times\":2}";
    return false;
  }
  Fault f;
  std::string mode = j.contains("mode") && j["mode"].is_string() ? j["mode"].get<std::string>() : "none";
  if (!ModeFromName(mode, &f.mode)) {
    *error = "unknown fault mode '" + mode + "'";
    return false;
  }
  auto intOf = [&](const char* key, int* dst, int min) {
    if (!j.contains(key)) return true;
    if (!j[key].is_number_integer() || j[key].get<long long>() < min || j[key].get<long long>() > 2147483647LL) {
      *error = std::string("\"") + key + "\" must be an integer";
      return false;
    }
    *dst = j[key].get<int>();
    return true;
  };
  if (!intOf("delayMs", &f.delayMs, 0) || !intOf("code", &f.code, -2147483647) || !intOf("times", &f.times, -1)) {
    return false;
  }
  if (f.mode == FaultMode::Status && (f.code < 200 || f.code > 599)) {
    *error = "\"code\" of a status fault must be an HTTP status from 200 to 599";
    return false;
  }
  for (auto [key, dst] : {std::pair{"msg", &f.msg}, std::pair{"match", &f.match}}) {
    if (!j.contains(key)) continue;
    if (!j[key].is_string()) {
      *error = std::string("\"") + key + "\" must be a string";
      return false;
    }
    *dst = j[key].get<std::string>();
  }
  *out = f;
  return true;
}

nlohmann::json FaultToJson(const Fault& f) {
  nlohmann::json j = {{"mode", FaultModeName(f.mode)}, {"delayMs", f.delayMs}, {"times", f.times}};
  if (f.mode == FaultMode::Code || f.mode == FaultMode::Status) {
    j["code"] = f.code;
    j["msg"] = f.msg;
  }
  if (!f.match.empty()) j["match"] = f.match;
  return j;
}

void FaultTable::Set(Endpoint e, Fault f) {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_[static_cast<std::size_t>(e)] = std::move(f);
}

void FaultTable::Clear(Endpoint e) { Set(e, Fault{}); }

void FaultTable::ClearAll() {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_.fill(Fault{});
}

Fault FaultTable::Take(Endpoint e, const std::string& body) {
  std::lock_guard<std::mutex> lock(mutex_);
  Fault& f = faults_[static_cast<std::size_t>(e)];
  if (!f.Active() || body.find(f.match) == std::string::npos) return Fault{};
  Fault now = f;
  if (f.times > 0 && --f.times == 0) f = Fault{};
  return now;
}

nlohmann::json FaultTable::ToJson() const {
  std::lock_guard<std::mutex> lock(mutex_);
  nlohmann::json j = nlohmann::json::object();
  for (int i = 0; i < kEndpointCount; ++i) {
    const Fault& f = faults_[static_cast<std::size_t>(i)];
    if (f.Active()) j[EndpointName(static_cast<Endpoint>(i))] = FaultToJson(f);
  }
  return j;
}

}  // namespace nimo_sandbox
