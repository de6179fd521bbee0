// The game's two kinds of callback, and what a result says through the C one.
#pragma once

#include <string>

namespace NimoSdk {

// The callback of the C++ exports (NimoProxy::ResultCallback).
using ResultCallback = void (*)(int code, std::wstring message, std::wstring data);
// The callback of the C functions; the strings are UTF-8, valid during the call only.
using CResultCallback = void (*)(int code, const char* message, const char* data, void* user);

// How a result reads through the C functions when it says more there than the
// C++ exports may (their codes and data are fixed): a code of its own for a
// missing product, a machine-readable reason for a transport failure.
struct ForC {
  bool set = false;  // false: the C callback gets what the C++ one gets
  int code = 0;
  std::string data;
};

}  // namespace NimoSdk
