#include <windows.h>

#include "platform/sys/AtomicFile.h"
#include "platform/sys/WinText.h"

#include <atomic>

namespace nimo_sys {
namespace {

class Handle {
 public:
  explicit Handle(HANDLE h) : h_(h) {}
  ~Handle() { Close(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  bool Ok() const { return h_ != INVALID_HANDLE_VALUE; }
  HANDLE Get() const { return h_; }
  bool Close() {
    if (!Ok()) return true;
    BOOL closed = CloseHandle(h_);
    h_ = INVALID_HANDLE_VALUE;
    return closed != 0;
  }

 private:
  HANDLE h_;
};

bool WriteAll(HANDLE h, const std::string& bytes) {
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    DWORD chunk = left > (1u << 20) ? (1u << 20) : static_cast<DWORD>(left);
    DWORD written = 0;
    if (!WriteFile(h, p, chunk, &written, nullptr) || written == 0) return false;  // disk full ...
    p += written;
    left -= written;
  }
  return true;
}

// Unique per process, thread and call: two writers never share a temporary.
std::string TempName(const std::string& path) {
  static std::atomic<unsigned> counter{0};
  const std::size_t slash = path.find_last_of("/\\");
  const std::string folder = slash == std::string::npos ? std::string(".") : path.substr(0, slash);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  return folder + "/." + name + ".tmp-" + std::to_string(GetCurrentProcessId()) + "-" +
         std::to_string(GetCurrentThreadId()) + "-" + std::to_string(++counter);
}

}  // namespace

bool ReadWholeFile(const std::string& path, std::string& out, std::size_t maxBytes) {
  out.clear();
  // Shared delete: a writer may rename over the file while we read it.
  Handle file(CreateFileW(Utf8ToUtf16(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.Ok() || GetFileType(file.Get()) != FILE_TYPE_DISK) return false;
  char buf[8192];
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(file.Get(), buf, sizeof buf, &n, nullptr) || out.size() + n > maxBytes) {
      out.clear();
      return false;
    }
    if (n == 0) return true;
    out.append(buf, n);
  }
}

bool ReplaceFileContent(const std::string& path, const std::string& bytes, bool flushToDisk) {
  const std::wstring temp = Utf8ToUtf16(TempName(path));
  const std::wstring target = Utf8ToUtf16(path);
  if (temp.empty() || target.empty()) return false;
  Handle file(CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.Ok()) return false;
  bool ok = WriteAll(file.Get(), bytes) && (!flushToDisk || FlushFileBuffers(file.Get()));
  if (!file.Close()) ok = false;
  if (ok) {
    const DWORD flags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
    ok = MoveFileExW(temp.c_str(), target.c_str(), flags) != 0;
    // A reader without delete sharing (a scanner, an editor) briefly holds the target.
    for (int attempt = 0; !ok && attempt < 5 && GetLastError() == ERROR_ACCESS_DENIED; ++attempt) {
      Sleep(10);
      ok = MoveFileExW(temp.c_str(), target.c_str(), flags) != 0;
    }
  }
  if (!ok) DeleteFileW(temp.c_str());
  return ok;
}

bool PathExists(const std::string& path) {
  return GetFileAttributesW(Utf8ToUtf16(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool RenameIfAbsent(const std::string& from, const std::string& to) {
  // Without MOVEFILE_REPLACE_EXISTING the move fails when "to" exists.
  return MoveFileExW(Utf8ToUtf16(from).c_str(), Utf8ToUtf16(to).c_str(), MOVEFILE_WRITE_THROUGH) != 0;
}

}  // namespace nimo_sys
