#include <windows.h>

#include "tools/sandbox/StateFile.h"

namespace nimo_sandbox {

void MakePrivate(const std::string&) {}

bool MoveOver(const std::string& from, const std::string& to) {
  // std::rename fails on Windows when "to" exists.
  const DWORD flags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
  bool ok = MoveFileExA(from.c_str(), to.c_str(), flags) != 0;
  // A reader without delete sharing (a scanner, an editor) briefly holds the target.
  for (int attempt = 0; !ok && attempt < 5 && GetLastError() == ERROR_ACCESS_DENIED; ++attempt) {
    Sleep(10);
    ok = MoveFileExA(from.c_str(), to.c_str(), flags) != 0;
  }
  return ok;
}

}  // namespace nimo_sandbox
