#include <windows.h>
#include <rpc.h>

#include "platform/sys/Uuid.h"

namespace nimo_sys {

std::string RandomUuidText() {
  UUID uuid{};
  if (UuidCreate(&uuid) != RPC_S_OK) return {};  // RPC_S_UUID_LOCAL_ONLY is not random
  RPC_CSTR text = nullptr;
  if (UuidToStringA(&uuid, &text) != RPC_S_OK || text == nullptr) return {};
  std::string out(reinterpret_cast<const char*>(text));
  RpcStringFreeA(&text);
  return out;
}

}  // namespace nimo_sys
