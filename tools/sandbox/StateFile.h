// The two file operations of the state folder that differ by system: POSIX
// (StateFile_posix.cpp) or Windows (StateFile_win.cpp). Paths are in the system's
// narrow encoding, as std::fopen takes them.
#pragma once

#include <string>

namespace nimo_sandbox {

// Only the user may read the file (a private key); on Windows the folder's ACL decides.
void MakePrivate(const std::string& path);
// Moves from over to, replacing a file already there in one step.
bool MoveOver(const std::string& from, const std::string& to);

}  // namespace nimo_sandbox
