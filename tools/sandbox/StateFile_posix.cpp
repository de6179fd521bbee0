#include <sys/stat.h>

#include <cstdio>

#include "tools/sandbox/StateFile.h"

namespace nimo_sandbox {

void MakePrivate(const std::string& path) { ::chmod(path.c_str(), 0600); }

bool MoveOver(const std::string& from, const std::string& to) { return std::rename(from.c_str(), to.c_str()) == 0; }

}  // namespace nimo_sandbox
