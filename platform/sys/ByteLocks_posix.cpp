#include "platform/sys/ByteLocks.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace nimo_sys {
namespace {

// Open file description locks: owned by the open file, not the process, so a
// second open in this process conflicts and closing another descriptor of the
// file drops nothing.
bool Set(int fd, short type, std::uint64_t offset) {
  struct flock range {};
  range.l_type = type;
  range.l_whence = SEEK_SET;
  range.l_start = static_cast<off_t>(offset);
  range.l_len = 1;
  int rc;
  do {
    rc = ::fcntl(fd, F_OFD_SETLK, &range);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

}  // namespace

ByteLocks::~ByteLocks() { Close(); }

ByteLocks::Result ByteLocks::TryLock(const std::string& path, std::uint64_t offset) {
  if (native_ == -1) {
    // O_NOFOLLOW: a planted link must not make us create files elsewhere.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return Result::Failed;
    native_ = fd;
  }
  if (Set(static_cast<int>(native_), F_WRLCK, offset)) return Result::Locked;
  return errno == EAGAIN || errno == EACCES ? Result::Held : Result::Failed;
}

void ByteLocks::Unlock(std::uint64_t offset) {
  if (native_ != -1) Set(static_cast<int>(native_), F_UNLCK, offset);
}

void ByteLocks::Close() {
  if (native_ == -1) return;
  ::close(static_cast<int>(native_));
  native_ = -1;
}

}  // namespace nimo_sys
