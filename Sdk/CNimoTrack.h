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
#include <set>
#include <string>
#include <vector>

#include "Sdk/EventHold.h"
#include "Sdk/EventSender.h"
#include "Sdk/SessionFacts.h"
#include "platform/sync/Mutex.h"

namespace NimoSdk {

class CNimoTrack {
 public:
  using json = nlohmann::json;

  // The facts every event carries, copied out as one snapshot.
  struct Facts {
    std::string deviceId;
    std::string appId;
    std::string platform;
    std::string gamePlatform;
    std::string fingerId;
    std::int64_t userId = -1;
    std::string serverId;
    std::string gameUserId;
    std::string sdkVersion;
    std::string sdkType;
    std::string nickName;
    int level = 0;
    std::string tz;
    std::string os;
    std::string resolution;
  };

  // Built-in event names and the required parameters of some of them.
  struct EventTable {
    std::set<std::string> builtinEvents;
    json requiredParams;  // event name -> {parameter name -> declared type name}
  };

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

  // Builds the event on the caller's thread (time stamp, facts, validation and
  // its log lines) and hands it to the tracker thread, which numbers, keeps and
  // delivers it. Never waits for the disk or the network. name and params are
  // UTF-8; params is JSON object text or empty; value NaN for none.
  void PostEvent(const std::string& name, const std::string& params, double value);
  // Init's start-up on our thread: posts wait from HoldEvents (the game's thread)
  // until its ReleaseEvents, after the start-up event, which goes past them.
  void HoldEvents() { hold_.Hold(); }
  void ReleaseEvents();
  void PostStartupEvent();
  // The compact event text with "eventOrder":"" (numbered later); logs the findings.
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

  // True when the whole text is one or more of [a-zA-Z0-9_].
  static bool MatchName(const std::string& text);
  static std::string OrUnknown(const std::string& s);
  // The operating system's name and version, "_unknown" when it cannot be had.
  static std::string GetOsVersionName();
  // The core's user id text as a number: leading white space skipped, optional
  // sign, decimal digits up to the first other character; -1 when there is no
  // number or it does not fit 64 bits.
  static std::int64_t ParseUserId(const std::string& text);
  // Parses without throwing; discarded when the text is not JSON or nests
  // deeper than the SDK will copy and print.
  static json ParseParams(const std::string& text);

  static constexpr int kMaxParamDepth = 256;

 private:
  std::shared_ptr<const EventTable> Table() const;
  std::string DraftAt(std::int64_t sdkTime, const std::string& name, const std::string& params, double value);
  void Send(const std::string& name, const std::string& params, double value, std::int64_t sdkTime);
  static void CheckParams(const EventTable& table, const std::string& name, const std::string& params,
                          const json& parsed);

  const SessionFacts& session_;
  const EventDispatcher::Transport transport_;
  nimo_sys::FileSystem& files_;
  // Guarded by mutex_.
  mutable nimo_sync::Mutex mutex_;
  Facts facts_;
  std::shared_ptr<const EventTable> table_;  // null until InitEventTable; immutable once set

  // Replaced at each new session; the ended ones live as long as the tracker (a
  // late thread may still hold one, and the process-wide tracker is never freed).
  std::unique_ptr<EventSender> sender_ GUARDED_BY(mutex_);
  std::vector<std::unique_ptr<EventSender>> retired_ GUARDED_BY(mutex_);
  EventHold hold_;
};

}  // namespace NimoSdk
