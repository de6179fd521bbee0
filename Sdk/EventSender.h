// The tracker thread: numbers the events the game posted, keeps them in the
// queue file (EventQueue.h) and delivers them in order, with back-off. An event
// the server refuses for good (a redirect, a 4xx but 408 and 429) is dropped; one
// that keeps failing waits on its own back-off while the others go past it.
//
// Post runs on the caller's thread and only takes the hand-off's own lock (the
// tracker's only to wake it): it never waits for the disk, a file lock or the
// network. Everything else runs on the one tracker thread this object owns;
// Shutdown (at Exit) stops it within its bound and writes what is still in
// memory to the queue file.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/sync/Mutex.h"
#include "platform/sys/AppendFile.h"

namespace NimoSdk {

class EventSender {
 public:
  using Clock = std::chrono::steady_clock;

  struct Settings {
    std::size_t maxEvents = 10000;         // queue bound, events
    std::size_t maxBytes = 8u << 20;       // queue bound, bytes of event text (10,000 typical events)
    int window = 4;                        // requests in flight at once (1 while failing): the pool's four event workers
    std::chrono::milliseconds backoffMin{1000};
    std::chrono::milliseconds backoffMax{300000};
  };

  EventSender() = default;
  EventSender(const EventSender&) = delete;
  EventSender& operator=(const EventSender&) = delete;
  // The SDK's instance lives for the process. Another (a test's) must not have
  // requests in flight when destroyed; its thread is stopped and joined.
  ~EventSender();

  // draft: the event's compact JSON with "eventOrder":"" (EventQueue::WithOrder).
  void Post(std::string draft);
  // Starts the tracker thread once the store is known; Post starts it too.
  void Start();
  // Init knows the game's app id, and so the store its numbers and queue file
  // belong to. Until then drafts wait in memory (bounded) and no thread runs; an
  // Exit before it drops them rather than file them under another game.
  void StoreKnown();
  // Stops the thread (waiting at most about bound) and writes the events still
  // in memory to the queue file. Later posts are dropped. Idempotent.
  void Shutdown(std::chrono::milliseconds bound);

  // Drafts made before the client id was known carry it empty; the tracker puts
  // it in. Expect: it is being read, so the tracker waits for it (bounded).
  void ExpectClientId();
  void SetClientId(std::string id);

  // Test seams; call before the first Post.
  void SetSettings(const Settings& s);
  Settings GetSettings() const;
  std::uint64_t Dropped() const { return dropped_.load(); }
  std::uint64_t Refused() const { return refused_.load(); }

 private:
  enum class State { Waiting, InFlight, Done };
  struct Entry {
    std::int64_t order;
    std::string text;
    State state;
    int failures = 0;
    Clock::time_point notBefore{};  // its own back-off
  };
  enum class Verdict { Delivered, Refused, Retry };
  struct Answer {
    std::int64_t order;
    Verdict verdict;
    int status;
  };

  void Run();
  void Load();
  bool OpenSlotLocked();                 // fileMutex_ held; sets slotLock_ and path_
  bool NumberBatch();                    // false when Exit took over
  void TakeAnswers();
  void EnforceBound();
  void Dispatch();
  void MaybeCompact();
  void AppendLocked(const std::string& bytes, bool sync);  // fileMutex_ held
  std::int64_t Reserve(std::size_t count);  // first of count new numbers (AppConf cycle)
  std::chrono::milliseconds Backoff(int failures) const;
  void OnAnswer(Answer answer);
  static Verdict Judge(int status);
  std::string ClientIdForDrafts(bool wait);

  // The hand-off from the posting threads: guarded by handMutex_, which guards
  // nothing else and is held for a push or a swap only (taken after mutex_
  // when both are needed).
  nimo_sync::Mutex handMutex_;
  std::deque<std::string> pending_;                          // drafts, not numbered yet
  std::size_t pendingBytes_ = 0;
  std::size_t handMaxEvents_ = Settings{}.maxEvents;
  std::size_t handMaxBytes_ = Settings{}.maxBytes;
  bool closed_ = false;                                      // Exit took the drafts; later ones are dropped

  std::atomic<bool> started_{false};                         // set under mutex_
  std::atomic<bool> storeKnown_{false};
  std::atomic<bool> asleep_{false};                          // the tracker waits on cv_ (or is about to)

  // Guarded by mutex_ (never held across disk or network work).
  mutable nimo_sync::Mutex mutex_;
  nimo_sync::CondVar cv_;
  std::deque<std::string> batch_;                            // older drafts the tracker is numbering
  std::vector<Answer> answers_;                              // from HTTP workers
  Settings settings_;
  bool stopping_ = false;
  bool flushedAtExit_ = false;
  bool threadDone_ = false;
  std::string clientId_;
  bool idExpected_ = false;
  bool idKnown_ = false;
  nimo_sync::CondVar doneCv_;
  std::thread thread_;

  // Guarded by fileMutex_ (taken before mutex_ when both are needed).
  nimo_sync::Mutex fileMutex_;
  std::unique_ptr<nimo_sys::TryFileLock> slotLock_;
  std::string path_;                                         // empty: no queue file could be had
  nimo_sys::AppendFile file_;
  std::size_t fileBytes_ = 0;
  bool tornTail_ = false;                                    // the last append failed part way

  // Tracker thread only.
  std::deque<Entry> queue_;
  std::size_t liveBytes_ = 0;
  std::int64_t highest_ = 0;
  int inFlight_ = 0;
  int waiting_ = 0;                                          // entries in state Waiting
  int failures_ = 0;
  Clock::time_point retryAt_{};                              // the next probe while failing
  Clock::time_point sendAt_{};                               // no Waiting entry is due before
  Clock::time_point nextBatchAt_{};                         // drafts are numbered no earlier
  Settings active_;
  std::uint64_t droppedLogged_ = 0;

  std::atomic<std::uint64_t> dropped_{0};
  std::atomic<std::uint64_t> refused_{0};
};

}  // namespace NimoSdk
