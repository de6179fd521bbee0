#include "platform/sync/Mutex.h"
#include "platform/sys/MachineId.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>

namespace nimo_sys {
namespace {

// The real file is 33 bytes; anything much larger is not a machine id.
constexpr off_t kMaxSize = 4096;

nimo_sync::Mutex& FilesMutex() {
  static nimo_sync::Mutex* m = new nimo_sync::Mutex();
  return *m;
}
std::vector<std::string>& TestFiles() {  // guarded by FilesMutex()
  static std::vector<std::string>* files = new std::vector<std::string>();
  return *files;
}

std::string Trim(const std::string& text) {
  std::size_t b = 0, e = text.size();
  while (b < e && std::isspace(static_cast<unsigned char>(text[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(text[e - 1]))) --e;
  return text.substr(b, e - b);
}

bool IsMachineIdText(const std::string& text) {
  if (text.size() != 32) return false;
  for (char c : text)
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

MachineIdResult ReadOne(int fd) {
  MachineIdResult r;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxSize) {
    r.status = MachineIdStatus::kSizeFailed;
    return r;
  }
  std::string text;
  char buf[256];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || text.size() > static_cast<std::size_t>(kMaxSize)) {
      r.status = MachineIdStatus::kReadFailed;
      return r;
    }
    if (n == 0) break;
    text.append(buf, static_cast<std::size_t>(n));
  }
  text = Trim(text);
  if (!IsMachineIdText(text)) {
    r.status = MachineIdStatus::kBadFormat;
    return r;
  }
  r.status = MachineIdStatus::kOk;
  r.id = text;
  return r;
}

}  // namespace

const char* MachineIdFailureText(MachineIdStatus status) {
  switch (status) {
    case MachineIdStatus::kOk:
      return "";
    case MachineIdStatus::kOpenFailed:
      return "Failed to open machine id file";
    case MachineIdStatus::kSizeFailed:
      return "Failed to query machine id size";
    case MachineIdStatus::kBadFormat:
      return "Incorrect machine id format";
    case MachineIdStatus::kReadFailed:
      return "Failed to read machine id file";
  }
  return "";
}

MachineIdResult ReadMachineId(const std::vector<std::string>& files) {
  MachineIdResult first;  // the failure reported: that of the first file that opened
  for (const std::string& path : files) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    MachineIdResult r = ReadOne(fd);
    ::close(fd);
    if (r.status == MachineIdStatus::kOk) return r;
    if (first.status == MachineIdStatus::kOpenFailed) first = r;
  }
  return first;
}

MachineIdResult ReadMachineId() {
  std::vector<std::string> files;
  {
    nimo_sync::MutexLock lock(FilesMutex());
    files = TestFiles();
  }
  if (files.empty()) files = {"/etc/machine-id", "/var/lib/dbus/machine-id"};
  return ReadMachineId(files);
}

void SetMachineIdFilesForTest(std::vector<std::string> files) {
  nimo_sync::MutexLock lock(FilesMutex());
  TestFiles() = std::move(files);
}

}  // namespace nimo_sys
