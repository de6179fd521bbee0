#include "platform/net/Resolver.h"

#include <atomic>
#include <chrono>
#include <system_error>
#include <thread>

#include "platform/net/Socket.h"

namespace nimo_net {
namespace {

// Plain atomics: trivially destroyed, so a helper still running while the
// process exits never touches a destroyed object.
std::atomic<int> gHelpers{0};
std::atomic<Lookup::ResolveFn> gResolve{nullptr};

}  // namespace

void Lookup::SetResolverForTests(ResolveFn fn) { gResolve = fn; }

std::shared_ptr<Lookup> Lookup::Start(const std::string& host) {
  auto lookup = std::make_shared<Lookup>();
  if (gHelpers.fetch_add(1) >= kMaxHelpers) {
    gHelpers.fetch_sub(1);
    nimo_sync::MutexLock lock(lookup->mutex_);  // not shared yet; taken so the analysis sees it
    lookup->busy_ = true;
    lookup->text_ = "域名解析繁忙,已有" + std::to_string(kMaxHelpers) + "个解析未完成";
    return lookup;
  }
  try {
    std::thread(&Lookup::Run, lookup, host).detach();
  } catch (const std::system_error& e) {
    gHelpers.fetch_sub(1);
    nimo_sync::MutexLock lock(lookup->mutex_);
    lookup->busy_ = true;
    lookup->text_ = std::string("域名解析线程无法创建:") + e.what();
  }
  return lookup;
}

void Lookup::Run(const std::shared_ptr<Lookup>& self, std::string host) {
  std::string ip;
  std::string text;
  ResolveFn fn = gResolve.load();
  const int code = fn != nullptr ? fn(host, ip, text) : ResolveIpv4(host, ip, text);
  {
    nimo_sync::MutexLock lock(self->mutex_);
    self->finished_ = true;
    self->code_ = code;
    self->ip_ = std::move(ip);
    self->text_ = std::move(text);
  }
  self->cv_.notify_all();
  gHelpers.fetch_sub(1);
}

Lookup::Status Lookup::Wait(int timeoutMs, std::string& ip, int& code, std::string& text) {
  nimo_sync::UniqueLock lock(mutex_);
  if (busy_) {
    text = text_;
    return Status::Busy;
  }
  cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs),
               [this]() REQUIRES(mutex_) { return finished_ || cancelled_; });
  if (cancelled_) return Status::Cancelled;
  if (!finished_) return Status::TimedOut;
  code = code_;
  ip = ip_;
  text = text_;
  return code_ == 0 ? Status::Done : Status::Failed;
}

void Lookup::Cancel() {
  {
    nimo_sync::MutexLock lock(mutex_);
    cancelled_ = true;
  }
  cv_.notify_all();
}

}  // namespace nimo_net
