// Analytics events: validation, sequence numbers, payload and posting.
#pragma once

#include <string>

namespace NimoSdk {

class CNimoTrack {
 public:
  void Init();
  void PostEvent(const std::string& name, const std::string& params, double value);
  void SyncUserId();
  void SyncUserInfo();
  void PostLoginEvent(std::string loginPlatform, std::string puserId);
  std::string DeviceId() const;
  std::string Resolution() const;
};

}  // namespace NimoSdk
