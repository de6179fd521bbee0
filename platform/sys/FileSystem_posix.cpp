#include "platform/sys/FileSystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

namespace nimo_sys {
namespace {

class FdWriter : public FileSystem::Writer {
 public:
  explicit FdWriter(int fd) : fd_(fd) {}
  ~FdWriter() override { Close(); }
  FdWriter(const FdWriter&) = delete;
  FdWriter& operator=(const FdWriter&) = delete;

  bool Append(const std::string& bytes) override {
    const char* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
      ssize_t n = ::write(fd_, p, left);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;  // ENOSPC, EFBIG, EIO ...
      p += n;
      left -= static_cast<std::size_t>(n);
    }
    return true;
  }
  bool Sync() override { return fd_ >= 0 && ::fdatasync(fd_) == 0; }
  bool Close() override {
    if (fd_ < 0) return true;
    const bool closed = ::close(fd_) == 0;
    fd_ = -1;
    return closed;
  }

 private:
  int fd_;
};

class PosixFileSystem : public FileSystem {
 public:
  bool Read(const std::string& path, std::string& out, std::size_t maxBytes) override {
    out.clear();
    // O_NONBLOCK: a FIFO in the file's place must not hold the caller up.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    char buf[8192];
    while (ok) {
      ssize_t n = ::read(fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 || out.size() + static_cast<std::size_t>(n) > maxBytes) ok = false;
      if (n <= 0) break;
      out.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (!ok) out.clear();
    return ok;
  }

  bool Exists(const std::string& path) override {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
  }

  std::unique_ptr<Writer> OpenAppend(const std::string& path) override {
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return nullptr;
    return std::make_unique<FdWriter>(fd);
  }

  std::unique_ptr<Writer> CreateTemporary(const std::string& path, std::string& tempPath) override {
    const std::size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string pattern = FolderOf(path) + "/." + name + ".tmp-XXXXXX";
    std::vector<char> temp(pattern.begin(), pattern.end());
    temp.push_back('\0');
    // A unique name per writer: two writers never share a temporary.
    int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return nullptr;
    tempPath = temp.data();
    return std::make_unique<FdWriter>(fd);
  }

  bool Rename(const std::string& from, const std::string& to) override {
    return std::rename(from.c_str(), to.c_str()) == 0;
  }

  bool RenameIfAbsent(const std::string& from, const std::string& to) override {
    // Names put aside carry a time stamp; a check before the rename is enough.
    if (Exists(to)) return false;
    return std::rename(from.c_str(), to.c_str()) == 0;
  }

  bool Remove(const std::string& path) override { return ::unlink(path.c_str()) == 0; }

  bool SyncFolder(const std::string& folder) override {
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
  }
};

}  // namespace

FileSystem& RealFileSystem() {
  static PosixFileSystem* const fs = new PosixFileSystem();
  return *fs;
}

}  // namespace nimo_sys
