// Whole small files that are never seen half-written.
#pragma once

#include <cstddef>
#include <string>

namespace nimo_sys {

// Reads the whole regular file at path into out. False when it cannot be
// opened, is not a regular file, is larger than maxBytes or a read fails.
bool ReadWholeFile(const std::string& path, std::string& out, std::size_t maxBytes = 16u << 20);

// Replaces the content of path with bytes (not named ReplaceFile: windows.h
// makes that a macro): they go to a new temporary file in the same folder,
// which is then renamed over path, so a reader, a crash or a kill sees either
// the old or the new content (on Windows, readers must share delete access).
// With flushToDisk the data and the rename are also forced to the disk
// (survives a power cut; costs a disk round trip). False on any failure: path
// is then as it was and the temporary is removed (a process killed mid-write
// may leave a ".<name>.tmp-*" behind).
bool ReplaceFileContent(const std::string& path, const std::string& bytes, bool flushToDisk);

// True when something (a file, a folder, anything) is at path.
bool PathExists(const std::string& path);

// Renames from to "to" unless something is already there, which is never
// replaced. False on any failure.
bool RenameIfAbsent(const std::string& from, const std::string& to);

}  // namespace nimo_sys
