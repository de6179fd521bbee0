#include "Sdk/EventSender.h"

#include <easylogging++.h>

#include <algorithm>
#include <limits>
#include <random>

#include "Sdk/CNimoApi.h"
#include "Sdk/EventQueue.h"
#include "Sdk/HttpResp.h"
#include "Sdk/NimoConfigUtils.h"
#include "Sdk/Session.h"
#include "Sdk/Singletons.h"
#include "platform/sys/AtomicFile.h"
#include "platform/sys/ThreadPriority.h"

namespace NimoSdk {
namespace {

constexpr int kSlots = 8;                     // processes of one game that each keep a queue file
constexpr std::size_t kMaxFileBytes = 64u << 20;
constexpr std::size_t kCompactAt = 1u << 20;  // rewrite once this much is mostly dead records
constexpr std::size_t kRecordOverhead = 48;
constexpr auto kClientIdWait = std::chrono::seconds(10);
constexpr auto kBatchGap = std::chrono::milliseconds(50);  // between two numbered batches

std::string SlotName(int slot) { return slot == 0 ? "EventQueue" : "EventQueue." + std::to_string(slot); }

// The queue files sit beside AppConf, in the per-game folder.
std::string QueueFolder() {
  std::string conf = NimoConfigUtils::GetAppConfigPath();
  std::size_t slash = conf.rfind('/');
  return slash == std::string::npos ? "." : conf.substr(0, slash);
}

}  // namespace

// A 2xx is final whatever its body. A redirect (never followed) or a 4xx says
// the server will never take this event: retrying it would only hold the others
// back. 408, 429, 5xx and no answer at all are worth another try.
EventSender::Verdict EventSender::Judge(int status) {
  if (status >= 200 && status < 300) return Verdict::Delivered;
  if (status == 408 || status == 429) return Verdict::Retry;
  return status >= 300 && status < 500 ? Verdict::Refused : Verdict::Retry;
}

void EventSender::SetSettings(const Settings& s) {
  nimo_sync::MutexLock lock(mutex_);
  settings_ = s;
  nimo_sync::MutexLock hand(handMutex_);
  handMaxEvents_ = s.maxEvents;
  handMaxBytes_ = s.maxBytes;
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

EventSender::~EventSender() {
  {
    nimo_sync::MutexLock lock(mutex_);
    stopping_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

// ---------------------------------------------------------------- caller's thread

void EventSender::Post(std::string draft) {
  std::uint64_t drop = 0;
  std::string oldest;  // freed after the lock
  {
    nimo_sync::MutexLock hand(handMutex_);
    if (closed_) {
      drop = 1;
    } else {
      pendingBytes_ += draft.size();
      pending_.push_back(std::move(draft));
      // While the tracker cannot keep up (a file lock held elsewhere) memory
      // stays bounded: the oldest that are not being numbered go.
      while ((pending_.size() > handMaxEvents_ || pendingBytes_ > handMaxBytes_) && pending_.size() > 1) {
        pendingBytes_ -= pending_.front().size();
        oldest = std::move(pending_.front());
        pending_.pop_front();
        ++drop;
      }
    }
  }
  if (drop != 0) dropped_ += drop;
  if (!started_.load() && storeKnown_.load()) Start();
  // The tracker's own lock only when it sleeps: it sets asleep_ before it looks
  // at pending_ for the last time, so either it sees this draft or we see it asleep.
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
  try {
    thread_ = std::thread([this, session = session::OfThisThread()] {
      session::Scope scope(session);
      Run();
    });
    started_ = true;
  } catch (const std::exception& e) {
    LOG(ERROR) << "Event thread not started: " << e.what();  // events stay in memory until Exit saves them
  }
}

// ---------------------------------------------------------------- Exit

void EventSender::Shutdown(std::chrono::milliseconds bound) {
  const auto deadline = Clock::now() + bound;
  std::thread thread;
  bool ended = true;
  {
    nimo_sync::UniqueLock lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
    cv_.notify_all();
    if (started_) ended = doneCv_.wait_until(lock, Clock::now() + bound / 2, [this] { return threadDone_; });
    thread = std::move(thread_);
  }
  if (thread.joinable()) {
    if (ended) {
      thread.join();
    } else {
      thread.detach();  // stuck on a file lock; it gives up once it sees flushedAtExit_
      LOG(WARNING) << "Event thread did not stop in time.";
    }
  }

  if (!storeKnown_.load()) {
    std::size_t lost = 0;
    {
      nimo_sync::MutexLock lock(mutex_);
      flushedAtExit_ = true;
      nimo_sync::MutexLock hand(handMutex_);
      closed_ = true;
      lost = pending_.size();
      pending_.clear();
      pendingBytes_ = 0;
    }
    dropped_ += lost;
    if (lost != 0) LOG(WARNING) << "Exit before Init knew the game: " << lost << " events not saved.";
    return;
  }
  // Polled rather than a timed lock, which the thread checker cannot follow.
  nimo_sync::UniqueLock fileLock(fileMutex_, std::defer_lock);
  while (!fileLock.try_lock() && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  if (!fileLock.owns_lock()) {
    std::size_t lost = 0;
    {
      nimo_sync::MutexLock lock(mutex_);
      flushedAtExit_ = true;
      nimo_sync::MutexLock hand(handMutex_);
      closed_ = true;
      lost = pending_.size() + batch_.size();
    }
    LOG(ERROR) << "Event queue file busy at Exit: " << lost << " events not saved.";
    return;
  }
  std::deque<std::string> drafts;
  std::vector<Answer> answers;
  {
    nimo_sync::MutexLock lock(mutex_);
    flushedAtExit_ = true;
    drafts.swap(batch_);  // older than the pending ones
    nimo_sync::MutexLock hand(handMutex_);
    closed_ = true;
    for (std::string& d : pending_) drafts.push_back(std::move(d));
    pending_.clear();
    pendingBytes_ = 0;
    answers.swap(answers_);
  }
  std::string bytes;
  for (const Answer& a : answers)
    if (a.verdict != Verdict::Retry) bytes += EventQueue::DoneRecord(a.order);
  const std::string id = ClientIdForDrafts(false);
  for (const std::string& d : drafts) bytes += EventQueue::UnnumberedRecord(EventQueue::WithClientId(d, id));
  if (!bytes.empty()) {
    if (path_.empty()) OpenSlotLocked();
    if (!file_.IsOpen() && !path_.empty()) file_.Open(path_);
    AppendLocked(bytes, true);
  }
  // The file is free for the next start of the game (or another process of it).
  file_.Close();
  slotLock_.reset();
  path_.clear();
}

// ---------------------------------------------------------------- tracker thread

void EventSender::Run() {
  nimo_sys::LowerThisThreadPriority();  // events can wait; the game's frame cannot
  Load();
  nimo_sync::UniqueLock lock(mutex_);
  active_ = settings_;
  while (!stopping_) {
    asleep_ = true;  // before the last look at pending_ (see Post)
    bool numbering = false;
    {
      nimo_sync::MutexLock hand(handMutex_);
      numbering = !pending_.empty();
    }
    const auto now = Clock::now();
    const bool numberNow = numbering && now >= nextBatchAt_;
    const bool answers = !answers_.empty();
    const int window = failures_ > 0 ? 1 : active_.window;
    const bool sendable = inFlight_ < window && waiting_ > 0;
    const auto sendAt = std::max(retryAt_, sendAt_);
    if (!numberNow && !answers && !(sendable && now >= sendAt)) {
      auto until = Clock::time_point::max();
      if (sendable) until = sendAt;
      if (numbering) {
        // Drafts wait for their batch: the timer wakes us, so Post need not.
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
      EnforceBound();
      Dispatch();
      MaybeCompact();
    }
    lock.lock();
    if (!ours) break;
  }
  threadDone_ = true;
  doneCv_.notify_all();
}

bool EventSender::OpenSlotLocked() {
  const std::string folder = QueueFolder();
  for (int slot = 0; slot < kSlots; ++slot) {
    auto lock = std::make_unique<nimo_sys::TryFileLock>(folder + "/" + SlotName(slot) + ".lock");
    if (!lock->IsHeld()) continue;
    slotLock_ = std::move(lock);
    path_ = folder + "/" + SlotName(slot);
    return true;
  }
  LOG(ERROR) << "No event queue file free in " << folder << "; events are kept in memory only.";
  return false;
}

void EventSender::Load() {
  std::vector<QueuedEvent> live;
  std::int64_t highest = 0;
  std::size_t existing = 0;
  bool rewrite = false;
  std::vector<std::unique_ptr<nimo_sys::TryFileLock>> adoptedLocks;
  std::vector<std::string> adoptedPaths;
  {
    nimo_sync::MutexLock fileLock(fileMutex_);
    if (!OpenSlotLocked()) return;
    auto take = [&](const std::string& bytes) {
      EventQueue::Parsed p = EventQueue::Parse(bytes);
      if (p.skipped > 0) LOG(WARNING) << "Event queue file: " << p.skipped << " torn or corrupt records skipped.";
      rewrite = rewrite || p.skipped > 0 || p.records != p.live.size();
      highest = std::max(highest, p.highest);
      for (QueuedEvent& e : p.live) live.push_back(std::move(e));
    };
    std::string bytes;
    if (nimo_sys::ReadWholeFile(path_, bytes, kMaxFileBytes)) {
      existing = bytes.size();
      take(bytes);
    } else if (!bytes.empty() || nimo_sys::ReadWholeFile(path_, bytes, std::numeric_limits<std::size_t>::max() / 2)) {
      LOG(ERROR) << "Event queue file too large; started afresh.";
      rewrite = true;
    }
    // Queue files of processes of this game that ended without sending theirs.
    const std::string folder = path_.substr(0, path_.rfind('/'));
    for (int slot = 0; slot < kSlots; ++slot) {
      const std::string other = folder + "/" + SlotName(slot);
      std::string text;
      if (other == path_ || !nimo_sys::ReadWholeFile(other, text, kMaxFileBytes) || text.empty()) continue;
      auto lock = std::make_unique<nimo_sys::TryFileLock>(other + ".lock");
      if (!lock->IsHeld() || !nimo_sys::ReadWholeFile(other, text, kMaxFileBytes)) continue;
      take(text);
      rewrite = true;
      adoptedLocks.push_back(std::move(lock));
      adoptedPaths.push_back(other);
    }
  }

  // Events saved at an earlier Exit before they had a number get theirs now.
  std::size_t unnumbered = 0;
  bool lacking = false;
  for (const QueuedEvent& e : live) {
    unnumbered += e.order == 0 ? 1 : 0;
    lacking = lacking || (e.order == 0 && EventQueue::LacksClientId(e.text));
  }
  const std::string id = lacking ? ClientIdForDrafts(true) : std::string();
  highest_ = highest;
  std::int64_t next = unnumbered > 0 ? Reserve(unnumbered) : 0;

  nimo_sync::MutexLock fileLock(fileMutex_);
  {
    nimo_sync::MutexLock lock(mutex_);
    if (flushedAtExit_) return;  // Exit appended to the file meanwhile; the next start reads both
  }
  std::string bytes;
  for (QueuedEvent& e : live) {
    if (e.order == 0) {
      e.order = next++;
      e.text = EventQueue::WithOrder(EventQueue::WithClientId(std::move(e.text), id), e.order);
      rewrite = true;
    }
    highest_ = std::max(highest_, e.order);
    bytes += EventQueue::EventRecord(e.order, e.text);
    liveBytes_ += e.text.size();
    queue_.push_back({e.order, std::move(e.text), State::Waiting});
    ++waiting_;
  }
  sendAt_ = {};
  if (rewrite && !nimo_sys::ReplaceFileContent(path_, bytes, true)) LOG(ERROR) << "Event queue file not rewritten.";
  for (const std::string& p : adoptedPaths) nimo_sys::RemoveFile(p);
  if (!file_.Open(path_)) LOG(ERROR) << "Event queue file cannot be opened: " << path_;
  fileBytes_ = rewrite ? bytes.size() : existing;
}

std::int64_t EventSender::Reserve(std::size_t count) {
  std::int64_t first = 1;
  const std::int64_t floor = highest_;
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
  std::size_t count = 0;
  {
    // A swap, so the caller's Post never waits behind a copy.
    nimo_sync::MutexLock lock(mutex_);
    nimo_sync::MutexLock hand(handMutex_);
    batch_.swap(pending_);
    pendingBytes_ = 0;
    count = batch_.size();
  }
  if (count == 0) return true;
  // Drafts made while Init reads the id lack it; later ones have it.
  const std::string id = ClientIdForDrafts(true);
  const std::int64_t first = Reserve(count);

  std::deque<std::string> batch;
  nimo_sync::MutexLock fileLock(fileMutex_);
  {
    nimo_sync::MutexLock lock(mutex_);
    // Exit saved these (unnumbered) while the store was locked: the numbers
    // just taken stay unused rather than being given twice.
    if (flushedAtExit_) return false;
    batch.swap(batch_);
  }
  std::string records;
  for (std::size_t i = 0; i < batch.size(); ++i) {
    const std::int64_t order = first + static_cast<std::int64_t>(i);
    const bool lacks = !id.empty() && EventQueue::LacksClientId(batch[i]);
    std::string text = EventQueue::WithOrder(lacks ? EventQueue::WithClientId(batch[i], id) : batch[i], order);
    records += EventQueue::EventRecord(order, text);
    liveBytes_ += text.size();
    queue_.push_back({order, std::move(text), State::Waiting});
    ++waiting_;
  }
  highest_ = std::max(highest_, first + static_cast<std::int64_t>(batch.size()) - 1);
  sendAt_ = {};
  AppendLocked(records, true);
  return true;
}

void EventSender::AppendLocked(const std::string& bytes, bool sync) {
  if (!file_.IsOpen()) return;
  // After a failed write the file ends mid-line: start on a fresh one.
  if (tornTail_ && file_.Append("\n")) {
    ++fileBytes_;
    tornTail_ = false;
  }
  if (!tornTail_ && file_.Append(bytes)) {
    fileBytes_ += bytes.size();
  } else {
    tornTail_ = true;
    LOG(ERROR) << "Event queue file write failed.";
  }
  if (sync) file_.Sync();
}

void EventSender::OnAnswer(Answer answer) {
  {
    nimo_sync::MutexLock lock(mutex_);
    answers_.push_back(answer);
  }
  cv_.notify_one();
}

std::chrono::milliseconds EventSender::Backoff(int failures) const {
  static thread_local std::minstd_rand rng(std::random_device{}());
  std::int64_t d = active_.backoffMin.count();
  for (int i = 1; i < failures && d < active_.backoffMax.count(); ++i) d *= 2;
  d = std::min<std::int64_t>(d, active_.backoffMax.count());
  // Jitter, so that many players coming back online do not retry in step.
  std::uniform_int_distribution<std::int64_t> jitter(d / 2, std::max<std::int64_t>(d / 2, d));
  return std::chrono::milliseconds(jitter(rng));
}

void EventSender::TakeAnswers() {
  std::vector<Answer> got;
  {
    nimo_sync::MutexLock lock(mutex_);
    got.swap(answers_);
  }
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
    nimo_sync::MutexLock fileLock(fileMutex_);
    AppendLocked(done, false);  // a lost one only means the event is sent again
  }
}

void EventSender::EnforceBound() {
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
    nimo_sync::MutexLock fileLock(fileMutex_);
    AppendLocked(done, false);
  }
  const std::uint64_t total = dropped_.load();
  if (total != droppedLogged_) {
    LOG(WARNING) << "Event queue full: dropped " << (total - droppedLogged_) << " oldest events (" << total
                 << " in all).";
    droppedLogged_ = total;
  }
}

void EventSender::Dispatch() {
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
    Api().PostTrackData(e.text, [this, order](HttpResp r) { OnAnswer({order, Judge(r.status), r.status}); });
  }
  sendAt_ = due;
}

void EventSender::MaybeCompact() {
  nimo_sync::MutexLock fileLock(fileMutex_);
  const std::size_t live = liveBytes_ + kRecordOverhead * queue_.size();
  if (path_.empty() || fileBytes_ < kCompactAt || fileBytes_ < 2 * live) return;
  std::string bytes;
  for (const Entry& e : queue_)
    if (e.state != State::Done) bytes += EventQueue::EventRecord(e.order, e.text);
  if (nimo_sys::ReplaceFileContent(path_, bytes, true) && file_.Open(path_)) {
    fileBytes_ = bytes.size();
    tornTail_ = false;
  }
}

}  // namespace NimoSdk
