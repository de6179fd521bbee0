// The tracker thread: numbers the events the game posted, keeps them in the
// queue file (EventQueueFile.h) and delivers them in order, with back-off
// (EventDispatcher.h). An event the server refuses for good (a redirect, a 4xx
// but 408 and 429) is dropped; one that keeps failing waits on its own back-off
// while the others go past it.
//
// Post runs on the caller's thread and only takes the hand-off's own lock
// (EventHandOff.h; the tracker's only to wake it): it never waits for the disk,
// a file lock or the network. Everything else runs on the one tracker thread
// this object owns; Shutdown (at Exit) stops it within its bound and writes
// what is still in memory to the queue file.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "Sdk/EventDispatcher.h"
#include "Sdk/EventHandOff.h"
#include "Sdk/EventQueueFile.h"
#include "Sdk/ThreadGroup.h"
#include "platform/sync/Mutex.h"

namespace NimoSdk {

class EventSender {
 public:
  using Clock = std::chrono::steady_clock;
  using Settings = EventDispatcher::Settings;

  // transport: how an event's text reaches the server; files: where the queue file is kept.
  EventSender(EventDispatcher::Transport transport, nimo_sys::FileSystem& files);
  EventSender(const EventSender&) = delete;
  EventSender& operator=(const EventSender&) = delete;
  // The SDK's instance lives for the process. Another (a test's) must not have
  // requests in flight when destroyed; its thread is stopped and joined.
  ~EventSender();

  // The tracker drafts the event's text (EventDraft.h) when it numbers it.
  void Post(PostedEvent event);
  // Starts the tracker thread once the store is known; Post starts it too.
  void Start();
  // Init knows the game's app id, and so the store its numbers and queue file
  // belong to. Until then drafts wait in memory (bounded) and no thread runs; an
  // Exit before it drops them rather than file them under another game.
  void StoreKnown();
  // Stops the thread and writes the events still in memory to the queue file,
  // by deadline. Later posts are dropped. Idempotent.
  void Shutdown(std::chrono::steady_clock::time_point deadline);

  // Drafts made before the client id was known carry it empty; the tracker puts
  // it in. Expect: it is being read, so the tracker waits for it (bounded).
  void ExpectClientId();
  void SetClientId(std::string id);

  // Test seams; call before the first Post.
  void SetSettings(const Settings& s);
  Settings GetSettings() const;
  std::uint64_t Dropped() const { return dropped_.load(); }
  std::uint64_t Refused() const { return dispatcher_.Refused(); }

  // The first of count new event numbers, never below floor, taken in one
  // locked store cycle (AppConf), which then holds the last one handed out.
  static std::int64_t ReserveNumbers(std::size_t count, std::int64_t floor);

 private:
  using Answer = EventDispatcher::Answer;

  void Run();
  void Load();
  bool NumberBatch();                    // false when Exit took over
  std::int64_t Reserve(std::size_t count) { return ReserveNumbers(count, highest_); }
  void TakeAnswers();
  void OnAnswer(Answer answer);
  std::string ClientIdForDrafts(bool wait);
  // The event's text into out; false (logged, counted) when it cannot be drafted.
  bool Draft(const PostedEvent& event, std::string& out);

  std::atomic<std::uint64_t> dropped_{0};

  // Drafts from the posting threads; its lock is taken after mutex_.
  EventHandOff hand_{Settings{}.maxEvents, Settings{}.maxBytes};

  std::atomic<bool> started_{false};                         // set under mutex_
  std::atomic<bool> storeKnown_{false};
  std::atomic<bool> asleep_{false};                          // the tracker waits on cv_ (or is about to)

  // Guarded by mutex_ (never held across disk or network work).
  mutable nimo_sync::Mutex mutex_;
  nimo_sync::CondVar cv_;
  std::deque<SharedEvent> batch_;                            // older events the tracker is numbering
  std::vector<Answer> answers_;                              // from HTTP workers
  Settings settings_;
  bool stopping_ = false;
  bool flushedAtExit_ = false;
  std::string clientId_;
  bool idExpected_ = false;
  bool idKnown_ = false;
  ThreadGroup thread_;  // the tracker thread

  // Its mutex is taken before mutex_ when both are needed.
  EventQueueFile file_;

  // Tracker thread only.
  EventDispatcher dispatcher_;
  std::int64_t highest_ = 0;
  Clock::time_point nextBatchAt_{};                         // drafts are numbered no earlier
};

}  // namespace NimoSdk
