#include "platform/sys/FileSystem.h"

namespace nimo_sys {

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool ReplaceFileContent(FileSystem& fs, const std::string& path, const std::string& bytes, Durability durability) {
  std::string temp;
  std::unique_ptr<FileSystem::Writer> file = fs.CreateTemporary(path, temp);
  if (!file) return false;
  bool ok = file->Append(bytes) && (durability == Durability::kKill || file->Sync());
  if (!file->Close()) ok = false;
  if (ok && !fs.Rename(temp, path)) ok = false;
  if (!ok) {
    fs.Remove(temp);
    return false;
  }
  if (durability == Durability::kDisk) fs.SyncFolder(FolderOf(path));
  return true;
}

}  // namespace nimo_sys
