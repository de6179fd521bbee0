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

}  // namespace nimo_sys
