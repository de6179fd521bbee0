#include "Sdk/EventQueueFile.h"

#include <easylogging++.h>

#include <algorithm>
#include <limits>

#include "Sdk/NimoConfigUtils.h"

namespace NimoSdk {
namespace {

constexpr int kSlots = 8;                     // processes of one game that each keep a queue file
constexpr std::size_t kMaxFileBytes = 64u << 20;
constexpr std::size_t kCompactAt = 1u << 20;  // rewrite once this much is mostly dead records
constexpr std::size_t kRecordOverhead = 48;

std::string SlotName(int slot) { return slot == 0 ? "EventQueue" : "EventQueue." + std::to_string(slot); }

// The queue files sit beside AppConf, in the per-game folder.
std::string QueueFolder() {
  std::string conf = NimoConfigUtils::GetAppConfigPath();
  std::size_t slash = conf.rfind('/');
  return slash == std::string::npos ? "." : conf.substr(0, slash);
}

}  // namespace

bool EventQueueFile::OpenSlot() {
  const std::string folder = QueueFolder();
  for (int slot = 0; slot < kSlots; ++slot) {
    auto lock = std::make_unique<nimo_sys::TryFileLock>(folder + "/" + SlotName(slot) + ".lock");
    if (!lock->IsHeld()) continue;
    slotLock_ = std::move(lock);
    path_ = folder + "/" + SlotName(slot);
    return true;
  }
  LOG(ERROR) << "No event queue file free in " << folder << "; events are kept in memory only.";
  return false;
}

void EventQueueFile::OpenFile() {
  // A file made here gets its name flushed: else a power cut could take it away
  // with the events synced into it.
  const bool made = !fs_.Exists(path_);
  file_ = fs_.OpenAppend(path_);
  if (file_ && made) fs_.SyncFolder(nimo_sys::FolderOf(path_));
}

bool EventQueueFile::Read(Contents& found) {
  std::vector<QueuedEvent>& live = found.live;
  std::int64_t& highest = found.highest;
  bool& rewrite = found.rewrite;
  if (!OpenSlot()) return false;
  auto take = [&](const std::string& bytes) {
    EventQueue::Parsed p = EventQueue::Parse(bytes);
    if (p.skipped > 0) LOG(WARNING) << "Event queue file: " << p.skipped << " torn or corrupt records skipped.";
    rewrite = rewrite || p.skipped > 0 || p.records != p.live.size();
    highest = std::max(highest, p.highest);
    for (QueuedEvent& e : p.live) live.push_back(std::move(e));
  };
  std::string bytes;
  if (fs_.Read(path_, bytes, kMaxFileBytes)) {
    found.existing = bytes.size();
    take(bytes);
  } else if (!bytes.empty() || fs_.Read(path_, bytes, std::numeric_limits<std::size_t>::max() / 2)) {
    LOG(ERROR) << "Event queue file too large; started afresh.";
    rewrite = true;
  }
  // Queue files of processes of this game that ended without sending theirs.
  const std::string folder = path_.substr(0, path_.rfind('/'));
  for (int slot = 0; slot < kSlots; ++slot) {
    const std::string other = folder + "/" + SlotName(slot);
    std::string text;
    if (other == path_ || !fs_.Read(other, text, kMaxFileBytes) || text.empty()) continue;
    auto lock = std::make_unique<nimo_sys::TryFileLock>(other + ".lock");
    if (!lock->IsHeld() || !fs_.Read(other, text, kMaxFileBytes)) continue;
    take(text);
    rewrite = true;
    found.adoptedLocks.push_back(std::move(lock));
    found.adoptedPaths.push_back(other);
  }
  return true;
}

void EventQueueFile::Settle(const Contents& found, const std::string& bytes) {
  const bool rewrite = found.rewrite;
  if (rewrite && !nimo_sys::ReplaceFileContent(fs_, path_, bytes, nimo_sys::Durability::kDisk)) {
    LOG(ERROR) << "Event queue file not rewritten.";
  }
  for (const std::string& p : found.adoptedPaths) fs_.Remove(p);
  OpenFile();
  if (!file_) LOG(ERROR) << "Event queue file cannot be opened: " << path_;
  fileBytes_ = rewrite ? bytes.size() : found.existing;
}

void EventQueueFile::Append(const std::string& bytes, bool sync) {
  if (!file_) return;
  // After a failed write the file ends mid-line: start on a fresh one.
  if (tornTail_ && file_->Append("\n")) {
    ++fileBytes_;
    tornTail_ = false;
  }
  if (!tornTail_ && file_->Append(bytes)) {
    fileBytes_ += bytes.size();
  } else {
    tornTail_ = true;
    LOG(ERROR) << "Event queue file write failed.";
  }
  if (sync) file_->Sync();
}

void EventQueueFile::AppendAndRelease(const std::string& bytes) {
  if (!bytes.empty()) {
    if (path_.empty()) OpenSlot();
    if (!file_ && !path_.empty()) OpenFile();
    Append(bytes, true);
  }
  // The file is free for the next start of the game (or another process of it).
  file_.reset();
  slotLock_.reset();
  path_.clear();
}

void EventQueueFile::MaybeCompact(std::size_t textBytes, std::size_t count,
                                  const std::function<std::string()>& records) {
  nimo_sync::MutexLock fileLock(mutex_);
  const std::size_t live = textBytes + kRecordOverhead * count;
  if (path_.empty() || fileBytes_ < kCompactAt || fileBytes_ < 2 * live) return;
  const std::string bytes = records();
  if (!nimo_sys::ReplaceFileContent(fs_, path_, bytes, nimo_sys::Durability::kDisk)) return;
  file_ = fs_.OpenAppend(path_);
  if (file_) {
    fileBytes_ = bytes.size();
    tornTail_ = false;
  }
}

}  // namespace NimoSdk
