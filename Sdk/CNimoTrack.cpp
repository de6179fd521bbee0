#include "Sdk/CNimoTrack.h"

namespace NimoSdk {

void CNimoTrack::Init() {}
void CNimoTrack::PostEvent(const std::string&, const std::string&, double) {}
void CNimoTrack::SyncUserId() {}
void CNimoTrack::SyncUserInfo() {}
void CNimoTrack::PostLoginEvent(std::string, std::string) {}
std::string CNimoTrack::DeviceId() const { return {}; }
std::string CNimoTrack::Resolution() const { return {}; }

}  // namespace NimoSdk
