#include "platform/sys/DataFolder.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

#include "platform/sys/FileSystem.h"

namespace nimo_sys {
namespace {

// Relative values are ignored, as the XDG base directory rules ask.
std::string AbsoluteEnv(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || value[0] != '/') return {};
  std::string path(value);
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

const char* FallbackDataFolder() {
  // Only an administrator can make it, so no other user can plant or read an identity there.
  return "/var/lib/NimoSteamExeSdk";
}

std::string LocalAppDataFolder() {
  std::string xdg = AbsoluteEnv("XDG_DATA_HOME");
  if (!xdg.empty()) return xdg;
  std::string home = AbsoluteEnv("HOME");
  if (home.empty()) return {};
  return (home == "/" ? std::string() : home) + "/.local/share";
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool MakeDirectory(const std::string& path) {
  if (path.empty()) return false;
  if (::mkdir(path.c_str(), 0700) == 0) {
    // The stores flush the names in their folder, never the folder's own name.
    RealFileSystem().SyncFolder(FolderOf(path));
    return true;
  }
  // Another thread or process may have made it first.
  return errno == EEXIST && IsDirectory(path);
}

bool MakeDirectories(const std::string& path) {
  if (IsDirectory(path)) return true;
  for (std::size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
    std::string prefix = path.substr(0, pos);
    if (!IsDirectory(prefix) && !MakeDirectory(prefix)) return false;
  }
  return MakeDirectory(path);
}

}  // namespace nimo_sys
