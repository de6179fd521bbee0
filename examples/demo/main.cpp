// A minimal game: loads the SDK through its public header and walks what exists.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>

#include "nimosdk64.h"

namespace {

std::string Narrow(const std::wstring& w) {
  std::string s;
  for (wchar_t c : w) s.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return s;
}

void OnInit(int code, std::wstring message, std::wstring data) {
  std::printf("  Init callback: code=%d message=%s data=%s\n", code, Narrow(message).c_str(), Narrow(data).c_str());
}

}  // namespace

int main() {
  std::printf("IsPayAvailable before Init: %s\n", NimoProxy::IsPayAvailable() ? "true" : "false");
  std::printf("Init(\"demo-app\", \"demo-key\")\n");
  NimoProxy::Init(L"demo-app", L"demo-key", OnInit);
  NimoProxy::SetServerId(L"s1");
  NimoProxy::SetGameUserId(L"hero-1");
  NimoProxy::SetNickName(L"Hero");
  NimoProxy::SetLevel(3);
  NimoProxy::PostEvent(L"level_up", L"{\"stage\":3}", std::nan(""));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  NimoProxy::Logout();
  std::printf("Exit()\n");
  NimoProxy::Exit();
  std::printf("done\n");
  return 0;
}
