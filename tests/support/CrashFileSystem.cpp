#include "support/CrashFileSystem.h"

namespace nimo_test {

class CrashFileSystem::FileWriter : public nimo_sys::FileSystem::Writer {
 public:
  FileWriter(CrashFileSystem& fs, std::size_t file, std::string path) : fs_(fs), file_(file), path_(std::move(path)) {}
  bool Append(const std::string& bytes) override {
    if (bytes.empty()) return true;
    fs_.now_.files[file_].data += bytes;
    fs_.Changed("append " + std::to_string(bytes.size()) + " bytes to " + path_);
    return true;
  }
  bool Sync() override {
    fs_.now_.files[file_].synced = fs_.now_.files[file_].data;
    fs_.Changed("sync " + path_);
    return true;
  }
  bool Close() override { return true; }

 private:
  CrashFileSystem& fs_;
  std::size_t file_;
  std::string path_;
};

std::vector<CrashFileSystem::Cut> CrashFileSystem::AllCuts() {
  std::vector<Cut> cuts;
  for (Names n : {Names::kKept, Names::kUndone})
    for (Data d : {Data::kKept, Data::kTorn, Data::kLost}) cuts.push_back({n, d});
  return cuts;
}

std::string CrashFileSystem::Describe(Cut cut) {
  static const char* const names[] = {"names kept", "names undone"};
  static const char* const data[] = {"data kept", "data torn", "data lost"};
  return std::string(names[static_cast<int>(cut.names)]) + ", unsynced " + data[static_cast<int>(cut.data)];
}

CrashFileSystem::CrashFileSystem(const Disk& disk) {
  for (const auto& [path, content] : disk) {
    now_.files.push_back({content, content});
    now_.names[path] = now_.files.size() - 1;
  }
  now_.flushedNames = now_.names;
  history_.push_back(now_);
  labels_.push_back("start");
}

CrashFileSystem::Disk CrashFileSystem::After(std::size_t changes, Cut cut) const {
  const State& s = history_.at(changes);
  Disk disk;
  for (const auto& [path, n] : cut.names == Names::kKept ? s.names : s.flushedNames) {
    const File& f = s.files[n];
    const std::string unsynced = f.data.substr(f.synced.size());
    if (cut.data == Data::kKept) disk[path] = f.data;
    if (cut.data == Data::kTorn) disk[path] = f.synced + unsynced.substr(0, unsynced.size() / 2);
    if (cut.data == Data::kLost) disk[path] = f.synced;
  }
  return disk;
}

void CrashFileSystem::Changed(const std::string& what) {
  history_.push_back(now_);
  labels_.push_back(what);
}

std::size_t CrashFileSystem::NewFile(const std::string& path) {
  now_.files.push_back({});
  now_.names[path] = now_.files.size() - 1;
  Changed("create " + path);
  return now_.files.size() - 1;
}

bool CrashFileSystem::Read(const std::string& path, std::string& out, std::size_t maxBytes) {
  out.clear();
  auto it = now_.names.find(path);
  if (it == now_.names.end() || now_.files[it->second].data.size() > maxBytes) return false;
  out = now_.files[it->second].data;
  return true;
}

bool CrashFileSystem::Exists(const std::string& path) { return now_.names.count(path) != 0; }

std::unique_ptr<nimo_sys::FileSystem::Writer> CrashFileSystem::OpenAppend(const std::string& path) {
  auto it = now_.names.find(path);
  const std::size_t file = it != now_.names.end() ? it->second : NewFile(path);
  return std::make_unique<FileWriter>(*this, file, path);
}

std::unique_ptr<nimo_sys::FileSystem::Writer> CrashFileSystem::CreateTemporary(const std::string& path,
                                                                               std::string& tempPath) {
  const std::string folder = nimo_sys::FolderOf(path);
  tempPath = folder + "/." + path.substr(folder.size() + 1) + ".tmp-" + std::to_string(++temporaries_);
  return std::make_unique<FileWriter>(*this, NewFile(tempPath), tempPath);
}

bool CrashFileSystem::Rename(const std::string& from, const std::string& to) {
  auto it = now_.names.find(from);
  if (it == now_.names.end()) return false;
  const std::size_t file = it->second;
  now_.names.erase(it);
  now_.names[to] = file;
  Changed("rename " + from + " to " + to);
  return true;
}

bool CrashFileSystem::RenameIfAbsent(const std::string& from, const std::string& to) {
  return !Exists(to) && Rename(from, to);
}

bool CrashFileSystem::Remove(const std::string& path) {
  if (now_.names.erase(path) == 0) return false;
  Changed("remove " + path);
  return true;
}

bool CrashFileSystem::SyncFolder(const std::string& folder) {
  auto inFolder = [&](const std::string& path) { return nimo_sys::FolderOf(path) == folder; };
  for (auto it = now_.flushedNames.begin(); it != now_.flushedNames.end();) {
    it = inFolder(it->first) ? now_.flushedNames.erase(it) : std::next(it);
  }
  for (const auto& [path, file] : now_.names)
    if (inFolder(path)) now_.flushedNames[path] = file;
  Changed("flush folder " + folder);
  return true;
}

}  // namespace nimo_test
