// The client id: stable per machine, shared by every game of the user account,
// and never the system's machine id itself.
#include <easylogging++.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <iostream>

#include "Sdk/NimoConfigUtils.h"
#include "Sdk/NimoUtils.h"
#include "platform/sys/MachineId.h"
#include "platform/sys/Uuid.h"

namespace NimoSdk {
namespace {

// Fixed for the life of the SDK: a new key would give every machine without a
// stored id a new identity.
constexpr char kClientIdKey[] = "nimosdk64/ClientId/v1";

// HMAC-SHA256 of the machine id, first 16 bytes in lower-case hex: 32 digits
// like the id the server knows, from which the machine id cannot be recovered.
std::string DeriveFromMachineId(const std::string& machineId) {
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (HMAC(EVP_sha256(), kClientIdKey, static_cast<int>(sizeof kClientIdKey - 1),
           reinterpret_cast<const unsigned char*>(machineId.data()), machineId.size(), mac, &len) == nullptr ||
      len < 16) {
    return {};
  }
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned i = 0; i < 16; ++i) {
    out.push_back(kHex[mac[i] >> 4]);
    out.push_back(kHex[mac[i] & 0x0F]);
  }
  return out;
}

std::string NewClientId() {
  const std::string machineId = NimoUtils::GetMachineGuid();
  std::string guid = machineId.empty() ? std::string() : DeriveFromMachineId(machineId);
  if (guid.empty()) {
    LOG(WARNING) << "MachineGUID is empty, try uuid ...";
    guid = nimo_sys::RandomUuidText();
    if (!guid.empty()) LOG(INFO) << "Random UUID Reuslt:" << guid;
  }
  guid.erase(std::remove(guid.begin(), guid.end(), '-'), guid.end());
  return guid;
}

}  // namespace

std::string NimoUtils::GetClientId() {
  std::string id;
  bool stored = false;
  // Derived under the store's lock: two games starting at once agree on one id
  // even when it is random.
  NimoConfigUtils::Update(true, [&](NimoConfigUtils::json& doc) {
    id = NimoConfigUtils::StringOr(doc, "ClientId", "");
    if (!id.empty()) {
      stored = true;
      return;
    }
    id = NewClientId();
    doc["ClientId"] = id;
  });
  if (stored) {
    LOG(INFO) << "Read ClientId :" << id;
  } else {
    LOG(INFO) << "Init ClientId :" << id;
  }
  return id;
}

std::string NimoUtils::GetMachineGuid() {
  const nimo_sys::MachineIdResult r = nimo_sys::ReadMachineId();
  if (r.status == nimo_sys::MachineIdStatus::kOk) return r.id;
  std::cout << nimo_sys::MachineIdFailureText(r.status) << std::endl;
  return {};
}

}  // namespace NimoSdk
