// The name and version of the operating system, for analytics.
#pragma once

#include <string>
#include <vector>

namespace nimo_sys {

// Linux: "<PRETTY_NAME> <kernel release>", e.g. "Debian GNU/Linux 12 (bookworm) 6.1.0-18-amd64",
// empty when no os-release file names the system. Windows: WindowsVersionName of
// what RtlGetVersion reports, empty when it cannot be asked. Never throws.
std::string OsVersionName();

// "Windows 11" (major 10 or above, build above 22000), "Windows 10", "Windows 8.1",
// "Windows 8", "Windows 7", else empty.
std::string WindowsVersionName(unsigned long major, unsigned long minor, unsigned long build);

// The os-release helpers below are for POSIX systems.

// The same from the given os-release files (the first readable one counts) and
// kernel release text (may be empty).
std::string OsVersionName(const std::vector<std::string>& osReleasePaths, const std::string& kernelRelease);

// PRETTY_NAME of an os-release text, quotes and escapes removed; empty when absent.
std::string PrettyName(const std::string& osReleaseText);

// The running kernel's release (uname), empty when unavailable.
std::string KernelRelease();

}  // namespace nimo_sys
