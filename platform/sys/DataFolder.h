// The user's local application data folder and the directories the SDK keeps in it.
#pragma once

#include <string>

namespace nimo_sys {

// $XDG_DATA_HOME when it is an absolute path, else $HOME/.local/share; empty
// when neither can be had. Read from the environment anew on every call.
std::string LocalAppDataFolder();

bool IsDirectory(const std::string& path);

// Creates path with mode 0700, and any missing parent with mode 0700 too.
// True when path is a directory afterwards.
bool MakeDirectories(const std::string& path);

// Creates only the last component of path (mode 0700); its parent must exist.
// True when path is a directory afterwards.
bool MakeDirectory(const std::string& path);

}  // namespace nimo_sys
