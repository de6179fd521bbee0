// A file system in memory that records every change and tells what a power cut
// after any of them leaves on the disk: data not synced is lost or torn, names
// (made, renamed, removed) not flushed with their folder are undone. Reads see
// what the running process sees. Not thread-safe; locks are not modelled.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/sys/FileSystem.h"

namespace nimo_test {

class CrashFileSystem : public nimo_sys::FileSystem {
 public:
  using Disk = std::map<std::string, std::string>;  // path -> content

  enum class Names { kKept, kUndone };              // since the last flush of their folder
  enum class Data { kKept, kTorn, kLost };          // since the last sync of their file
  struct Cut {
    Names names;
    Data data;
  };
  static std::vector<Cut> AllCuts();                 // every combination; {kKept, kKept} is a kill
  static std::string Describe(Cut cut);

  explicit CrashFileSystem(const Disk& disk = {});   // starts from a disk, all of it durable

  std::size_t Changes() const { return history_.size() - 1; }
  const std::string& ChangeName(std::size_t i) const { return labels_.at(i); }
  // The disk after the first `changes` changes and then the cut.
  Disk After(std::size_t changes, Cut cut) const;
  Disk Now() const { return After(Changes(), {Names::kKept, Data::kKept}); }

  bool Read(const std::string& path, std::string& out, std::size_t maxBytes) override;
  bool Exists(const std::string& path) override;
  std::unique_ptr<Writer> OpenAppend(const std::string& path) override;
  std::unique_ptr<Writer> CreateTemporary(const std::string& path, std::string& tempPath) override;
  bool Rename(const std::string& from, const std::string& to) override;
  bool RenameIfAbsent(const std::string& from, const std::string& to) override;
  bool Remove(const std::string& path) override;
  bool SyncFolder(const std::string& folder) override;

 private:
  struct File {
    std::string data;
    std::string synced;  // a prefix of data
  };
  struct State {
    std::vector<File> files;          // by number; never removed (a name on the disk may still hold one)
    std::map<std::string, std::size_t> names, flushedNames;
  };
  class FileWriter;

  void Changed(const std::string& what);  // records the state after a change
  std::size_t NewFile(const std::string& path);

  State now_;
  std::vector<State> history_;
  std::vector<std::string> labels_;
  unsigned temporaries_ = 0;
};

}  // namespace nimo_test
