#include "platform/sys/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

namespace nimo_sys {
namespace {

bool WriteAll(int fd, const std::string& bytes) {
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;  // ENOSPC, EFBIG, EIO ...
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return true;
}

std::string FolderOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

void SyncFolder(const std::string& folder) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

bool ReadWholeFile(const std::string& path, std::string& out, std::size_t maxBytes) {
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

bool ReplaceFileContent(const std::string& path, const std::string& bytes, bool flushToDisk) {
  const std::string folder = FolderOf(path);
  const std::size_t slash = path.rfind('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string pattern = folder + "/." + name + ".tmp-XXXXXX";
  std::vector<char> temp(pattern.begin(), pattern.end());
  temp.push_back('\0');
  // A unique name per writer: two writers never share a temporary.
  int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, bytes) && (!flushToDisk || ::fdatasync(fd) == 0);
  if (::close(fd) != 0) ok = false;
  if (ok && std::rename(temp.data(), path.c_str()) != 0) ok = false;
  if (!ok) {
    ::unlink(temp.data());
    return false;
  }
  if (flushToDisk) SyncFolder(folder);
  return true;
}

bool PathExists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

bool RenameIfAbsent(const std::string& from, const std::string& to) {
  // Names put aside carry a time stamp; a check before the rename is enough.
  if (PathExists(to)) return false;
  return std::rename(from.c_str(), to.c_str()) == 0;
}

}  // namespace nimo_sys
