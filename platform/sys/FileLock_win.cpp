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

}  // namespace nimo_sys
