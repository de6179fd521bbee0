// The file operations of the SDK's stores (journal, config, event queue), behind
// one interface so that tests can replay what a power cut at any point leaves.
//
// Durability, as the real systems give it: bytes written reach the disk only
// after Sync; a new name (a file made, a rename, a removal) only after the
// folder is flushed (SyncFolder; on Windows every rename is written through and
// SyncFolder has nothing left to do).
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace nimo_sys {

class FileSystem {
 public:
  // An open file written at its end. Not thread-safe: one owner.
  class Writer {
   public:
    virtual ~Writer() = default;
    // False when not every byte was written; the file then ends torn.
    virtual bool Append(const std::string& bytes) = 0;
    // Forces the data written so far to the disk.
    virtual bool Sync() = 0;
    // False when the system reports a failure on closing (data may be lost).
    virtual bool Close() = 0;
  };

  virtual ~FileSystem() = default;

  // Reads the whole regular file at path into out. False when it cannot be
  // opened, is not a regular file, is larger than maxBytes or a read fails.
  virtual bool Read(const std::string& path, std::string& out, std::size_t maxBytes) = 0;
  // True when something (a file, a folder, anything) is at path.
  virtual bool Exists(const std::string& path) = 0;
  // Appends to path (created 0600 when missing); null on failure.
  virtual std::unique_ptr<Writer> OpenAppend(const std::string& path) = 0;
  // A new empty file of a name unique to this call, in path's folder; its name
  // goes to tempPath. Null on failure.
  virtual std::unique_ptr<Writer> CreateTemporary(const std::string& path, std::string& tempPath) = 0;
  // Renames from over to (replacing it).
  virtual bool Rename(const std::string& from, const std::string& to) = 0;
  // Renames from to "to" unless something is already there, which is never replaced.
  virtual bool RenameIfAbsent(const std::string& from, const std::string& to) = 0;
  virtual bool Remove(const std::string& path) = 0;
  // Forces the names in folder (made, renamed, removed) to the disk.
  virtual bool SyncFolder(const std::string& folder) = 0;
};

// This system's files; lives for the process.
FileSystem& RealFileSystem();

// The folder holding path ("." when it names none).
std::string FolderOf(const std::string& path);

// How far ReplaceFileContent carries a new content towards the disk.
enum class Durability {
  kKill,     // survives a crash or kill of the process; a power cut may undo it
  kContent,  // also a power cut, which may undo it but never leaves the file torn or empty
  kDisk,     // also a power cut, which never undoes it
};

// Replaces the content of path with bytes (not named ReplaceFile: windows.h
// makes that a macro): they go to a new temporary file in the same folder,
// which is then renamed over path, so a reader or a crash sees either the old
// or the new content (on Windows, readers must share delete access). False on
// any failure: path is then as it was and the temporary is removed (a process
// killed mid-write may leave a ".<name>.tmp-*" behind).
bool ReplaceFileContent(FileSystem& fs, const std::string& path, const std::string& bytes, Durability durability);

}  // namespace nimo_sys
