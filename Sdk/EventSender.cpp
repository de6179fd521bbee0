#include "Sdk/EventSender.h"

#include <easylogging++.h>

#include <algorithm>
#include <limits>
#include <utility>

#include "Sdk/EventQueue.h"
#include "Sdk/NimoConfigUtils.h"
#include "Sdk/Session.h"
#include "platform/sys/ThreadPriority.h"

namespace NimoSdk {
namespace {

constexpr auto kClientIdWait = std::chrono::seconds(10);
constexpr auto kBatchGap = std::chrono::milliseconds(50);  // between two numbered batches

}  // namespace

void EventSender::SetSettings(const Settings& s) {
  nimo_sync::MutexLock lock(mutex_);
  settings_ = s;
  hand_.SetBound(s.maxEvents, s.maxBytes);
}

EventSender::Settings EventSender::GetSettings() const {
  nimo_sync::MutexLock lock(mutex_);
  return settings_;
}

void EventSender::ExpectClientId() {
  nimo_sync::MutexLock lock(mutex_);
  idExpected_ = true;
}

void EventSender::SetClientId(std::string id) {
  {
    nimo_sync::MutexLock lock(mutex_);
    clientId_ = std::move(id);
    idKnown_ = true;
  }
  cv_.notify_all();
}

// The id for drafts made before it was known; empty when there is none (yet).
std::string EventSender::ClientIdForDrafts(bool wait) {
  nimo_sync::UniqueLock lock(mutex_);
  if (wait && !idKnown_ && idExpected_ &&
      !cv_.wait_for(lock, kClientIdWait, [this] { return idKnown_ || stopping_; })) {
    idExpected_ = false;  // not another wait for every batch
    LOG(ERROR) << "Client id not read in time; events go without it.";
  }
  return idKnown_ ? clientId_ : std::string();
}

EventSender::EventSender(EventDispatcher::Transport transport, nimo_sys::FileSystem& files)
    : file_(files),
      dispatcher_(file_, std::move(transport), [this](Answer a) { OnAnswer(a); }, dropped_) {}

EventSender::~EventSender() {
  {
    nimo_sync::MutexLock lock(mutex_);
    stopping_ = true;
  }
  cv_.notify_all();
  thread_.JoinAll();
}

// ---------------------------------------------------------------- caller's thread

void EventSender::Post(PostedEvent event) {
  const std::uint64_t drop = hand_.Push(std::make_shared<const PostedEvent>(std::move(event)));
  if (drop != 0) dropped_ += drop;
  if (!started_.load() && storeKnown_.load()) Start();
  // The tracker's own lock only when it sleeps: it sets asleep_ before it looks
  // at the hand-off for the last time, so either it sees this draft or we see it asleep.
  if (asleep_.load()) {
    { nimo_sync::MutexLock lock(mutex_); }
    cv_.notify_one();
  }
}

void EventSender::StoreKnown() {
  storeKnown_ = true;
  Start();
}

void EventSender::Start() {
  nimo_sync::MutexLock lock(mutex_);
  if (started_.load() || stopping_ || !storeKnown_.load()) return;
  std::string why;
  if (thread_.Spawn([this] { Run(); }, &why)) {
    started_ = true;
  } else {
    LOG(ERROR) << "Event thread not started: " << why;  // events stay in memory until Exit saves them
  }
}

// ---------------------------------------------------------------- Exit

void EventSender::Shutdown(Clock::time_point deadline) {
  // Half of the time left for the thread; the rest for the file.
  const auto threadDeadline = Clock::now() + std::max(Clock::duration::zero(), deadline - Clock::now()) / 2;
  {
    nimo_sync::MutexLock lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
  }
  cv_.notify_all();
  // One stuck on a file lock is left to end: it gives up once it sees flushedAtExit_.
  if (!thread_.JoinUntil(threadDeadline)) LOG(WARNING) << "Event thread did not stop in time.";

  if (!storeKnown_.load()) {
    std::size_t lost = 0;
    {
      nimo_sync::MutexLock lock(mutex_);
      flushedAtExit_ = true;
      lost = hand_.Close().size();
    }
    dropped_ += lost;
    if (lost != 0) LOG(WARNING) << "Exit before Init knew the game: " << lost << " events not saved.";
    return;
  }
  // Polled rather than a timed lock, which the thread checker cannot follow.
  nimo_sync::UniqueLock fileLock(file_.Mutex(), std::defer_lock);
  while (!fileLock.try_lock() && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  if (!fileLock.owns_lock()) {
    std::size_t lost = 0;
    {
      nimo_sync::MutexLock lock(mutex_);
      flushedAtExit_ = true;
      lost = hand_.Close().size() + batch_.size();
    }
    LOG(ERROR) << "Event queue file busy at Exit: " << lost << " events not saved.";
    return;
  }
  std::deque<SharedEvent> events;
  std::vector<Answer> answers;
  {
    nimo_sync::MutexLock lock(mutex_);
    flushedAtExit_ = true;
    events.swap(batch_);  // older than the pending ones
    for (SharedEvent& e : hand_.Close()) events.push_back(std::move(e));
    answers.swap(answers_);
  }
  std::string bytes;
  for (const Answer& a : answers)
    if (a.verdict != EventDispatcher::Verdict::Retry) bytes += EventQueue::DoneRecord(a.order);
  const std::string id = ClientIdForDrafts(false);
  // Drafted here, a few microseconds each, as many as the hand-off's bound lets wait.
  std::string draft;
  for (const SharedEvent& e : events)
    if (Draft(*e, draft)) bytes += EventQueue::UnnumberedRecord(EventQueue::WithClientId(std::move(draft), id));
  file_.AppendAndRelease(bytes);
}

bool EventSender::Draft(const PostedEvent& event, std::string& out) {
  try {
    out = DraftEvent(event);
    return true;
  } catch (const std::exception& e) {
    LOG(ERROR) << "Post Event Failed:" << e.what();
  } catch (...) {
  }
  ++dropped_;
  return false;
}

// ---------------------------------------------------------------- tracker thread

void EventSender::Run() {
  nimo_sys::LowerThisThreadPriority();  // events can wait; the game's frame cannot
  Load();
  nimo_sync::UniqueLock lock(mutex_);
  dispatcher_.SetSettings(settings_);
  while (!stopping_) {
    asleep_ = true;  // before the last look at the hand-off (see Post)
    const bool numbering = !hand_.Empty();
    const auto now = Clock::now();
    const bool numberNow = numbering && now >= nextBatchAt_;
    const bool answers = !answers_.empty();
    const bool sendable = dispatcher_.Sendable();
    const auto sendAt = dispatcher_.SendAt();
    if (!numberNow && !answers && !(sendable && now >= sendAt)) {
      auto until = Clock::time_point::max();
      if (sendable) until = sendAt;
      if (now < nextBatchAt_) {
        // Drafts, and those posted until then, wait for their batch: the timer
        // wakes us, so Post need not. A stream of posts then wakes nobody.
        asleep_ = false;
        until = std::min(until, nextBatchAt_);
      }
      if (until == Clock::time_point::max()) {
        cv_.wait(lock);
      } else {
        cv_.wait_until(lock, until);
      }
      continue;
    }
    asleep_ = false;
    lock.unlock();
    // One store cycle and one sync per gap at most: a stream of events is
    // numbered in batches, not a few at a time as fast as the disk allows.
    if (numberNow) nextBatchAt_ = now + kBatchGap;
    const bool ours = !numberNow || NumberBatch();
    if (ours) {
      TakeAnswers();
      dispatcher_.EnforceBound();
      dispatcher_.Dispatch();
      dispatcher_.MaybeCompact();
    }
    lock.lock();
    if (!ours) break;
  }
}

void EventSender::Load() {
  EventQueueFile::Contents found;
  {
    nimo_sync::MutexLock fileLock(file_.Mutex());
    if (!file_.Read(found)) return;
  }
  std::vector<QueuedEvent>& live = found.live;

  // Events saved at an earlier Exit before they had a number get theirs now.
  std::size_t unnumbered = 0;
  bool lacking = false;
  for (const QueuedEvent& e : live) {
    unnumbered += e.order == 0 ? 1 : 0;
    lacking = lacking || (e.order == 0 && EventQueue::LacksClientId(e.text));
  }
  const std::string id = lacking ? ClientIdForDrafts(true) : std::string();
  highest_ = found.highest;
  std::int64_t next = unnumbered > 0 ? Reserve(unnumbered) : 0;

  nimo_sync::MutexLock fileLock(file_.Mutex());
  {
    nimo_sync::MutexLock lock(mutex_);
    if (flushedAtExit_) return;  // Exit appended to the file meanwhile; the next start reads both
  }
  std::string bytes;
  for (QueuedEvent& e : live) {
    if (e.order == 0) {
      e.order = next++;
      e.text = EventQueue::WithOrder(EventQueue::WithClientId(std::move(e.text), id), e.order);
      found.rewrite = true;
    }
    highest_ = std::max(highest_, e.order);
    bytes += EventQueue::EventRecord(e.order, e.text);
    dispatcher_.Add(e.order, std::move(e.text));
  }
  file_.Settle(found, bytes);
}

std::int64_t EventSender::ReserveNumbers(std::size_t count, std::int64_t floor) {
  std::int64_t first = 1;
  const auto n = static_cast<std::int64_t>(count);
  // One locked store cycle for the whole batch; the file holds the last number
  // handed out. Never below a number already in the queue file, in case
  // AppConf lost a write the queue file kept.
  NimoConfigUtils::Update(false, [&](nlohmann::json& conf) {
    std::int64_t last = std::max<std::int64_t>(NimoConfigUtils::IntOr(conf, "EventOrder", 0), floor);
    if (last < 0 || last > std::numeric_limits<std::int64_t>::max() - n) last = 0;
    first = last + 1;
    conf["EventOrder"] = last + n;
  });
  return first;
}

bool EventSender::NumberBatch() {
  std::vector<SharedEvent> taken;
  {
    nimo_sync::MutexLock lock(mutex_);
    hand_.TakeInto(batch_);
    taken.assign(batch_.begin(), batch_.end());
  }
  if (taken.empty()) return true;
  // Drafted with no lock held; Exit, meanwhile, saves the same events from batch_.
  std::vector<std::string> drafts;
  drafts.reserve(taken.size());
  std::string draft;
  for (const SharedEvent& e : taken)
    if (Draft(*e, draft)) drafts.push_back(std::move(draft));
  taken.clear();
  // Drafts made while Init reads the id lack it; later ones have it.
  const std::string id = drafts.empty() ? std::string() : ClientIdForDrafts(true);
  const std::int64_t first = drafts.empty() ? 0 : Reserve(drafts.size());

  std::deque<SharedEvent> batch;  // freed after the locks
  nimo_sync::MutexLock fileLock(file_.Mutex());
  {
    nimo_sync::MutexLock lock(mutex_);
    // Exit saved these (unnumbered) while the store was locked: the numbers
    // just taken stay unused rather than being given twice.
    if (flushedAtExit_) return false;
    batch.swap(batch_);
  }
  if (drafts.empty()) return true;
  std::string records;
  for (std::size_t i = 0; i < drafts.size(); ++i) {
    const std::int64_t order = first + static_cast<std::int64_t>(i);
    if (!id.empty() && EventQueue::LacksClientId(drafts[i])) drafts[i] = EventQueue::WithClientId(std::move(drafts[i]), id);
    std::string text = EventQueue::WithOrder(drafts[i], order);
    records += EventQueue::EventRecord(order, text);
    dispatcher_.Add(order, std::move(text));
  }
  highest_ = std::max(highest_, first + static_cast<std::int64_t>(drafts.size()) - 1);
  file_.Append(records, true);
  return true;
}

void EventSender::TakeAnswers() {
  std::vector<Answer> got;
  {
    nimo_sync::MutexLock lock(mutex_);
    got.swap(answers_);
  }
  dispatcher_.TakeAnswers(std::move(got));
}

void EventSender::OnAnswer(Answer answer) {
  {
    nimo_sync::MutexLock lock(mutex_);
    answers_.push_back(answer);
  }
  cv_.notify_one();
}

}  // namespace NimoSdk
