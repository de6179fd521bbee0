// The Windows platform layer through the SDK's own interfaces, under Wine: client
// id from the registry and its fallback, the data folder and the store (with a
// second process), system facts, the ROOT trust store, and the DLL's exports.
#include <windows.h>

#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Sdk/NimoConfigUtils.h"
#include "Sdk/NimoLog.h"
#include "Sdk/NimoUtils.h"
#include "platform/sys/ByteLocks.h"
#include "platform/sys/FileSystem.h"
#include "platform/sys/DataFolder.h"
#include "platform/sys/FileLock.h"
#include "platform/sys/MachineId.h"
#include "platform/sys/OsInfo.h"
#include "platform/sys/Screen.h"
#include "platform/sys/TimeZone.h"
#include "platform/tls/TrustStore.h"

using NimoSdk::NimoConfigUtils;
using NimoSdk::NimoUtils;

namespace {

std::string g_self;  // this program, for child processes

bool IsLowerHex(const std::string& s) { return s.find_first_not_of("0123456789abcdef") == std::string::npos; }

bool Replace(const std::string& path, const std::string& bytes, nimo_sys::Durability durability) {
  return nimo_sys::ReplaceFileContent(nimo_sys::RealFileSystem(), path, bytes, durability);
}

void RemoveSharedConf() { DeleteFileA(NimoConfigUtils::GetSharedConfigPath().c_str()); }

// Runs this program with args; returns its process handle (the caller waits and closes).
HANDLE StartChild(const std::string& args) {
  std::string line = "\"" + g_self + "\" " + args;
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return nullptr;
  CloseHandle(pi.hThread);
  return pi.hProcess;
}

DWORD WaitChild(HANDLE child) {
  DWORD code = 1;
  if (WaitForSingleObject(child, 60000) == WAIT_OBJECT_0) GetExitCodeProcess(child, &code);
  CloseHandle(child);
  return code;
}

std::int64_t EventOrder() { return NimoConfigUtils::IntOr(NimoConfigUtils::ReadConfigJson(false), "EventOrder", -1); }

void Increment(int times) {
  for (int i = 0; i < times; ++i) {
    NimoConfigUtils::Update(false, [](NimoConfigUtils::json& doc) {
      doc["EventOrder"] = NimoConfigUtils::IntOr(doc, "EventOrder", 0) + 1;
    });
  }
}

}  // namespace

TEST(WinClientId, DerivedFromRegistryGuidNeverRawAndStable) {
  const std::string guid = NimoUtils::GetMachineGuid();
  ASSERT_EQ(guid.size(), 36u) << guid;  // Wine's prefix has one, in the usual form
  RemoveSharedConf();
  const std::string id = NimoUtils::GetClientId();
  EXPECT_EQ(id.size(), 32u);
  EXPECT_TRUE(IsLowerHex(id)) << id;
  std::string raw = guid;
  raw.erase(std::remove(raw.begin(), raw.end(), '-'), raw.end());
  EXPECT_NE(id, raw);
  EXPECT_EQ(NimoUtils::GetClientId(), id);
}

TEST(WinClientId, MissingRegistryKeySaysSoAndFallsBackToStableUuid) {
  nimo_sys::SetMachineIdFilesForTest({"SOFTWARE\\NimoNoSuchKey"});
  RemoveSharedConf();
  testing::internal::CaptureStdout();
  const std::string id = NimoUtils::GetClientId();
  const std::string out = testing::internal::GetCapturedStdout();
  nimo_sys::SetMachineIdFilesForTest({});
  EXPECT_EQ(out.rfind("Failed to open registry key x64", 0), 0u) << out;
  EXPECT_EQ(id.size(), 32u);
  EXPECT_EQ(id.find('-'), std::string::npos);
  EXPECT_EQ(NimoUtils::GetClientId(), id);
  RemoveSharedConf();
}

TEST(WinStore, DataFolderIsCreatedUnderLocalAppData) {
  const std::string base = nimo_sys::LocalAppDataFolder();
  ASSERT_FALSE(base.empty());
  EXPECT_EQ(NimoConfigUtils::GetDataFolder(), base + "/NimoSteamExeSdk");
  EXPECT_TRUE(nimo_sys::IsDirectory(base + "/NimoSteamExeSdk"));
  EXPECT_EQ(nimo_sys::FallbackDataFolder(), std::string("C:/NimoSteamExeSdk"));
}

