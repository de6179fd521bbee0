// Analytics events: validation, sequence numbers, payload and posting.
//
// Every method may be called from any thread (the game's for the export and the
// start-up event, an HTTP worker for the login event, the setters' threads for
// the user facts). None throws.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "Sdk/EventChecks.h"
#include "Sdk/EventDraft.h"
#include "Sdk/EventHold.h"
#include "Sdk/EventSender.h"
#include "Sdk/SessionFacts.h"
#include "platform/sync/Mutex.h"

namespace NimoSdk {

class CNimoTrack {
 public:
  using json = nlohmann::json;

  using Facts = EventFacts;

  // session: the core parameters and the user facts events carry; transport:
  // how each session's sender reaches the server; files: where its queue file is kept.
  CNimoTrack(const SessionFacts& session, EventDispatcher::Transport transport,
             nimo_sys::FileSystem& files = nimo_sys::RealFileSystem());
  CNimoTrack(const CNimoTrack&) = delete;
  CNimoTrack& operator=(const CNimoTrack&) = delete;

  // Event table, core parameters, user facts and machine facts; after the core
  // parameters are set.
  void Init();
  void InitEventTable();

  // Takes the event's time and facts and logs its findings on the caller's
  // thread, then hands it to the tracker thread, which drafts, numbers, keeps
  // and delivers it. Never waits for the disk or the network. name and params
  // are UTF-8; params is JSON object text or empty; value NaN for none.
  void PostEvent(const std::string& name, const std::string& params, double value);
  // Init's start-up on our thread: posts wait from HoldEvents (the game's thread)
  // until its ReleaseEvents, after the start-up event, which goes past them.
  void HoldEvents() { hold_.Hold(); }
  void ReleaseEvents();
  void PostStartupEvent();
  // What a post does, in the caller's thread: logs the findings and returns the
  // compact event text with "eventOrder":"" (numbered later).
  std::string Draft(const std::string& name, const std::string& params, double value);
  // Exit: stops the tracker thread and saves the events still in memory, within bound.
  void Shutdown(std::chrono::steady_clock::time_point deadline);
  // The current session's sender.
  EventSender& Sender();
  // A new session after Exit: a fresh sender (the ended one's thread has
  // stopped), so the queue file is adopted again at Init.
  void BeginSession();

  // The client id, once Init has read it; events drafted before get it from the tracker.
  void SetClientId(const std::string& id);
  void SyncUserId();
  void SyncUserInfo();
  void PostLoginEvent(std::string loginPlatform, std::string puserId);

  std::string ResolveEventName(const std::string& name) const;
  // Logs what is missing or wrong among the required parameters of name.
  void CheckEventAndParams(const std::string& name, std::string params) const;

  std::string DeviceId() const;
  std::string Resolution() const;
  Facts Snapshot() const;

  static bool MatchName(const std::string& text) { return MatchEventName(text); }
  static std::string OrUnknown(const std::string& s);
  // The operating system's name and version, "_unknown" when it cannot be had.
  static std::string GetOsVersionName();
  // The core's user id text as a number: leading white space skipped, optional
  // sign, decimal digits up to the first other character; -1 when there is no
  // number or it does not fit 64 bits.
  static std::int64_t ParseUserId(const std::string& text);

 private:
  std::shared_ptr<const EventContext> Context() const;
  // Publishes a changed copy of the facts; posts taken before keep theirs.
  template <typename Change>
  void ChangeFacts(Change change);
  PostedEvent Capture(const std::string& name, const std::string& params, double value, std::int64_t sdkTime) const;
  void Send(const std::string& name, const std::string& params, double value, std::int64_t sdkTime);

  const SessionFacts& session_;
  const EventDispatcher::Transport transport_;
  nimo_sys::FileSystem& files_;
  mutable nimo_sync::Mutex mutex_;
  std::shared_ptr<const EventContext> context_ GUARDED_BY(mutex_);  // never null

  // Replaced at each new session; the ended ones live as long as the tracker (a
  // late thread may still hold one, and the process-wide tracker is never freed).
  std::unique_ptr<EventSender> sender_ GUARDED_BY(mutex_);
  std::vector<std::unique_ptr<EventSender>> retired_ GUARDED_BY(mutex_);
  EventHold hold_;
};

}  // namespace NimoSdk
