#include <windows.h>

#include "platform/sys/AppendFile.h"
#include "platform/sys/WinText.h"

namespace nimo_sys {
namespace {

HANDLE AsHandle(std::intptr_t h) { return reinterpret_cast<HANDLE>(h); }
std::intptr_t FromHandle(HANDLE h) {
  return h == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<std::intptr_t>(h);
}

}  // namespace

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
  handle_ = FromHandle(h);
}

TryFileLock::~TryFileLock() {
  if (handle_ == kNone) return;
  OVERLAPPED at = {};
  UnlockFileEx(AsHandle(handle_), 0, MAXDWORD, MAXDWORD, &at);
  CloseHandle(AsHandle(handle_));
}

AppendFile::~AppendFile() { Close(); }

bool AppendFile::Open(const std::string& path) {
  Close();
  // FILE_APPEND_DATA without FILE_WRITE_DATA: every write goes to the end.
  HANDLE h = CreateFileW(Utf8ToUtf16(path).c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  handle_ = FromHandle(h);
  return handle_ != kNone;
}

void AppendFile::Close() {
  if (handle_ != kNone) CloseHandle(AsHandle(handle_));
  handle_ = kNone;
}

bool AppendFile::Append(const std::string& bytes) {
  if (handle_ == kNone) return false;
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    const DWORD chunk = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
    DWORD written = 0;
    if (!WriteFile(AsHandle(handle_), p, chunk, &written, nullptr) || written == 0) return false;
    p += written;
    left -= written;
  }
  return true;
}

bool AppendFile::Sync() { return handle_ != kNone && FlushFileBuffers(AsHandle(handle_)) != 0; }

bool RemoveFile(const std::string& path) { return DeleteFileW(Utf8ToUtf16(path).c_str()) != 0; }

}  // namespace nimo_sys
