// Control of the Steam stand-in, for tests, the demo and the sandbox.
//
// Defaults behave like a running Steam client and come from the environment,
// read at the first use (and again by Reset):
//   NIMO_STEAM_RUNNING=0            init is refused
//   SteamAppId=N                    application id (480 when unset)
//   NIMO_STEAM_ID=N                 the player's 64-bit Steam id
//   NIMO_STEAM_OVERLAY=0            overlay disabled
//   NIMO_STEAM_TICKET_RESULT=N      result of the auth-ticket answer (1 = OK)
//   NIMO_STEAM_TICKET_DELAY_MS=N    answer delay; -1 never answers
//   NIMO_STEAM_INIT_DELAY_MS=N      init answers after N ms (a client slow to start)
//   NIMO_STEAM_BRIDGE=host:port     Steam's side played by the sandbox: purchase
//                                   authorisations arrive from there
#pragma once

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "platform/steam/steam_api.h"

namespace steam_standin {

constexpr std::uint64_t kDefaultSteamId = 76561197960287930ULL;

NIMO_STEAM_API void Reset();  // back to the defaults read from the environment; clears queues and counters
NIMO_STEAM_API void SetRunning(bool running);
NIMO_STEAM_API void SetSteamId(std::uint64_t steamId);
NIMO_STEAM_API void SetAppId(std::uint32_t appId);
NIMO_STEAM_API void SetOverlayEnabled(bool enabled);
NIMO_STEAM_API void SetTicketBytes(std::vector<std::uint8_t> bytes);  // empty: a few dozen random bytes per ticket
// Result delivered for each new ticket after delayMs; delayMs < 0 never answers.
NIMO_STEAM_API void SetTicketAnswer(int result, int delayMs);
// Each init answers after delayMs, as a Steam client that is slow to start.
NIMO_STEAM_API void SetInitDelay(int delayMs);
// Queued now, delivered on the next SteamAPI_RunCallbacks.
NIMO_STEAM_API void QueueMicroTxnAuthorization(std::uint32_t appId, std::uint64_t orderId, bool authorized);
NIMO_STEAM_API void QueueTicketResponse(std::uint32_t handle, int result);
// Where Steam's side (the sandbox) listens, "127.0.0.1:port"; used at the next init.
NIMO_STEAM_API void SetBridge(std::string hostPort);

// Observation.
NIMO_STEAM_API bool IsInitialised();
NIMO_STEAM_API int InitCalls();
NIMO_STEAM_API int ShutdownCalls();
NIMO_STEAM_API int PumpCalls();
NIMO_STEAM_API std::thread::id LastDispatchThread();  // thread that ran the last delivered callback
NIMO_STEAM_API std::vector<std::uint8_t> LastTicket();
NIMO_STEAM_API std::uint32_t LastTicketHandle();

}  // namespace steam_standin
