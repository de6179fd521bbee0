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

}  // namespace nimo_sys
