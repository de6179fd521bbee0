// The numbered events in memory, in order, and their delivery: at most a
// window of requests in flight (one probe while failing), a back-off for the
// queue and one for each event, the judgement of each answer, and the bound
// that drops the oldest waiting events. What leaves the queue is marked done
// in the queue file.
//
// Tracker thread only, but for the answer callback (an HTTP worker's) and the
// counters.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace NimoSdk {

class EventQueueFile;

class EventDispatcher {
 public:
  using Clock = std::chrono::steady_clock;

  struct Settings {
    std::size_t maxEvents = 10000;         // queue bound, events
    std::size_t maxBytes = 8u << 20;       // queue bound, bytes of event text (10,000 typical events)
    int window = 4;                        // requests in flight at once (1 while failing): the pool's four event workers
    std::chrono::milliseconds backoffMin{1000};
    std::chrono::milliseconds backoffMax{300000};
  };
  enum class Verdict { Delivered, Refused, Retry };
  struct Answer {
    std::int64_t order;
    Verdict verdict;
    int status;
  };
  // Hands an answer to the tracker thread; runs on an HTTP worker.
  using OnAnswer = std::function<void(Answer)>;
  // Sends one event's text; onStatus later gets the HTTP status (0: no answer).
  using Transport = std::function<void(std::string text, std::function<void(int status)> onStatus)>;

  // dropped: the count of events dropped for the bound, shared with the hand-off.
  EventDispatcher(EventQueueFile& file, Transport transport, OnAnswer onAnswer, std::atomic<std::uint64_t>& dropped);
  EventDispatcher(const EventDispatcher&) = delete;
  EventDispatcher& operator=(const EventDispatcher&) = delete;

  static Verdict Judge(int status);

  void SetSettings(const Settings& s) { active_ = s; }
  // A numbered event, to be sent as soon as the window lets it.
  void Add(std::int64_t order, std::string text);
  // Whether the window has room for a waiting event, and when one may go.
  bool Sendable() const;
  Clock::time_point SendAt() const;

  void TakeAnswers(std::vector<Answer> got);
  void EnforceBound();
  void Dispatch();
  void MaybeCompact();

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

  std::chrono::milliseconds Backoff(int failures) const;

  EventQueueFile& file_;
  const Transport transport_;
  const OnAnswer onAnswer_;
  std::atomic<std::uint64_t>& dropped_;
  std::atomic<std::uint64_t> refused_{0};

  std::deque<Entry> queue_;
  std::size_t liveBytes_ = 0;
  int inFlight_ = 0;
  int waiting_ = 0;                                          // entries in state Waiting
  int failures_ = 0;
  Clock::time_point retryAt_{};                              // the next probe while failing
  Clock::time_point sendAt_{};                               // no Waiting entry is due before
  Settings active_;
  std::uint64_t droppedLogged_ = 0;
};

}  // namespace NimoSdk
