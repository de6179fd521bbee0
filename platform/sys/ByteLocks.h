// Exclusive locks on single bytes of one file, shared by the processes of one
// user account: any number of them through one open file, each taken without
// waiting and held until released, the file closed, or the process dies (the
// system drops them then, also after a kill). Two objects conflict even in one
// process. Lock a byte once: a second lock of it fails on Windows. The caller
// serialises calls.
#pragma once

#include <cstdint>
#include <string>

namespace nimo_sys {

class ByteLocks {
 public:
  ByteLocks() = default;
  ~ByteLocks();
  ByteLocks(const ByteLocks&) = delete;
  ByteLocks& operator=(const ByteLocks&) = delete;

  enum class Result { Locked, Held, Failed };
  // Locks the byte at offset (below 2^62) of the file at path, created when
  // missing and opened at the first call (path is ignored while it is open).
  // Held: someone else holds it. Failed: the file cannot be opened or locked
  // at all (a file system without such locks, say).
  Result TryLock(const std::string& path, std::uint64_t offset);
  void Unlock(std::uint64_t offset);
  // Every lock goes; the file is closed.
  void Close();

 private:
  std::intptr_t native_ = -1;  // the descriptor, or the HANDLE on Windows
};

}  // namespace nimo_sys