TEST(WinStore, ReplaceIsWholeOrNothingAndBadContentReadsAsDefaults) {
  const std::string path = NimoConfigUtils::GetAppConfigPath();
  ASSERT_TRUE(Replace(path, "{", nimo_sys::Durability::kKill));
  EXPECT_EQ(NimoConfigUtils::ReadConfigJson(false), NimoConfigUtils::DefaultAppConfig());
  {
    // A reader holding the file open (sharing delete, as ours do) may make the
    // rename fail, depending on the system: then the old content stays whole.
    HANDLE reader = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    const bool replaced = Replace(path, "{\"EventOrder\":5}", nimo_sys::Durability::kDisk);
    CloseHandle(reader);
    std::string text;
    ASSERT_TRUE(nimo_sys::RealFileSystem().Read(path, text, 1u << 20));
    EXPECT_EQ(text, replaced ? "{\"EventOrder\":5}" : "{");
  }
  ASSERT_TRUE(Replace(path, "{\"EventOrder\":7,\"Extra\":\"\xE4\xB8\xAD\"}", nimo_sys::Durability::kDisk));
  Increment(1);
  std::string text;
  ASSERT_TRUE(nimo_sys::RealFileSystem().Read(path, text, 1u << 20));
  EXPECT_EQ(text, "{\"EventOrder\":8,\"Extra\":\"\xE4\xB8\xAD\"}");
  ASSERT_TRUE(Replace(path, "[1,2]", nimo_sys::Durability::kKill));
  EXPECT_EQ(NimoConfigUtils::ReadConfigJson(false), NimoConfigUtils::json::parse("[1,2]"));
  // No temporary is left behind, whatever failed.
  WIN32_FIND_DATAA found{};
  const std::string folder = path.substr(0, path.find_last_of('/'));
  HANDLE search = FindFirstFileA((folder + "/.AppConf.tmp-*").c_str(), &found);
  EXPECT_EQ(search, INVALID_HANDLE_VALUE) << found.cFileName;
  if (search != INVALID_HANDLE_VALUE) FindClose(search);
}

TEST(WinStore, LockHeldByAnotherProcessBlocksAndNoUpdateIsLost) {
  const std::string lockPath = NimoConfigUtils::GetAppConfigPath() + ".lock";
  const std::string marker = lockPath + ".held";
  DeleteFileA(marker.c_str());
  HANDLE holder = StartChild("--hold-lock \"" + lockPath + "\" 800");
  ASSERT_NE(holder, nullptr);
  for (int i = 0; i < 500 && GetFileAttributesA(marker.c_str()) == INVALID_FILE_ATTRIBUTES; ++i) Sleep(10);
  auto start = std::chrono::steady_clock::now();
  { nimo_sys::FileLock lock(lockPath); EXPECT_TRUE(lock.IsHeld()); }
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
  EXPECT_EQ(WaitChild(holder), 0u);

  ASSERT_TRUE(Replace(NimoConfigUtils::GetAppConfigPath(), "{\"EventOrder\":0}", nimo_sys::Durability::kKill));
  HANDLE a = StartChild("--increment 60");
  HANDLE b = StartChild("--increment 60");
  ASSERT_TRUE(a != nullptr && b != nullptr);
  Increment(60);
  EXPECT_EQ(WaitChild(a), 0u);
  EXPECT_EQ(WaitChild(b), 0u);
  EXPECT_EQ(EventOrder(), 180);
}

// Purchase claims: a byte held through one open file is refused through another until it goes.
TEST(WinStore, ClaimedByteIsRefusedElsewhereUntilReleased) {
  const std::string path = NimoConfigUtils::GetAppConfigPath() + ".claims";
  using R = nimo_sys::ByteLocks::Result;
  nimo_sys::ByteLocks a, b;
  ASSERT_EQ(a.TryLock(path, 7), R::Locked);
  EXPECT_EQ(b.TryLock(path, 7), R::Held);
  EXPECT_EQ(b.TryLock(path, 8), R::Locked);
  a.Unlock(7);
  EXPECT_EQ(b.TryLock(path, 7), R::Locked);
  b.Close();
  EXPECT_EQ(a.TryLock(path, 8), R::Locked);
}

TEST(WinSystemFacts, VersionTimeZoneAndScreen) {
  const std::string os = nimo_sys::OsVersionName();
  EXPECT_EQ(os.rfind("Windows ", 0), 0u) << os;  // Wine 8 reports Windows 7 unless told otherwise
  struct Case {
    unsigned long major, minor, build;
    const char* name;
  };
  for (const Case& c : {Case{10, 0, 22000, "Windows 10"}, Case{10, 0, 22621, "Windows 11"},
                        Case{6, 3, 9600, "Windows 8.1"}, Case{6, 1, 7601, "Windows 7"}, Case{5, 1, 2600, ""}}) {
    EXPECT_EQ(nimo_sys::WindowsVersionName(c.major, c.minor, c.build), c.name) << c.build;
  }
  ASSERT_TRUE(nimo_sys::LocalBiasMinutes().has_value());
  TIME_ZONE_INFORMATION tz{};
  GetTimeZoneInformation(&tz);
  EXPECT_EQ(*nimo_sys::LocalBiasMinutes(), tz.Bias);  // the standard bias, summer or not
  nimo_sys::ScreenSize screen = nimo_sys::PrimaryScreenSize();
  EXPECT_GE(screen.width, 0);
  EXPECT_GE(screen.height, 0);
}

