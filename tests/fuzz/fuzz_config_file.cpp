// The configuration file reader on whatever a file may hold, then one
// read-change-write cycle on it, as an event post does.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "Sdk/NimoConfigUtils.h"
#include "Sdk/NimoLog.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = [] {
    char dir[] = "/dev/shm/nimo-fuzz-conf-XXXXXX";  // memory: a disk would slow every run down
    if (mkdtemp(dir) == nullptr) std::abort();
    static const std::string made = dir;
    std::atexit([] { std::filesystem::remove_all(made); });
    setenv("XDG_DATA_HOME", dir, 1);
    NimoSdk::ConfigureLog(false);
    return NimoSdk::NimoConfigUtils::GetAppConfigPath();
  }();
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) std::abort();
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  using NimoSdk::NimoConfigUtils;
  const auto doc = NimoConfigUtils::ReadConfigJson(false);
  (void)NimoConfigUtils::IntOr(doc, "AttributionFlag", 0);
  NimoConfigUtils::Update(false, [](NimoConfigUtils::json& d) {
    d["EventOrder"] = NimoConfigUtils::IntOr(d, "EventOrder", 0) + 1;
  });
  return 0;
}
