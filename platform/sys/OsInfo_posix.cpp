#include "platform/sys/OsInfo.h"

#include <sys/utsname.h>

#include <fstream>
#include <sstream>

namespace nimo_sys {
namespace {

// os-release values follow shell quoting: '...' is literal, "..." allows the
// escapes \" \\ \$ \` , bare values allow backslash escapes of any character.
std::string Unquote(const std::string& raw) {
  std::string out;
  char quote = 0;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    char c = raw[i];
    if (quote == '\'') {
      if (c == '\'') quote = 0; else out.push_back(c);
    } else if (quote == '"') {
      if (c == '"') {
        quote = 0;
      } else if (c == '\\' && i + 1 < raw.size() && std::string("\"\\$`").find(raw[i + 1]) != std::string::npos) {
        out.push_back(raw[++i]);
      } else {
        out.push_back(c);
      }
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == '\\' && i + 1 < raw.size()) {
      out.push_back(raw[++i]);
    } else if (c == ' ' || c == '\t' || c == '\r') {
      break;  // an unquoted value ends at white space
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::string Trim(const std::string& s) {
  const char* ws = " \t\r";
  std::size_t b = s.find_first_not_of(ws);
  if (b == std::string::npos) return {};
  std::size_t e = s.find_last_not_of(ws);
  return s.substr(b, e - b + 1);
}

}  // namespace

std::string PrettyName(const std::string& osReleaseText) {
  std::istringstream in(osReleaseText);
  std::string line;
  std::string name;
  while (std::getline(in, line)) {
    line = Trim(line);
    const std::string key = "PRETTY_NAME=";
    if (line.compare(0, key.size(), key) == 0) name = Trim(Unquote(line.substr(key.size())));  // the last one wins
  }
  return name;
}

std::string KernelRelease() {
  struct utsname u {};
  if (uname(&u) != 0) return {};
  return std::string(u.release);
}

std::string OsVersionName(const std::vector<std::string>& osReleasePaths, const std::string& kernelRelease) {
  try {
    for (const std::string& path : osReleasePaths) {
      std::ifstream file(path, std::ios::binary);
      if (!file) continue;
      std::ostringstream text;
      // A real os-release is a few hundred bytes; a bounded read keeps a bogus one harmless.
      char buf[4096];
      std::size_t total = 0;
      while (file.read(buf, sizeof buf) || file.gcount() > 0) {
        text.write(buf, file.gcount());
        total += static_cast<std::size_t>(file.gcount());
        if (total >= 64 * 1024) break;
      }
      std::string name = PrettyName(text.str());
      if (name.empty()) return {};
      return kernelRelease.empty() ? name : name + " " + kernelRelease;
    }
  } catch (...) {
  }
  return {};
}

std::string OsVersionName() {
  // /etc/os-release takes precedence; /usr/lib/os-release is the vendor's fallback.
  return OsVersionName({"/etc/os-release", "/usr/lib/os-release"}, KernelRelease());
}

}  // namespace nimo_sys
