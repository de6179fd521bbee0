// An advisory lock shared by the processes of one user account.
#pragma once

#include <cstdint>
#include <string>

namespace nimo_sys {

// Holds an exclusive lock (flock; LockFileEx on Windows) on the file at path (created when missing) for the
// object's lifetime. Blocks until the lock is free; other holders only keep it
// for one short read, change, write cycle, and the system drops it when a holder
// dies. When the file cannot be opened or locked (missing folder, a file system
// without locks) the object holds nothing and the caller carries on unlocked.
class FileLock {
 public:
  explicit FileLock(const std::string& path);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  bool IsHeld() const { return native_ != -1; }

 private:
  std::intptr_t native_ = -1;  // the descriptor, or the HANDLE on Windows
};

// Holds an exclusive lock on lockPath without waiting, for the object's
// lifetime. IsHeld is false when another process holds it (or it cannot be made).
class TryFileLock {
 public:
  explicit TryFileLock(const std::string& lockPath);
  ~TryFileLock();
  TryFileLock(const TryFileLock&) = delete;
  TryFileLock& operator=(const TryFileLock&) = delete;
  bool IsHeld() const { return handle_ != kNone; }

 private:
  static constexpr std::intptr_t kNone = -1;
  std::intptr_t handle_ = kNone;  // a descriptor, or a Windows HANDLE
};

}  // namespace nimo_sys