TEST(WinTrust, RootStoreIsImported) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  ASSERT_NE(ctx, nullptr);
  EXPECT_TRUE(nimo_tls::LoadSystemRoots(ctx));
  EXPECT_GT(sk_X509_OBJECT_num(X509_STORE_get0_objects(SSL_CTX_get_cert_store(ctx))), 10);
  SSL_CTX_free(ctx);
}

TEST(WinExports, TheDllExportsExactlyTheListedFunctions) {
  std::vector<std::string> listed;
  std::ifstream def(NIMO_DEF_FILE);
  bool inExports = false;
  for (std::string line; std::getline(def, line);) {
    line.erase(0, line.find_first_not_of(" \t"));
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (line == "EXPORTS") inExports = true;
    else if (inExports && !line.empty() && line[0] != ';') listed.push_back(line);
  }
  ASSERT_GE(listed.size(), 12u);
  HMODULE dll = LoadLibraryW(NIMO_DLL_NAME);
  ASSERT_NE(dll, nullptr);
  int proxy = 0;
  for (const std::string& name : listed) {
    EXPECT_NE(reinterpret_cast<void*>(GetProcAddress(dll, name.c_str())), nullptr) << name;
    if (name.rfind("_ZN9NimoProxy", 0) == 0) ++proxy;
  }
  EXPECT_EQ(proxy, 12);
  // Nothing else: the export directory names exactly as many functions.
  auto* base = reinterpret_cast<const unsigned char*>(dll);
  auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
  EXPECT_EQ(exports->NumberOfNames, listed.size());
  EXPECT_EQ(exports->NumberOfFunctions, listed.size());
  // Calls before Init are harmless, as a game may make them.
  using IsPayAvailableFn = bool (*)();
  auto isPayAvailable = reinterpret_cast<IsPayAvailableFn>(
      reinterpret_cast<void*>(GetProcAddress(dll, "_ZN9NimoProxy14IsPayAvailableEv")));
  ASSERT_NE(isPayAvailable, nullptr);
  EXPECT_FALSE(isPayAvailable());
  // Pinned: a game unloading us without Exit leaves our threads' code in place.
  FreeLibrary(dll);
  EXPECT_NE(GetModuleHandleW(NIMO_DLL_NAME), nullptr);
}

// The game sets a variable with SetEnvironmentVariableW (as C# does) after the C
// runtime copied the environment: only the process's own block has it.
TEST(WinEnvironment, SetEnvironmentVariableBeforeInitIsSeen) {
  HMODULE dll = LoadLibraryW(NIMO_DLL_NAME);
  ASSERT_NE(dll, nullptr);
  using GetOptionFn = int (*)(const char*, char*, int);
  auto getOption = reinterpret_cast<GetOptionFn>(reinterpret_cast<void*>(GetProcAddress(dll, "nimo_get_option")));
  ASSERT_NE(getOption, nullptr);
  const char* expected = "https://collect.example/d\xc3\xa9j\xc3\xa0";
  char value[128];
  ASSERT_TRUE(SetEnvironmentVariableW(L"NIMOSDK_TRACK_URL", L"https://collect.example/d\u00e9j\u00e0"));
  EXPECT_EQ(getOption("track_url", value, sizeof value), static_cast<int>(std::strlen(expected)));
  EXPECT_STREQ(value, expected);
  ASSERT_TRUE(SetEnvironmentVariableW(L"NIMOSDK_TRACK_URL", nullptr));
  EXPECT_GT(getOption("track_url", value, sizeof value), 0);
  EXPECT_STRNE(value, expected);  // the default again
}

int main(int argc, char** argv) {
  char self[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  g_self = self;
  NimoSdk::ConfigureLog(false);  // as after Init; the store's log lines would drown the results
  if (argc == 4 && std::string(argv[1]) == "--hold-lock") {
    nimo_sys::FileLock lock(argv[2]);
    if (!lock.IsHeld()) return 2;
    std::ofstream(std::string(argv[2]) + ".held") << "1";
    Sleep(static_cast<DWORD>(std::atoi(argv[3])));
    return 0;
  }
  if (argc == 3 && std::string(argv[1]) == "--increment") {
    Increment(std::atoi(argv[2]));
    return 0;
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
