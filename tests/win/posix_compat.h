// The few POSIX calls the shared test sources use, for their Windows build
// (force-included by tests/win/CMakeLists.txt).
#pragma once

#include <direct.h>
#include <process.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

inline int setenv(const char* name, const char* value, int overwrite) {
  if (overwrite == 0 && std::getenv(name) != nullptr) return 0;
  return _putenv_s(name, value);
}

inline int unsetenv(const char* name) { return _putenv_s(name, ""); }

// Replaces the trailing "XXXXXX" and creates the folder; null when it cannot.
inline char* mkdtemp(char* pattern) {
  const std::size_t n = std::strlen(pattern);
  if (n < 6 || std::strcmp(pattern + n - 6, "XXXXXX") != 0) return nullptr;
  static const char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    for (std::size_t i = n - 6; i < n; ++i) pattern[i] = kChars[random() % (sizeof kChars - 1)];
    if (_mkdir(pattern) == 0) return pattern;
  }
  return nullptr;
}
