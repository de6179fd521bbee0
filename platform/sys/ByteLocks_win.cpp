#include <windows.h>

#include "platform/sys/ByteLocks.h"
#include "platform/sys/WinText.h"

namespace nimo_sys {
namespace {

OVERLAPPED At(std::uint64_t offset) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset & 0xffffffffu);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return at;
}

}  // namespace

ByteLocks::~ByteLocks() { Close(); }

ByteLocks::Result ByteLocks::TryLock(const std::string& path, std::uint64_t offset) {
  if (native_ == -1) {
    // FILE_FLAG_OPEN_REPARSE_POINT: a planted link must not make us create files elsewhere.
    HANDLE h = CreateFileW(Utf8ToUtf16(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return Result::Failed;
    native_ = reinterpret_cast<std::intptr_t>(h);
  }
  HANDLE h = reinterpret_cast<HANDLE>(native_);
  OVERLAPPED at = At(offset);
  if (LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) != 0) return Result::Locked;
  return GetLastError() == ERROR_LOCK_VIOLATION ? Result::Held : Result::Failed;
}

void ByteLocks::Unlock(std::uint64_t offset) {
  if (native_ == -1) return;
  OVERLAPPED at = At(offset);
  UnlockFileEx(reinterpret_cast<HANDLE>(native_), 0, 1, 0, &at);
}

void ByteLocks::Close() {
  if (native_ == -1) return;
  CloseHandle(reinterpret_cast<HANDLE>(native_));  // the system drops its locks
  native_ = -1;
}

}  // namespace nimo_sys
