// The user's local application data folder and the directories the SDK keeps in it.
#pragma once

#include <string>

namespace nimo_sys {

// Linux: $XDG_DATA_HOME when it is an absolute path, else $HOME/.local/share,
// read from the environment anew on every call. Windows: the known folder
// LocalAppData. Empty when it cannot be had.
std::string LocalAppDataFolder();

// The data folder used when the local one cannot be had or made; never created
// by the SDK ("/var/lib/NimoSteamExeSdk", "C:/NimoSteamExeSdk").
const char* FallbackDataFolder();

bool IsDirectory(const std::string& path);

// Creates path with mode 0700 (on Windows default security), and any missing parent too.
// True when path is a directory afterwards.
bool MakeDirectories(const std::string& path);

// Creates only the last component of path (mode 0700); its parent must exist.
// True when path is a directory afterwards.
bool MakeDirectory(const std::string& path);

}  // namespace nimo_sys
