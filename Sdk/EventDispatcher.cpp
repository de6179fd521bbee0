#include "Sdk/EventDispatcher.h"

#include <easylogging++.h>

#include <algorithm>
#include <random>
#include <utility>

#include "Sdk/EventQueue.h"
#include "Sdk/EventQueueFile.h"

namespace NimoSdk {

EventDispatcher::EventDispatcher(EventQueueFile& file, Transport transport, OnAnswer onAnswer,
                                 std::atomic<std::uint64_t>& dropped)
    : file_(file), transport_(std::move(transport)), onAnswer_(std::move(onAnswer)), dropped_(dropped) {}

// A 2xx is final whatever its body. A redirect (never followed) or a 4xx says
// the server will never take this event: retrying it would only hold the others
// back. 408, 429, 5xx and no answer at all are worth another try.
EventDispatcher::Verdict EventDispatcher::Judge(int status) {
  if (status >= 200 && status < 300) return Verdict::Delivered;
  if (status == 408 || status == 429) return Verdict::Retry;
  return status >= 300 && status < 500 ? Verdict::Refused : Verdict::Retry;
}

void EventDispatcher::Add(std::int64_t order, std::string text) {
  liveBytes_ += text.size();
  queue_.push_back({order, std::move(text), State::Waiting});
  ++waiting_;
  sendAt_ = {};
}

bool EventDispatcher::Sendable() const {
  const int window = failures_ > 0 ? 1 : active_.window;
  return inFlight_ < window && waiting_ > 0;
}

EventDispatcher::Clock::time_point EventDispatcher::SendAt() const { return std::max(retryAt_, sendAt_); }

std::chrono::milliseconds EventDispatcher::Backoff(int failures) const {
  static thread_local std::minstd_rand rng(std::random_device{}());
  std::int64_t d = active_.backoffMin.count();
  for (int i = 1; i < failures && d < active_.backoffMax.count(); ++i) d *= 2;
  d = std::min<std::int64_t>(d, active_.backoffMax.count());
  // Jitter, so that many players coming back online do not retry in step.
  std::uniform_int_distribution<std::int64_t> jitter(d / 2, std::max<std::int64_t>(d / 2, d));
  return std::chrono::milliseconds(jitter(rng));
}

void EventDispatcher::TakeAnswers(std::vector<Answer> got) {
  if (got.empty()) return;
  std::string done;
  std::uint64_t refused = 0;
  int refusedStatus = 0;
  for (const Answer& a : got) {
    auto it = std::find_if(queue_.begin(), queue_.end(),
                           [o = a.order](const Entry& e) { return e.order == o && e.state == State::InFlight; });
    if (it == queue_.end()) continue;
    --inFlight_;
    if (a.verdict != Verdict::Retry) {
      it->state = State::Done;
      done += EventQueue::DoneRecord(a.order);
      failures_ = 0;  // the server answers
      if (a.verdict == Verdict::Refused) {
        ++refused;
        refusedStatus = a.status;
      }
    } else {
      it->state = State::Waiting;
      ++waiting_;
      ++failures_;
      const auto now = Clock::now();
      retryAt_ = now + Backoff(failures_);
      // Its own pause outlasts the queue's, so the next probe is another event:
      // one event the server keeps failing cannot hold back the rest.
      it->notBefore = now + 2 * Backoff(++it->failures);
      sendAt_ = std::min(sendAt_, it->notBefore);
    }
  }
  if (refused != 0) {
    refused_ += refused;
    LOG(WARNING) << "Events refused by the server (HTTP " << refusedStatus << "), dropped: " << refused << " ("
                 << refused_.load() << " in all).";
  }
  while (!queue_.empty() && queue_.front().state == State::Done) {
    liveBytes_ -= queue_.front().text.size();
    queue_.pop_front();
  }
  if (!done.empty()) {
    nimo_sync::MutexLock fileLock(file_.Mutex());
    file_.Append(done, false);  // a lost one only means the event is sent again
  }
}

void EventDispatcher::EnforceBound() {
  std::string done;
  std::uint64_t dropped = 0;
  for (auto it = queue_.begin();
       it != queue_.end() && (queue_.size() > active_.maxEvents || liveBytes_ > active_.maxBytes);) {
    if (it->state != State::Waiting) {
      ++it;
      continue;
    }
    done += EventQueue::DoneRecord(it->order);
    liveBytes_ -= it->text.size();
    --waiting_;
    ++dropped;
    it = queue_.erase(it);
  }
  if (dropped != 0) {
    dropped_ += dropped;
    nimo_sync::MutexLock fileLock(file_.Mutex());
    file_.Append(done, false);
  }
  const std::uint64_t total = dropped_.load();
  if (total != droppedLogged_) {
    LOG(WARNING) << "Event queue full: dropped " << (total - droppedLogged_) << " oldest events (" << total
                 << " in all).";
    droppedLogged_ = total;
  }
}

void EventDispatcher::Dispatch() {
  const auto now = Clock::now();
  if (now < retryAt_) return;
  const int window = failures_ > 0 ? 1 : active_.window;  // one probe at a time while failing
  auto due = Clock::time_point::max();  // of the entries left waiting on their own back-off
  for (Entry& e : queue_) {
    if (inFlight_ >= window || waiting_ == 0) {
      due = {};
      break;
    }
    if (e.state != State::Waiting) continue;
    if (e.notBefore > now) {
      due = std::min(due, e.notBefore);
      continue;
    }
    e.state = State::InFlight;
    ++inFlight_;
    --waiting_;
    const std::int64_t order = e.order;
    transport_(e.text, [this, order](int status) { onAnswer_({order, Judge(status), status}); });
  }
  sendAt_ = due;
}

void EventDispatcher::MaybeCompact() {
  file_.MaybeCompact(liveBytes_, queue_.size(), [this] {
    std::string bytes;
    for (const Entry& e : queue_)
      if (e.state != State::Done) bytes += EventQueue::EventRecord(e.order, e.text);
    return bytes;
  });
}

}  // namespace NimoSdk
