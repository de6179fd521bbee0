// The queue file of one process of the game (record format: EventQueue.h).
// Up to kSlots processes of one game each keep their own, beside AppConf, and
// hold it by a lock file; a process that starts adopts the files of those that
// ended without sending theirs. Appends survive a torn write; a file that is
// mostly records of events gone is rewritten with only the live ones.
//
// Not thread-safe by itself: its owner holds Mutex() around every call but
// MaybeCompact, which takes it. Used by the tracker thread, and at Exit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Sdk/EventQueue.h"
#include "platform/sync/Mutex.h"
#include "platform/sys/FileLock.h"
#include "platform/sys/FileSystem.h"

namespace NimoSdk {

class EventQueueFile {
 public:
  // What Read found: this process's file and those it adopted.
  struct Contents {
    std::vector<QueuedEvent> live;
    std::int64_t highest = 0;
    std::size_t existing = 0;  // bytes of our own file as read
    bool rewrite = false;      // the file must be written anew (skipped or dead records, adopted ones)
    std::vector<std::unique_ptr<nimo_sys::TryFileLock>> adoptedLocks;  // held until Settle removed them
    std::vector<std::string> adoptedPaths;
  };

  explicit EventQueueFile(nimo_sys::FileSystem& fs) : fs_(fs) {}
  EventQueueFile(const EventQueueFile&) = delete;
  EventQueueFile& operator=(const EventQueueFile&) = delete;

  // Taken before the sender's own lock when both are needed.
  nimo_sync::Mutex& Mutex() { return mutex_; }

  // Takes a slot and reads its file and those of slots free now. False: no slot.
  bool Read(Contents& found);
  // Writes bytes (the live records) as the whole file when found.rewrite,
  // removes the adopted files and opens ours for appends.
  void Settle(const Contents& found, const std::string& bytes);
  void Append(const std::string& bytes, bool sync);
  // Exit: appends bytes (taking a slot if none was had) and lets the file go
  // for the next start of the game (or another process of it).
  void AppendAndRelease(const std::string& bytes);
  // live: bytes of the live events' text, in count records; records: makes them.
  void MaybeCompact(std::size_t live, std::size_t count, const std::function<std::string()>& records);

 private:
  bool OpenSlot();  // sets slotLock_ and path_
  void OpenFile();  // sets file_

  nimo_sys::FileSystem& fs_;
  nimo_sync::Mutex mutex_;
  std::unique_ptr<nimo_sys::TryFileLock> slotLock_;
  std::string path_;                                         // empty: no queue file could be had
  std::unique_ptr<nimo_sys::FileSystem::Writer> file_;  // null while not open
  std::size_t fileBytes_ = 0;
  bool tornTail_ = false;                                    // the last append failed part way
};

}  // namespace NimoSdk
