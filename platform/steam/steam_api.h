// Our stand-in for the Steamworks client API: the calls and callback structures
// the SDK uses, with the meaning the SDK relies on. Behaviour is steered through
// steam_control.h (tests, the demo) or the NIMO_STEAM_* environment variables.
#pragma once

#include <cstdint>

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

class CCallbackBase {
 public:
  CCallbackBase() = default;
  CCallbackBase(const CCallbackBase&) = delete;
  CCallbackBase& operator=(const CCallbackBase&) = delete;
  virtual ~CCallbackBase() = default;
  virtual void Run(void* param) = 0;
  int GetICallback() const { return m_iCallback; }
  bool IsRegistered() const { return m_registered; }

 protected:
  friend void SteamAPI_RegisterCallback(CCallbackBase*, int);
  friend void SteamAPI_UnregisterCallback(CCallbackBase*);
  int m_iCallback = 0;
  bool m_registered = false;
};

void SteamAPI_RegisterCallback(CCallbackBase* callback, int iCallback);
void SteamAPI_UnregisterCallback(CCallbackBase* callback);

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

// pszInternalCheckInterfaceVersions: NUL-separated list ending with an empty entry.
int SteamInternal_SteamAPI_Init(const char* pszInternalCheckInterfaceVersions, char* pOutErrMsg);
void SteamAPI_RunCallbacks();
void SteamAPI_Shutdown();
HSteamUser SteamAPI_GetHSteamUser();
// Null when Steam is not initialised or the version is unknown.
void* SteamInternal_FindOrCreateUserInterface(HSteamUser hSteamUser, const char* pszVersion);

inline int SteamAPI_InitFlat() {
  static const char kVersions[] = STEAMUSER_INTERFACE_VERSION "\0" STEAMUTILS_INTERFACE_VERSION "\0";
  return SteamInternal_SteamAPI_Init(kVersions, nullptr);
}
inline ISteamUser* SteamUser() {
  return static_cast<ISteamUser*>(
      SteamInternal_FindOrCreateUserInterface(SteamAPI_GetHSteamUser(), STEAMUSER_INTERFACE_VERSION));
}
inline ISteamUtils* SteamUtils() {
  return static_cast<ISteamUtils*>(SteamInternal_FindOrCreateUserInterface(0, STEAMUTILS_INTERFACE_VERSION));
}
