// Our stand-in for the Steamworks client API: the calls and callback structures
// the SDK uses, with the meaning the SDK relies on. Behaviour is steered through
// steam_control.h (tests, the demo) or the NIMO_STEAM_* environment variables.
#pragma once

#include <cstdint>

// The stand-in is a shared library of its own (libsteam_api.so, steam_api64.dll)
// so that a studio ships the real one in its place. The flat entry points have C
// names, as the real library's do.
#if defined(_WIN32)
#if defined(NIMO_STEAM_BUILDING)
#define NIMO_STEAM_API __declspec(dllexport)
#else
#define NIMO_STEAM_API __declspec(dllimport)
#endif
#else
#define NIMO_STEAM_API __attribute__((visibility("default")))
#endif

using uint8 = std::uint8_t;
using uint32 = std::uint32_t;
using uint64 = std::uint64_t;
using HSteamUser = std::int32_t;
using HAuthTicket = uint32;

enum EResult : int {
  k_EResultNone = 0,
  k_EResultOK = 1,
  k_EResultFail = 2,
  k_EResultNoConnection = 3,
  k_EResultAccessDenied = 15,
};

// 0 is success, as with the real flat init entry.
enum ESteamAPIInitResult : int {
  k_ESteamAPIInitResult_OK = 0,
  k_ESteamAPIInitResult_FailedGeneric = 1,
  k_ESteamAPIInitResult_NoSteamClient = 2,
};

class CSteamID {
 public:
  CSteamID() = default;
  explicit CSteamID(uint64 id) : id_(id) {}
  uint64 ConvertToUint64() const { return id_; }

 private:
  uint64 id_ = 0;
};

struct GetAuthSessionTicketResponse_t {
  enum { k_iCallback = 163 };
  HAuthTicket m_hAuthTicket;
  EResult m_eResult;
};

struct MicroTxnAuthorizationResponse_t {
  enum { k_iCallback = 152 };
  uint32 m_unAppID;
  uint64 m_ulOrderID;
  uint8 m_bAuthorized;
};

class CCallbackBase;
extern "C" {
NIMO_STEAM_API void SteamAPI_RegisterCallback(CCallbackBase* callback, int iCallback);
NIMO_STEAM_API void SteamAPI_UnregisterCallback(CCallbackBase* callback);
}

class CCallbackBase {
 public:
  CCallbackBase() = default;
  CCallbackBase(const CCallbackBase&) = delete;
  CCallbackBase& operator=(const CCallbackBase&) = delete;
  virtual ~CCallbackBase() = default;
  virtual void Run(void* param) = 0;
  int GetICallback() const { return m_iCallback; }
  bool IsRegistered() const { return m_registered; }
  // Kept by the library in SteamAPI_RegisterCallback / SteamAPI_UnregisterCallback.
  void SetRegistration(int iCallback, bool registered) {
    m_iCallback = iCallback;
    m_registered = registered;
  }

 protected:
  int m_iCallback = 0;
  bool m_registered = false;
};

// A member-function callback, registered for as long as the object lives.
template <class T, class P>
class CCallback final : public CCallbackBase {
 public:
  using Func = void (T::*)(P*);
  CCallback(T* obj, Func func) : obj_(obj), func_(func) { SteamAPI_RegisterCallback(this, P::k_iCallback); }
  ~CCallback() override {
    if (IsRegistered()) SteamAPI_UnregisterCallback(this);
  }
  void Run(void* param) override { (obj_->*func_)(static_cast<P*>(param)); }

 private:
  T* obj_;
  Func func_;
};

class ISteamUser {
 public:
  virtual ~ISteamUser() = default;
  virtual CSteamID GetSteamID() = 0;
  // Fills pTicket with up to cbMaxTicket bytes; the answer arrives later as
  // GetAuthSessionTicketResponse_t. Returns 0 when no ticket could be made.
  virtual HAuthTicket GetAuthSessionTicket(void* pTicket, int cbMaxTicket, uint32* pcbTicket,
                                           const void* pSteamNetworkingIdentity) = 0;
};

class ISteamUtils {
 public:
  virtual ~ISteamUtils() = default;
  virtual uint32 GetAppID() = 0;
  virtual bool IsOverlayEnabled() = 0;
};

#define STEAMUSER_INTERFACE_VERSION "SteamUser023"
#define STEAMUTILS_INTERFACE_VERSION "SteamUtils010"

extern "C" {
// pszInternalCheckInterfaceVersions: NUL-separated list ending with an empty entry.
NIMO_STEAM_API int SteamInternal_SteamAPI_Init(const char* pszInternalCheckInterfaceVersions, char* pOutErrMsg);
NIMO_STEAM_API void SteamAPI_RunCallbacks();
NIMO_STEAM_API void SteamAPI_Shutdown();
NIMO_STEAM_API HSteamUser SteamAPI_GetHSteamUser();
// Null when Steam is not initialised or the version is unknown.
NIMO_STEAM_API void* SteamInternal_FindOrCreateUserInterface(HSteamUser hSteamUser, const char* pszVersion);
// The context the real headers' accessors cache interfaces in; here a plain counter.
NIMO_STEAM_API void* SteamInternal_ContextInit(void* pContextInitData);
}

// pOutErrMsg: null, or room for the reason of a refusal (1024 bytes, as Steam's SteamErrMsg).
inline int SteamAPI_InitFlat(char* pOutErrMsg = nullptr) {
  static const char kVersions[] = STEAMUSER_INTERFACE_VERSION "\0" STEAMUTILS_INTERFACE_VERSION "\0";
  return SteamInternal_SteamAPI_Init(kVersions, pOutErrMsg);
}
inline ISteamUser* SteamUser() {
  return static_cast<ISteamUser*>(
      SteamInternal_FindOrCreateUserInterface(SteamAPI_GetHSteamUser(), STEAMUSER_INTERFACE_VERSION));
}
inline ISteamUtils* SteamUtils() {
  return static_cast<ISteamUtils*>(SteamInternal_FindOrCreateUserInterface(0, STEAMUTILS_INTERFACE_VERSION));
}
