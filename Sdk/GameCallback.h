// Calling the game back. Never called while one of our locks is held; a null
// callback is never called; nothing the game throws comes back into the SDK.
#pragma once

#include <string>

namespace NimoSdk {

using ResultCallback = void (*)(int code, std::wstring message, std::wstring data);

void NotifyGame(ResultCallback callback, int code, const std::wstring& message, const std::wstring& data);
// message and data as UTF-8.
void NotifyGame(ResultCallback callback, int code, const std::string& message, const std::string& data = "");

}  // namespace NimoSdk
