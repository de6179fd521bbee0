#include "platform/sys/FileLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

namespace nimo_sys {

FileLock::FileLock(const std::string& path) {
  // O_NOFOLLOW: a planted link must not make us create files elsewhere.
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return;
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    ::close(fd);
    return;
  }
  native_ = fd;
}

FileLock::~FileLock() {
  if (native_ == -1) return;
  const int fd = static_cast<int>(native_);
  ::flock(fd, LOCK_UN);
  ::close(fd);
}

TryFileLock::TryFileLock(const std::string& lockPath) {
  int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return;
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    ::close(fd);
    return;
  }
  handle_ = fd;
}

TryFileLock::~TryFileLock() {
  if (handle_ == kNone) return;
  ::flock(static_cast<int>(handle_), LOCK_UN);
  ::close(static_cast<int>(handle_));
}

}  // namespace nimo_sys
