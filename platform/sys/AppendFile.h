// A file that only grows by appends, owned by one process at a time.
#pragma once

#include <cstdint>
#include <string>

namespace nimo_sys {

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

// Appends to path (created 0600 when missing); each Append is one write call,
// so a kill leaves at most its tail torn. Not thread-safe: one owner.
class AppendFile {
 public:
  AppendFile() = default;
  ~AppendFile();
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;

  bool Open(const std::string& path);
  void Close();
  bool IsOpen() const { return handle_ != kNone; }
  // False when not every byte was written; the file then ends torn.
  bool Append(const std::string& bytes);
  // Forces the data to the disk.
  bool Sync();

 private:
  static constexpr std::intptr_t kNone = -1;
  std::intptr_t handle_ = kNone;  // a descriptor, or a Windows HANDLE
};

bool RemoveFile(const std::string& path);

}  // namespace nimo_sys
