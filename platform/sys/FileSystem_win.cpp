#include <windows.h>

#include "platform/sys/FileSystem.h"
#include "platform/sys/WinText.h"

#include <atomic>

namespace nimo_sys {
namespace {

class HandleWriter : public FileSystem::Writer {
 public:
  explicit HandleWriter(HANDLE h) : h_(h) {}
  ~HandleWriter() override { Close(); }
  HandleWriter(const HandleWriter&) = delete;
  HandleWriter& operator=(const HandleWriter&) = delete;

  bool Append(const std::string& bytes) override {
    const char* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
      DWORD chunk = left > (1u << 20) ? (1u << 20) : static_cast<DWORD>(left);
      DWORD written = 0;
      if (!WriteFile(h_, p, chunk, &written, nullptr) || written == 0) return false;  // disk full ...
      p += written;
      left -= written;
    }
    return true;
  }
  bool Sync() override { return h_ != INVALID_HANDLE_VALUE && FlushFileBuffers(h_) != 0; }
  bool Close() override {
    if (h_ == INVALID_HANDLE_VALUE) return true;
    BOOL closed = CloseHandle(h_);
    h_ = INVALID_HANDLE_VALUE;
    return closed != 0;
  }

 private:
  HANDLE h_;
};

std::unique_ptr<FileSystem::Writer> WriterOf(HANDLE h) {
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  return std::make_unique<HandleWriter>(h);
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

class WinFileSystem : public FileSystem {
 public:
  bool Read(const std::string& path, std::string& out, std::size_t maxBytes) override {
    out.clear();
    // Shared delete: a writer may rename over the file while we read it.
    HANDLE h = CreateFileW(Utf8ToUtf16(path).c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    bool ok = GetFileType(h) == FILE_TYPE_DISK;
    char buf[8192];
    while (ok) {
      DWORD n = 0;
      if (!ReadFile(h, buf, sizeof buf, &n, nullptr) || out.size() + n > maxBytes) ok = false;
      if (!ok || n == 0) break;
      out.append(buf, n);
    }
    CloseHandle(h);
    if (!ok) out.clear();
    return ok;
  }

  bool Exists(const std::string& path) override {
    return GetFileAttributesW(Utf8ToUtf16(path).c_str()) != INVALID_FILE_ATTRIBUTES;
  }

  std::unique_ptr<Writer> OpenAppend(const std::string& path) override {
    // FILE_APPEND_DATA without FILE_WRITE_DATA: every write goes to the end.
    return WriterOf(CreateFileW(Utf8ToUtf16(path).c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  }

  std::unique_ptr<Writer> CreateTemporary(const std::string& path, std::string& tempPath) override {
    const std::string name = TempName(path);
    const std::wstring temp = Utf8ToUtf16(name);
    if (temp.empty()) return nullptr;
    auto writer =
        WriterOf(CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (writer) tempPath = name;
    return writer;
  }

  bool Rename(const std::string& from, const std::string& to) override {
    const std::wstring source = Utf8ToUtf16(from);
    const std::wstring target = Utf8ToUtf16(to);
    if (source.empty() || target.empty()) return false;
    // Written through: the new name is on the disk when the call returns.
    const DWORD flags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
    bool ok = MoveFileExW(source.c_str(), target.c_str(), flags) != 0;
    // A reader without delete sharing (a scanner, an editor) briefly holds the target.
    for (int attempt = 0; !ok && attempt < 5 && GetLastError() == ERROR_ACCESS_DENIED; ++attempt) {
      Sleep(10);
      ok = MoveFileExW(source.c_str(), target.c_str(), flags) != 0;
    }
    return ok;
  }

  bool RenameIfAbsent(const std::string& from, const std::string& to) override {
    // Without MOVEFILE_REPLACE_EXISTING the move fails when "to" exists.
    return MoveFileExW(Utf8ToUtf16(from).c_str(), Utf8ToUtf16(to).c_str(), MOVEFILE_WRITE_THROUGH) != 0;
  }

  bool Remove(const std::string& path) override { return DeleteFileW(Utf8ToUtf16(path).c_str()) != 0; }

  // Renames are written through (MOVEFILE_WRITE_THROUGH); there is no flush of a folder's names.
  bool SyncFolder(const std::string&) override { return true; }
};

}  // namespace

FileSystem& RealFileSystem() {
  static WinFileSystem* const fs = new WinFileSystem();
  return *fs;
}

}  // namespace nimo_sys
