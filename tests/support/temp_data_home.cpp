#include "support/temp_data_home.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "support/child_process.h"

namespace nimo_test {

TempDataHome::TempDataHome() {
  if (!ChildMode().empty()) {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    const char* root = std::getenv("NIMO_TEST_ROOT");
    xdg_ = xdg != nullptr ? xdg : "";
    root_ = root != nullptr ? root : "";
    return;
  }
  root_ = "/tmp/nimo-test-XXXXXX";
  if (::mkdtemp(root_.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  xdg_ = root_ + "/xdg";
  owner_ = true;
  ::setenv("NIMO_TEST_ROOT", root_.c_str(), 1);
  ::setenv("XDG_DATA_HOME", xdg_.c_str(), 1);
  ::setenv("HOME", (root_ + "/home").c_str(), 1);
}

TempDataHome::~TempDataHome() {
  if (!owner_) return;
  std::error_code ec;
  std::filesystem::remove_all(root_, ec);
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteText(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

unsigned long InodeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<unsigned long>(st.st_ino) : 0;
}

std::vector<std::string> FilesNamed(const std::string& folder, const std::string& part) {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(folder, ec))
    if (e.path().filename().string().find(part) != std::string::npos) out.push_back(e.path().string());
  return out;
}

}  // namespace nimo_test
