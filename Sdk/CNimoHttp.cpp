#include "Sdk/CNimoHttp.h"

namespace NimoSdk {

void CNimoHttp::PostCallback(const std::string&, const std::string&, std::function<void(HttpResp)>, sion::Header*) {}
bool CNimoHttp::StartPool() { return true; }
void CNimoHttp::StopPool() {}

}  // namespace NimoSdk
