// The name and version of the operating system, for analytics.
#pragma once

#include <string>
#include <vector>

namespace nimo_sys {

// "<PRETTY_NAME> <kernel release>", e.g. "Debian GNU/Linux 12 (bookworm) 6.1.0-18-amd64".
// Empty when no os-release file names the system. Never throws.
std::string OsVersionName();

// The same from the given os-release files (the first readable one counts) and
// kernel release text (may be empty).
std::string OsVersionName(const std::vector<std::string>& osReleasePaths, const std::string& kernelRelease);

// PRETTY_NAME of an os-release text, quotes and escapes removed; empty when absent.
std::string PrettyName(const std::string& osReleaseText);

// The running kernel's release (uname), empty when unavailable.
std::string KernelRelease();

}  // namespace nimo_sys
