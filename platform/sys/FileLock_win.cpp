#include <windows.h>

#include "platform/sys/FileLock.h"
#include "platform/sys/WinText.h"

namespace nimo_sys {

FileLock::FileLock(const std::string& path) {
  // FILE_FLAG_OPEN_REPARSE_POINT: a planted link must not make us create files elsewhere.
  HANDLE h = CreateFileW(Utf8ToUtf16(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return;
  OVERLAPPED at{};  // the first byte; the system drops the lock when a holder dies
  if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at)) {
    CloseHandle(h);
    return;
  }
  native_ = reinterpret_cast<std::intptr_t>(h);
}

FileLock::~FileLock() {
  if (native_ == -1) return;
  HANDLE h = reinterpret_cast<HANDLE>(native_);
  OVERLAPPED at{};
  UnlockFileEx(h, 0, 1, 0, &at);
  CloseHandle(h);
}

TryFileLock::TryFileLock(const std::string& lockPath) {
  HANDLE h = CreateFileW(Utf8ToUtf16(lockPath).c_str(), GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return;
  OVERLAPPED at = {};
  if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &at)) {
    CloseHandle(h);
    return;
  }
  handle_ = reinterpret_cast<std::intptr_t>(h);
}

TryFileLock::~TryFileLock() {
  if (handle_ == kNone) return;
  OVERLAPPED at = {};
  UnlockFileEx(reinterpret_cast<HANDLE>(handle_), 0, MAXDWORD, MAXDWORD, &at);
  CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

}  // namespace nimo_sys
