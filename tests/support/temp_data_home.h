// A temporary home for the SDK's local files: XDG_DATA_HOME and HOME point into
// a fresh folder under /tmp for the test's lifetime, so no test writes to the
// real home. In a child process (see child_process.h) the parent's folder is
// kept and left for the parent to remove.
#pragma once

#include <string>
#include <vector>

namespace nimo_test {

class TempDataHome {
 public:
  TempDataHome();
  ~TempDataHome();
  TempDataHome(const TempDataHome&) = delete;
  TempDataHome& operator=(const TempDataHome&) = delete;

  const std::string& Root() const { return root_; }        // the temporary folder
  const std::string& DataHome() const { return xdg_; }     // $XDG_DATA_HOME (not created)
  std::string SdkFolder() const { return xdg_ + "/NimoSteamExeSdk"; }

 private:
  std::string root_;
  std::string xdg_;
  bool owner_ = false;
};

// Small file helpers for the tests.
std::string ReadText(const std::string& path);             // "" when unreadable
void WriteText(const std::string& path, const std::string& text);
unsigned long InodeOf(const std::string& path);            // 0 when missing
// The paths in folder whose file names hold part (none when it is missing).
std::vector<std::string> FilesNamed(const std::string& folder, const std::string& part);

}  // namespace nimo_test
